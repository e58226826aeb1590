// The voices installed beside the plug-in, read from "voice.csv": a display name and a
// folder per line.
#pragma once

#include <cstdint>
#include <string>

#include "library/load_report.h"
#include "platform/platform.h"

namespace chantera {

inline constexpr int kMaxVoices = 24;

struct VoiceList {
  int32_t voiceCount = 0;
  char voiceNames[kMaxVoices][64] = {};
  char voiceFolders[kMaxVoices][platform::kMaxPath] = {};
};

// The path of "voice.csv" in pluginDir: no separator is added after a directory that is a
// root ("C:" or "/"). Empty when it would not fit the platform's path buffers.
std::string VoiceListPath(const std::string& pluginDir);

class VoiceListReader {
 public:
  explicit VoiceListReader(const std::string& path);
  virtual ~VoiceListReader() = default;

  // Fills the list from the file at path. A file that cannot be opened gives the one
  // entry "不明" / "Undef" (Shift-JIS display name) and the message
  // "GetVoiceListでエラー" / "Errr" (see load_report.h: shown by the caller that gives a
  // report, else as this returns). report, when given, also receives the line of each
  // entry and what was cut or dropped (the voice check tool); the list is the same
  // without it.
  void GetVoiceList(VoiceList& list, LoadReport* report = nullptr);

  std::string path;  // at most kMaxPath - 1 bytes: a longer one is cut
};

}  // namespace chantera
