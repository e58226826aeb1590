// The voice check's findings: every kind of problem it reports, and the one table that
// words each kind for people (its severity, what is wrong, what the instrument does about
// it). The readers' notes (library/load_report.h) come first, in their own order, so that
// a note finds its words by number; the order is checked at compile time.
// Thread: offline only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "library/load_report.h"

namespace chantera::voice {

enum class Severity { kWarning, kError };

enum class FindingKind {
  // The readers' notes, as LoadNoteKind numbers them.
  kLineCut,
  kVoiceWithoutLineEnd,
  kVoicesPastLimit,
  kVoiceNameCut,
  kVoiceFolderCut,
  kVoiceNameLineEnds,
  kVoiceFileCut,
  kSampleLineSkipped,
  kSamplesPastLimit,
  kUnknownLine,
  kHeaderIncomplete,
  kRangeIncomplete,
  kSampleNotFound,
  kRangesPastLimit,
  kProgramsPastLimit,
  kProgramNameCut,
  kProgramWithoutEnd,
  kVoiceLineWithoutComma,
  kRootNotANumber,
  kGainNotANumber,
  kBendRangeNotANumber,
  kKeyNotANumber,
  kEndMissing,
  kOtoFileCut,
  kOtoLineSkipped,
  kOtoNotANumber,
  kOtoFileNotListed,
  kOtoDuplicate,
  kOtoNegative,
  kOtoVowelPastEnd,
  kOtoOverlapPastVowel,
  // What the check finds itself. voice.csv and the voice folders:
  kNotAFolder,
  kListMissing,
  kNoVoices,
  kVoiceWithoutFolder,
  kSharedFolder,
  kFolderMissing,
  kFolderFoundByLookup,
  kFileFoundByLookup,
  kSamplesMissing,
  kProgramsMissing,
  kUnlisted,
  // The recordings.
  kPathTooLong,
  kWavMissing,
  kNotWave,
  kDataShort,
  kUnreadableData,
  kEightBit,
  kStereo,
  kOddChannels,
  kNoAudio,
  kBadLoop,
  kOtherRate,
  kRootOff,
  kListedTwice,
  kUnplayed,
  kNoTiming,
  // The programs.
  kNoPrograms,
  kUndefinedPrograms,
  kNoRange,
  kInvertedRange,
  kRangeOutside,
  kUncovered,
  kStretched,
};

struct Finding {
  std::string file;  // as the user named it (the argument joined with the file's name)
  int32_t line = 0;  // 1-based; 0 when the finding concerns the whole file
  Severity severity = Severity::kWarning;
  std::string what;         // what is wrong
  std::string consequence;  // what the instrument will do
  FindingKind kind = FindingKind::kLineCut;
};

// The finding of a kind at file:line, its words filled with args: "{0}" in the table's
// texts is args[0], and so on. Each argument is shown as text for a terminal (UTF-8 as it
// is, anything else read as Shift-JIS).
Finding MakeFinding(FindingKind kind, const std::string& file, int32_t line, const std::vector<std::string>& args = {});

// The kind that words a reader's note.
FindingKind KindOf(LoadNoteKind note);

// A short fixed name of the kind ("wav-missing"), for the JSON output.
const char* KindName(FindingKind kind);

// Text for a terminal: UTF-8 as it is, anything else read as Shift-JIS.
std::string DisplayText(const std::string& bytes);

}  // namespace chantera::voice
