// chantera-voice check: reads a voice library the way the instrument does (through the
// library's own readers) and reports every problem as file:line, what is wrong and what
// the instrument will do about it.
// Thread: offline only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace chantera::voice {

enum class Severity { kWarning, kError };

struct Finding {
  std::string file;  // as the user named it (the argument joined with the file's name)
  int32_t line = 0;  // 1-based; 0 when the finding concerns the whole file
  Severity severity = Severity::kWarning;
  std::string what;         // what is wrong
  std::string consequence;  // what the instrument will do
};

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

// "file:line: error: what; consequence" lines and a summary per voice.
std::string FormatText(const CheckResult& result);
// The same as one JSON object: {"findings": [...], "voices": [...], "errors": n, "warnings": n}.
std::string FormatJson(const CheckResult& result);

// Text for a terminal: UTF-8 as it is, anything else read as Shift-JIS.
std::string DisplayText(const std::string& bytes);

}  // namespace chantera::voice
