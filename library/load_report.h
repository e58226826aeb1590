// What the loaders of a voice did with its files. A loader only records facts: which
// file could not be read (failures), and for the voice check tool which line it kept,
// cut or dropped (the load is the same with or without a report). The failures become
// the user's message boxes in one place, ShowLoadFailures, once the load is over: the
// caller that passes a report shows them; a loader called without one shows its own as
// it returns.
// Thread: whichever thread loads; a report belongs to one load.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chantera {

enum class LoadNoteKind {
  // Any of the text files.
  kLineCut,  // a line over the length limit: only its first bytes were read
  // voice.csv
  kVoiceWithoutLineEnd,  // the last entry has no line end and is dropped
  kVoicesPastLimit,      // entries past the list's limit are ignored
  kVoiceNameCut,         // a display name over its limit: cut
  kVoiceFolderCut,       // a folder name over its limit: cut
  kVoiceNameLineEnds,    // a display name that begins with line ends (blank lines before it)
  kVoiceFileCut,         // the file is longer than the bytes the reader considers
  // samples.txt
  kSampleLineSkipped,  // no first or no third field: the line uses no slot
  kSamplesPastLimit,   // lines past the bank's slots are ignored
  // programs.txt
  kUnknownLine,        // neither "Program", "End", P nor S: ignored
  kHeaderIncomplete,   // a P line with fewer than four fields: missing values stay
  kRangeIncomplete,    // an S line with fewer than four fields: ignored
  kSampleNotFound,     // an S line naming no loaded sample: the range plays slot 0
  kRangesPastLimit,    // S lines past the pending list's limit are dropped
  kProgramsPastLimit,  // programs past the last record are ignored
  kProgramNameCut,     // a program name over its limit: cut
  kProgramWithoutEnd,  // the file ends inside a program: its ranges are not applied
  // voice.csv
  kVoiceLineWithoutComma,  // a line with text but no comma: no voice; it joins the next name
  // samples.txt
  kRootNotANumber,  // the root note has no digits: read as 0
  // programs.txt
  kGainNotANumber,       // a P line's gain has no digits: read as 0, the program is silent
  kBendRangeNotANumber,  // a P line's pitch-bend range has no digits: read as 0
  kKeyNotANumber,        // an S line's key has no digits: read as 0
  kEndMissing,           // a "Program" line (or a second P line) inside a program; detail: the
                         // line the program began on
  // oto.ini (LoadReport::otoNotes; detail: the entry's file unless said otherwise)
  kOtoFileCut,          // the file is longer than the bytes the reader considers; line 0
  kOtoLineSkipped,      // no '=', or no file name before it: the line gives no entry; detail: the line
  kOtoNotANumber,       // a number field that is none: the line gives no entry; detail: the field
  kOtoFileNotListed,    // an entry names a file samples.txt does not list (first entry of the file)
  kOtoDuplicate,        // a second entry of one file and alias: the first counts; detail: its line
  kOtoNegative,         // a negative offset or preutterance: read as 0
  kOtoVowelPastEnd,     // offset + preutterance lies past the end of the recording or of its cutoff
  kOtoOverlapPastVowel  // the overlap is longer than the preutterance: taken as the preutterance
};

struct LoadNote {
  LoadNoteKind kind;
  int32_t line;        // 1-based line of the file (voice.csv: the line the entry starts on)
  std::string detail;  // the name or field concerned, as written (may be empty)
};

// A file the user is told about, in one message box each.
enum class LoadFailureKind {
  kVoiceList,   // voice.csv cannot be opened: "GetVoiceListでエラー" / "Errr"
  kWaveFile,    // a WAV file cannot be opened or holds no samples it can read: "Wave file load failed." / "Error"
  kProgramFile  // programs.txt cannot be opened: "<path> Program file load failed." / "Error"
};

struct LoadFailure {
  LoadFailureKind kind;
  std::string path;
  int32_t answer = 0;  // the message box's answer, once shown
  bool shown = false;
};

// Where each item came from, by 1-based line.
struct ProgramLines {
  int32_t start = 0;            // its "Program" line (or P line, or first S line) ; 0 when none
  int32_t end = 0;              // its "End" line
  std::vector<int32_t> ranges;  // the S line of each range, in order (as applied at "End")
};

struct LoadReport {
  std::vector<LoadNote> notes;
  std::vector<int32_t> voiceLines;     // voice.csv: the line of each entry
  std::vector<int32_t> sampleLines;    // samples.txt: the line of each slot filled
  std::vector<ProgramLines> programs;  // programs.txt: one per program completed by "End"
  std::vector<LoadNote> otoNotes;      // the voice folder's oto.ini, read with samples.txt; by line
  bool otoRead = false;                // the voice folder has an oto.ini (the bank's timing came from it)
  std::vector<LoadFailure> failures;   // in the order the loaders met them

  void Add(LoadNoteKind kind, int32_t line, std::string detail = {}) {
    notes.push_back({kind, line, std::move(detail)});
  }
  void Fail(LoadFailureKind kind, std::string path) { failures.push_back({kind, std::move(path)}); }
};

// Shows the failures of report not shown yet, in order, and keeps each one's answer.
// Returns the answer of the last one shown, 0 when none was.
int32_t ShowLoadFailures(LoadReport& report);

// The report a loader writes its facts to: the caller's when it gave one, else a report
// of its own whose failures are shown when the load returns (this object's end).
class LoadReportScope {
 public:
  explicit LoadReportScope(LoadReport* given) : given_(given) {}
  ~LoadReportScope() {
    if (given_ == nullptr) ShowLoadFailures(own_);
  }
  LoadReportScope(const LoadReportScope&) = delete;
  LoadReportScope& operator=(const LoadReportScope&) = delete;
  LoadReport& operator*() noexcept { return given_ != nullptr ? *given_ : own_; }
  LoadReport* operator->() noexcept { return &**this; }
  // Shows the failures now (a loader that answers with the message box's answer).
  int32_t ShowOwn() { return given_ == nullptr ? ShowLoadFailures(own_) : 0; }

 private:
  LoadReport* given_;
  LoadReport own_;
};

}  // namespace chantera
