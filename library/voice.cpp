#include "library/voice.h"

#include "library/load_report.h"
#include "library/loader.h"
#include "library/program_file.h"
#include "platform/platform.h"

namespace chantera {

Voice::~Voice() {
  if (bank) bank->loaderStop.store(true, std::memory_order_release);
}

std::unique_ptr<Voice> LoadVoice(const std::string& pluginDir, int32_t index, bool effectOn,
                                 const ProgramSet& programs) {
  auto voice = std::make_unique<Voice>();
  // Every file that cannot be read is told once the voice is built, in the order met.
  LoadReport report;
  VoiceListReader(VoiceListPath(pluginDir)).GetVoiceList(voice->list, &report);
  if (index < 0 || index >= voice->list.voiceCount) index = 0;
  voice->index = index;
  voice->effectOn = effectOn;
  const char* folder = voice->list.voiceCount > 0 ? voice->list.voiceFolders[index] : "Undef";
  voice->folder.reserve(std::char_traits<char>::length(folder) + 2);
  voice->folder += platform::kPathSeparator;
  voice->folder += folder;
  voice->folder += platform::kPathSeparator;

  voice->bank = std::make_shared<SampleBank>();
  voice->bank->LoadSampleList(pluginDir, voice->folder, &report);
  StartLoader(voice->bank, effectOn);
  voice->programs = programs;
  const int32_t closed = LoadProgramFile(pluginDir, voice->folder, voice->programs, *voice->bank, &report);
  ShowLoadFailures(report);
  const bool programFileFailed =
      !report.failures.empty() && report.failures.back().kind == LoadFailureKind::kProgramFile;
  voice->programFileStatus = programFileFailed ? report.failures.back().answer : closed;
  return voice;
}

}  // namespace chantera
