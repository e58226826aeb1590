#include "tools/voice/findings.h"

#include <iterator>

#include "platform/platform.h"

namespace chantera::voice {
namespace {

constexpr Severity E = Severity::kError;
constexpr Severity W = Severity::kWarning;

// What each kind means to a voice maker. Errors are what silences a syllable, shifts
// recordings between syllables, or shows the instrument's own message; warnings are what
// loads but sounds wrong or may break elsewhere.
struct Words {
  FindingKind kind;
  Severity severity;
  const char* name;
  const char* what;
  const char* consequence;
};
constexpr const char* kWavFailed = "the instrument shows \"Wave file load failed.\" and the slot stays silent";
constexpr Words kWords[] = {
    // The readers' notes ({0}: the note's detail).
    {FindingKind::kLineCut, E, "line-cut", "the line is longer than 253 bytes",
     "the instrument reads only its first 253 bytes"},
    {FindingKind::kVoiceWithoutLineEnd, E, "voice-without-line-end", "the last voice has no line end",
     "the instrument does not list it: end the line"},
    {FindingKind::kVoicesPastLimit, E, "voices-past-limit", "more than 24 voices",
     "the instrument ignores this one and those after it"},
    {FindingKind::kVoiceNameCut, W, "voice-name-cut", "the display name is longer than 63 bytes",
     "the instrument keeps its first 63 bytes"},
    {FindingKind::kVoiceFolderCut, E, "voice-folder-cut", "the folder name is longer than 257 bytes",
     "the instrument cuts it and finds no such folder"},
    {FindingKind::kVoiceNameLineEnds, W, "voice-name-line-ends", "the display name takes in the blank lines before it",
     "the instrument lists the name with their line ends; remove the blank lines"},
    {FindingKind::kVoiceFileCut, E, "voice-file-cut", "the file is longer than 65,536 bytes",
     "the instrument reads no further than that"},
    {FindingKind::kSampleLineSkipped, W, "sample-line-skipped",
     "\"{0}\" does not have the three fields file,alias,root note",
     "the instrument skips the line; the next line takes its slot"},
    {FindingKind::kSamplesPastLimit, E, "samples-past-limit", "more than 1088 recordings",
     "the instrument ignores this line and those after it"},
    {FindingKind::kUnknownLine, W, "unknown-line", "\"{0}\" is not \"Program\", \"End\", a P line or an S line",
     "the instrument ignores it"},
    {FindingKind::kHeaderIncomplete, W, "header-incomplete", "the P line lacks some of gain, pitch-bend range and name",
     "the missing values keep their defaults (gain 1, range 2, name \"Default\")"},
    {FindingKind::kRangeIncomplete, E, "range-incomplete", "the S line lacks some of low key, high key and file",
     "the instrument ignores it"},
    {FindingKind::kSampleNotFound, E, "sample-not-found", "\"{0}\" is not in samples.txt",
     "the range falls back to sample slot 0"},
    {FindingKind::kRangesPastLimit, E, "ranges-past-limit", "more than 128 ranges since the last \"Program\" line",
     "the instrument drops this range"},
    {FindingKind::kProgramsPastLimit, E, "programs-past-limit", "more than 129 programs",
     "the instrument ignores the rest"},
    {FindingKind::kProgramNameCut, W, "program-name-cut", "the name \"{0}\" is longer than 24 bytes",
     "the host shows its first 24 bytes"},
    {FindingKind::kProgramWithoutEnd, E, "program-without-end", "the file ends inside a program (no \"End\" line)",
     "the instrument does not apply its ranges"},
    {FindingKind::kVoiceLineWithoutComma, E, "voice-line-without-comma",
     "\"{0}\" has no comma between the display name and the folder",
     "the instrument lists no voice for this line, and its text joins the next voice's display name"},
    {FindingKind::kRootNotANumber, E, "root-not-a-number", "the root note \"{0}\" is not a number",
     "the instrument reads it as note 0 (8.2 Hz), and every key plays the recording octaves too high"},
    {FindingKind::kGainNotANumber, E, "gain-not-a-number", "the gain \"{0}\" is not a number",
     "the instrument reads it as 0: the program is silent"},
    {FindingKind::kBendRangeNotANumber, W, "bend-range-not-a-number", "the pitch-bend range \"{0}\" is not a number",
     "the instrument reads it as 0: pitch bend does nothing in this program"},
    {FindingKind::kKeyNotANumber, E, "key-not-a-number", "the key \"{0}\" is not a number",
     "the instrument reads it as key 0"},
    {FindingKind::kEndMissing, E, "end-missing", "the program begun on line {0} has no \"End\" before this line",
     "the instrument drops that program's ranges and gives its place to the lines that follow: every program from "
     "here on sings the recordings of the one after it"},
    // oto.ini ({0}: the entry's file, unless said otherwise). What it gets wrong loads:
    // the recordings keep what timing can be made of it.
    {FindingKind::kOtoFileCut, W, "oto-file-cut", "the file is longer than 16 MB",
     "the instrument reads no further than that"},
    {FindingKind::kOtoLineSkipped, W, "oto-line-skipped", "\"{0}\" is not file.wav=alias,offset,...",
     "the instrument ignores the line"},
    {FindingKind::kOtoNotANumber, W, "oto-not-a-number", "\"{0}\" is not a number of milliseconds",
     "the instrument ignores the line"},
    {FindingKind::kOtoFileNotListed, W, "oto-file-not-listed", "\"{0}\" is not in samples.txt",
     "the instrument has no such recording and ignores its entries"},
    {FindingKind::kOtoDuplicate, W, "oto-duplicate", "a second entry of the file and alias of line {0}",
     "the instrument takes the first one"},
    {FindingKind::kOtoNegative, W, "oto-negative", "\"{0}\": a negative offset or preutterance",
     "the instrument reads it as 0"},
    {FindingKind::kOtoVowelPastEnd, W, "oto-vowel-past-end",
     "\"{0}\": offset and preutterance reach past the end of the recording (or of its cutoff)",
     "the vowel's start is wrong; the instrument takes it no later than the recording's last frame"},
    {FindingKind::kOtoOverlapPastVowel, W, "oto-overlap-past-vowel",
     "\"{0}\": the overlap is longer than the preutterance", "the instrument takes the preutterance as the overlap"},
    // voice.csv and the voice folders.
    {FindingKind::kNotAFolder, E, "not-a-folder", "not a folder", "nothing to check"},
    {FindingKind::kListMissing, E, "list-missing", "missing or unreadable",
     "the instrument shows \"GetVoiceList\xE3\x81\xA7\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC\" and looks for a voice "
     "folder named Undef"},
    {FindingKind::kNoVoices, E, "no-voices", "lists no voice (a line holds a display name, a comma and a folder name)",
     "the instrument looks for a voice folder named Undef and sings nothing"},
    {FindingKind::kVoiceWithoutFolder, E, "voice-without-folder", "voice {0} names no folder",
     "selecting it loads the files beside the plug-in as a voice"},
    {FindingKind::kSharedFolder, W, "shared-folder", "voice {0} names the folder \"{1}\" of voice {2}",
     "both sing the same recordings"},
    {FindingKind::kFolderMissing, E, "folder-missing", "folder \"{0}\" does not exist",
     "selecting this voice loads no samples and shows \"Program file load failed.\""},
    {FindingKind::kFolderFoundByLookup, W, "folder-found-by-lookup",
     "folder \"{0}\" is found only by the case-insensitive or Shift-JIS look-up",
     "the instrument finds it, but a host on another system may not"},
    {FindingKind::kFileFoundByLookup, W, "file-found-by-lookup",
     "\"{0}\" is found only by the case-insensitive or Shift-JIS look-up",
     "the instrument finds it, but a host on another system may not"},
    {FindingKind::kSamplesMissing, E, "samples-missing", "missing or unreadable",
     "the voice has no samples: every key plays silence"},
    {FindingKind::kProgramsMissing, E, "programs-missing", "missing or unreadable",
     "the instrument shows \"{0}programs.txt Program file load failed.\" and keeps the programs of the voice "
     "selected before"},
    {FindingKind::kUnlisted, W, "unlisted", "not listed in samples.txt", "the instrument never loads it"},
    // The recordings ({0}: the file's name).
    {FindingKind::kPathTooLong, E, "path-too-long", "\"{0}\": the path is longer than 259 characters", kWavFailed},
    {FindingKind::kWavMissing, E, "wav-missing", "\"{0}\": no such file", kWavFailed},
    {FindingKind::kNotWave, E, "not-wave",
     "\"{0}\": not a RIFF/WAVE file with a \"fmt \" chunk and a \"data\" chunk after it", kWavFailed},
    {FindingKind::kDataShort, E, "data-short", "\"{0}\": the data chunk claims {1} bytes, the file holds {2}",
     "the instrument plays the bytes there are"},
    {FindingKind::kUnreadableData, E, "unreadable-data",
     "\"{0}\": data of a kind the instrument cannot read (format {1}, {2} bits)",
     "the instrument shows \"Wave file load failed.\" and the slot stays silent"},
    {FindingKind::kEightBit, W, "eight-bit", "\"{0}\": 8-bit data",
     "the instrument plays it with 8-bit noise; 16-bit recordings sound clean"},
    {FindingKind::kStereo, W, "stereo", "\"{0}\": stereo",
     "the instrument plays both channels as recorded, with twice the memory of mono"},
    {FindingKind::kOddChannels, E, "odd-channels", "\"{0}\": {1} channels",
     "the instrument reads frames of two values: the sound is garbled"},
    {FindingKind::kNoAudio, W, "no-audio", "\"{0}\": holds no audio", "the slot is silent"},
    {FindingKind::kBadLoop, W, "bad-loop",
     "\"{0}\": its sustain loop (frames {1}-{2}) is unusable: inverted, past the data or shorter than {3} frames",
     "the instrument ignores it and plays the recording once"},
    {FindingKind::kOtherRate, W, "other-rate", "\"{0}\": recorded at {1} Hz, the voice's other recordings at {2} Hz",
     "the instrument plays each at its own rate; the voice's timbre changes from key to key"},
    {FindingKind::kRootOff, W, "root-off", "\"{0}\" sings at {1} Hz (note {2} {3}), but its root note is {4}",
     "every key it plays sounds {5} off; write {2} as its root"},
    {FindingKind::kListedTwice, W, "listed-twice", "\"{0}\" is listed twice",
     "ranges naming it play the first line's sample"},
    {FindingKind::kUnplayed, W, "unplayed", "\"{0}\" is played by no program", "it is loaded but never sung"},
    {FindingKind::kNoTiming, W, "no-timing", "{0} without an entry: {1}",
     "the instrument has no timing for these recordings: each starts at its note-on"},
    // The programs ({0}: the program, "program 1 (い) "i"", where the finding names one).
    {FindingKind::kNoPrograms, E, "no-programs", "defines no program (a program ends with an \"End\" line)",
     "the instrument keeps the programs of the voice selected before (at start, none): every syllable plays {0}"},
    {FindingKind::kUndefinedPrograms, W, "undefined-programs",
     "no program for {0} that lyrics and phonetic input reach: {1}",
     "a note that sings such a syllable plays {2} (or the ranges its program had before)"},
    {FindingKind::kNoRange, W, "no-range", "{0} has no key range",
     "lyrics and phonetic input reach it, and every key then plays {1}"},
    {FindingKind::kInvertedRange, W, "inverted-range", "the range {0}-{1} is inverted", "it sets no key"},
    {FindingKind::kRangeOutside, W, "range-outside", "the range lies outside the keys 0-127", "it sets no key"},
    {FindingKind::kUncovered, W, "uncovered", "{0} leaves {1} uncovered", "those keys play {2}"},
    {FindingKind::kStretched, W, "stretched", "{0} play \"{1}\" more than an octave from its root {2}",
     "they sound unnatural; give them a recording nearer their pitch"},
};

// One row per kind, in the order of the kinds, so that a finding finds its words by
// number; the readers' notes lead, in their own order.
constexpr bool EveryKindInOrder() {
  for (size_t i = 0; i < std::size(kWords); ++i)
    if (static_cast<size_t>(kWords[i].kind) != i) return false;
  return std::size(kWords) == static_cast<size_t>(FindingKind::kStretched) + 1 &&
         static_cast<size_t>(FindingKind::kOtoOverlapPastVowel) ==
             static_cast<size_t>(LoadNoteKind::kOtoOverlapPastVowel);
}
static_assert(EveryKindInOrder());

std::string Filled(const char* text, const std::vector<std::string>& args) {
  std::string out;
  for (const char* c = text; *c != '\0'; ++c) {
    if (c[0] == '{' && c[1] >= '0' && c[1] <= '9' && c[2] == '}') {
      const auto i = static_cast<size_t>(c[1] - '0');
      if (i < args.size()) out += DisplayText(args[i]);
      c += 2;
    } else {
      out.push_back(*c);
    }
  }
  return out;
}

}  // namespace

std::string DisplayText(const std::string& bytes) {
  return platform::IsValidUtf8(bytes) ? bytes : platform::ShiftJisToUtf8(bytes);
}

Finding MakeFinding(FindingKind kind, const std::string& file, int32_t line, const std::vector<std::string>& args) {
  const Words& words = kWords[static_cast<size_t>(kind)];
  return {file, line, words.severity, Filled(words.what, args), Filled(words.consequence, args), kind};
}

FindingKind KindOf(LoadNoteKind note) {
  return static_cast<FindingKind>(note);
}

const char* KindName(FindingKind kind) {
  return kWords[static_cast<size_t>(kind)].name;
}

}  // namespace chantera::voice
