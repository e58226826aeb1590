// The voice check's reader: runs the library's own readers over a voice library with a
// LoadReport attached, judges what they saw, measures the recordings, and adds a finding
// of a kind for each problem (the words are findings.cpp's). check.cpp reads voice.csv,
// the voice folders and the recordings; check_programs.cpp judges the programs.
// Thread: offline only.
#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "library/load_report.h"
#include "library/pitch.h"
#include "library/sample_bank.h"
#include "params/programs.h"
#include "tools/voice/check.h"

namespace chantera::voice {

// Nearest MIDI note of a frequency, and the cents by which the frequency lies above it.
inline int NoteOf(double hz, double* cents = nullptr) {
  const double note = HzToNote(hz);
  const int nearest = static_cast<int>(std::lround(note));
  if (cents != nullptr) *cents = 100.0 * (note - nearest);
  return nearest;
}

class Checker {
 public:
  // loadOnly: only what loading reads and cannot (VoiceLoadFindings), no measurements.
  explicit Checker(CheckResult& result, bool loadOnly = false) : result_(result), loadOnly_(loadOnly) {}

  void Add(FindingKind kind, const std::string& file, int32_t line, const std::vector<std::string>& args = {});

  // voice.csv and every voice it lists, or (onlyVoice >= 0) that voice alone, as the
  // instrument selects it (voice 0 in place of one the list lacks).
  void CheckPluginFolder(const std::filesystem::path& dir, int32_t onlyVoice = -1);
  void CheckVoiceFolder(const std::filesystem::path& dir);

 private:
  // A path to show for a file of the voice folder.
  std::string Shown(const std::string& name) const { return (shownRoot_ / name).string(); }
  void CheckVoice(const std::string& pluginDir, const std::string& folder, const std::string& listFile,
                  int32_t listLine);
  void LookupWarning(const std::string& path, const std::string& shown, int32_t line, const std::string& name);
  void CheckRecordings(const SampleBank& bank, const std::string& base, const std::string& samplesFile,
                       const LoadReport& report);
  uint32_t CheckRecording(const Sample& sample, const std::string& base, const std::string& samplesFile, int32_t line,
                          bool rootIsANumber);
  void ReportOtherRates(const SampleBank& bank, const std::string& samplesFile, const LoadReport& report,
                        const std::vector<uint32_t>& rateOf);
  void CheckRoot(const Sample& sample, const std::string& samplesFile, int32_t line);
  void CheckUnusedFiles(const SampleBank& bank, const std::string& base);
  void CheckTiming(const SampleBank& bank, const LoadReport& report);
  void ReportNotes(const std::string& file, const LoadReport& report);

  // check_programs.cpp
  void CheckPrograms(const ProgramSet& programs, const SampleBank& bank, const std::string& file,
                     const LoadReport& report, const std::string& samplesFile, const LoadReport& samplesReport);
  std::vector<int> KeySetters(const ProgramRecord& record, const std::string& file, const ProgramLines& lines,
                              std::vector<bool>& used);
  void ReportUnplayed(const SampleBank& bank, const std::vector<bool>& used, const std::string& samplesFile,
                      const LoadReport& samplesReport);
  void ReportUncovered(int32_t p, const ProgramRecord& record, const std::vector<int>& setter, const std::string& file,
                       int32_t line, const std::string& slot0);
  void ReportStretch(const SampleBank& bank, const std::vector<int>& setter, const KeyTable& table,
                     const std::string& file, const ProgramLines& lines);

  CheckResult& result_;
  bool loadOnly_;
  VoiceSummary* voice_ = nullptr;
  std::filesystem::path shownRoot_;
};

}  // namespace chantera::voice
