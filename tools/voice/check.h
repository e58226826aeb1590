// chantera-voice check: reads a voice library the way the instrument does (through the
// library's own readers) and reports every problem as file:line, what is wrong and what
// the instrument will do about it. The words of each kind of finding are in one table
// (findings.h).
// Thread: offline only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/voice/findings.h"

namespace chantera::voice {

struct VoiceSummary {
  std::string name;    // display name (UTF-8)
  std::string folder;  // folder name (UTF-8)
  int32_t samples = 0;
  int32_t looped = 0;  // recordings with a usable sustain loop
  int32_t programs = 0;
  int32_t errors = 0;
  int32_t warnings = 0;
};

struct CheckResult {
  std::vector<Finding> findings;
  std::vector<VoiceSummary> voices;
  int32_t errors = 0;
  int32_t warnings = 0;
  // 0 clean, 1 warnings only, 2 errors.
  int ExitStatus() const { return errors > 0 ? 2 : warnings > 0 ? 1 : 0; }
};

// Checks a plug-in folder (voice.csv and every voice it lists) or a single voice folder
// (samples.txt and programs.txt, checked as a voice of the folder above it).
CheckResult CheckLibrary(const std::filesystem::path& target);

// The files behind the instrument's own messages when it loads voice (its index in the
// voice.csv of pluginDir, 0 in place of one the list lacks): voice.csv, the voice folder,
// samples.txt or programs.txt that cannot be read, and the recordings that do not load.
// Errors only, none of the measurements: for a host that tells its user which file the
// instrument could not read.
std::vector<Finding> VoiceLoadFindings(const std::filesystem::path& pluginDir, int32_t voice);

// "file:line: error: what; consequence" (no line end).
std::string FormatFinding(const Finding& finding);
// One line per finding and a summary per voice. Of a kind found more than a few times in
// one file, the first few are shown, then how many more there are and where.
std::string FormatText(const CheckResult& result);
// All findings as one JSON object: {"findings": [...], "voices": [...], "errors": n,
// "warnings": n}, always valid UTF-8 (bytes that are not become U+FFFD).
std::string FormatJson(const CheckResult& result);

}  // namespace chantera::voice
