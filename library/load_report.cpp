// The message boxes of a voice load: every text the user sees about a file that could not
// be read is here, and nowhere in the readers.
#include "library/load_report.h"

#include <cstdio>

#include "platform/platform.h"

namespace chantera {
namespace {

// Room for the program file's message: a longer path is cut, as the message always was.
constexpr size_t kMessageBuffer = 256;
// "GetVoiceListでエラー" ("error in GetVoiceList") in Shift-JIS.
constexpr char kListError[] = "GetVoiceList\x82\xC5\x83\x47\x83\x89\x81\x5B";

int32_t Show(const LoadFailure& failure) {
  switch (failure.kind) {
    case LoadFailureKind::kVoiceList:
      return platform::ShowMessage(kListError, "Errr");
    case LoadFailureKind::kWaveFile:
      return platform::ShowMessage("Wave file load failed.", "Error");
    case LoadFailureKind::kProgramFile: {
      char message[kMessageBuffer];
      std::snprintf(message, sizeof message, "%s %s", failure.path.c_str(), "Program file load failed.");
      return platform::ShowMessage(message, "Error");
    }
  }
  return 0;
}

}  // namespace

int32_t ShowLoadFailures(LoadReport& report) {
  int32_t answer = 0;
  for (LoadFailure& failure : report.failures) {
    if (failure.shown) continue;
    failure.answer = answer = Show(failure);
    failure.shown = true;
  }
  return answer;
}

}  // namespace chantera
