// chantera-voice check (see check.h). Everything the instrument reads goes through the
// library's readers with a LoadReport attached; this file only judges and words what
// they saw, and measures the recordings.
#include "tools/voice/check.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "engine/phoneme_table.h"
#include "library/load_report.h"
#include "library/pitch.h"
#include "library/program_file.h"
#include "library/sample_bank.h"
#include "library/voice_list.h"
#include "library/wave_decode.h"
#include "library/wave_reader.h"
#include "params/programs.h"
#include "platform/platform.h"

namespace chantera::voice {
namespace {

namespace fs = std::filesystem;

constexpr double kRootToleranceCents = 50.0;  // half a semitone
constexpr int kStretchLimit = 12;             // semitones from a recording's root

// Messages are the check's to give: the loaders' message boxes are silenced while it runs.
int SilentSink(const char*, const char*) {
  return 1;
}

class SilentMessages {
 public:
  SilentMessages() : previous_(platform::SetMessageSink(&SilentSink)) {}
  ~SilentMessages() { platform::SetMessageSink(previous_); }
  SilentMessages(const SilentMessages&) = delete;
  SilentMessages& operator=(const SilentMessages&) = delete;

 private:
  platform::MessageSink previous_;
};

bool ExistsExactly(const std::string& path, bool directory) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  return directory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode);
}

// Whether the instrument's look-up finds the file (exactly or by its Windows rules).
bool OpensForReading(const std::string& path) {
  std::FILE* file = platform::OpenForReading(path.c_str());
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// Appended piece by piece: GCC 12 warns -Wrestrict wrongly about "text" + std::string
// once it inlines the string's insert (as Release builds do).
std::string Quote(const std::string& bytes) {
  std::string quoted = "\"";
  quoted += DisplayText(bytes);
  quoted += '"';
  return quoted;
}

std::string KeySpan(int low, int high) {
  return low == high ? "key " + std::to_string(low) : "keys " + std::to_string(low) + "-" + std::to_string(high);
}

// The kana of the first phoneme-table row that names program p (UTF-8), or "".
std::string ProgramKana(int32_t p) {
  for (const PhonemeRow& row : kPhonemeTable)
    if (row.program == p) return platform::ShiftJisToUtf8(row.kana);
  return {};
}

std::string ProgramLabel(int32_t p, const ProgramRecord& record) {
  std::string label = "program " + std::to_string(p);
  const std::string kana = ProgramKana(p);
  if (!kana.empty()) label += " (" + kana + ")";
  label += ' ';
  label += Quote(record.name);
  return label;
}

// Nearest MIDI note of a frequency, and the cents by which the frequency lies above it.
int NoteOf(double hz, double* cents = nullptr) {
  const double note = 69.0 + 12.0 * std::log2(hz / 440.0);
  const int nearest = static_cast<int>(std::lround(note));
  if (cents != nullptr) *cents = 100.0 * (note - nearest);
  return nearest;
}

// What each note of the readers means to a voice maker: its severity, the finding (the
// note's detail, when it has one, between the two parts) and what the instrument does.
struct NoteMessage {
  LoadNoteKind kind;
  Severity severity;
  const char* before;
  bool withDetail;
  const char* after;
  const char* consequence;
};
constexpr NoteMessage kNoteMessages[] = {
    {LoadNoteKind::kLineCut, Severity::kError, "the line is longer than 253 bytes", false, "",
     "the instrument reads only its first 253 bytes"},
    {LoadNoteKind::kVoiceWithoutLineEnd, Severity::kError, "the last voice has no line end", false, "",
     "the instrument does not list it: end the line"},
    {LoadNoteKind::kVoicesPastLimit, Severity::kError, "more than 24 voices", false, "",
     "the instrument ignores this one and those after it"},
    {LoadNoteKind::kVoiceNameCut, Severity::kWarning, "the display name is longer than 63 bytes", false, "",
     "the instrument keeps its first 63 bytes"},
    {LoadNoteKind::kVoiceFolderCut, Severity::kError, "the folder name is longer than 257 bytes", false, "",
     "the instrument cuts it and finds no such folder"},
    {LoadNoteKind::kVoiceNameLineEnds, Severity::kWarning,
     "the display name takes in line ends (blank lines, or a line without a comma, before it)", false, "",
     "the instrument lists the name with them; remove the extra lines"},
    {LoadNoteKind::kVoiceFileCut, Severity::kError, "the file is longer than 65,536 bytes", false, "",
     "the instrument reads no further than that"},
    {LoadNoteKind::kSampleLineSkipped, Severity::kWarning, "", true,
     " does not have the three fields file,alias,root note",
     "the instrument skips the line; the next line takes its slot"},
    {LoadNoteKind::kSamplesPastLimit, Severity::kError, "more than 1088 recordings", false, "",
     "the instrument ignores this line and those after it"},
    {LoadNoteKind::kUnknownLine, Severity::kWarning, "", true, " is not \"Program\", \"End\", a P line or an S line",
     "the instrument ignores it"},
    {LoadNoteKind::kHeaderIncomplete, Severity::kWarning, "the P line lacks some of gain, pitch-bend range and name",
     false, "", "the missing values keep their defaults (gain 1, range 2, name \"Default\")"},
    {LoadNoteKind::kRangeIncomplete, Severity::kError, "the S line lacks some of low key, high key and file", false, "",
     "the instrument ignores it"},
    {LoadNoteKind::kSampleNotFound, Severity::kError, "", true, " is not in samples.txt",
     "the range falls back to sample slot 0"},
    {LoadNoteKind::kRangesPastLimit, Severity::kError, "more than 128 ranges since the last \"Program\" line", false,
     "", "the instrument drops this range"},
    {LoadNoteKind::kProgramsPastLimit, Severity::kError, "more than 129 programs", false, "",
     "the instrument ignores the rest"},
    {LoadNoteKind::kProgramNameCut, Severity::kWarning, "the name ", true, " is longer than 24 bytes",
     "the host shows its first 24 bytes"},
    {LoadNoteKind::kProgramWithoutEnd, Severity::kError, "the file ends inside a program (no \"End\" line)", false, "",
     "the instrument does not apply its ranges"},
};
// One row per kind, in the order of the kinds, so that a note finds its row by number.
constexpr bool EveryKindInOrder() {
  for (size_t i = 0; i < std::size(kNoteMessages); ++i)
    if (static_cast<size_t>(kNoteMessages[i].kind) != i) return false;
  return std::size(kNoteMessages) == static_cast<size_t>(LoadNoteKind::kProgramWithoutEnd) + 1;
}
static_assert(EveryKindInOrder());

class Checker {
 public:
  explicit Checker(CheckResult& result) : result_(result) {}

  void Add(const std::string& file, int32_t line, Severity severity, std::string what, std::string consequence) {
    result_.findings.push_back({file, line, severity, std::move(what), std::move(consequence)});
    (severity == Severity::kError ? result_.errors : result_.warnings) += 1;
    if (voice_ != nullptr) (severity == Severity::kError ? voice_->errors : voice_->warnings) += 1;
  }

  void CheckPluginFolder(const fs::path& dir) {
    const std::string pluginDir = dir.string();
    char listPath[platform::kMaxPath];
    BuildVoiceListPath(pluginDir.c_str(), listPath);
    const std::string shown = (dir / "voice.csv").string();
    if (!OpensForReading(listPath)) {
      Add(shown, 0, Severity::kError, "missing or unreadable",
          "the instrument shows \"GetVoiceList\xE3\x81\xA7\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC\" and looks for a voice "
          "folder named Undef");
      return;
    }
    if (!ExistsExactly(listPath, false))
      Add(shown, 0, Severity::kWarning, "found only by the case-insensitive look-up",
          "the instrument finds it, but a host on another system may not");
    VoiceList list;
    LoadReport report;
    VoiceListReader(listPath).GetVoiceList(list, &report);
    ReportNotes(shown, report);
    if (list.voiceCount == 0) {
      Add(shown, 0, Severity::kError, "lists no voice (a voice counts once its line end is read)",
          "the instrument looks for a voice folder named Undef and sings nothing");
      return;
    }
    std::set<std::string> checked;
    for (int32_t v = 0; v < list.voiceCount; ++v) {
      const std::string folder = list.voiceFolders[v];
      const int32_t line = v < static_cast<int32_t>(report.voiceLines.size()) ? report.voiceLines[size_t(v)] : 0;
      result_.voices.push_back({DisplayText(list.voiceNames[v]), DisplayText(folder)});
      voice_ = &result_.voices.back();
      if (folder.empty()) {
        Add(shown, line, Severity::kError, "voice " + std::to_string(v) + " names no folder",
            "selecting it loads the files beside the plug-in as a voice");
      } else if (checked.insert(folder).second) {
        CheckVoice(pluginDir, folder, shown, line);
      }
      voice_ = nullptr;
    }
  }

  void CheckVoiceFolder(const fs::path& dir) {
    const fs::path absolute = fs::absolute(dir).lexically_normal();
    const fs::path folder = absolute.has_filename() ? absolute : absolute.parent_path();
    result_.voices.push_back({DisplayText(folder.filename().string()), DisplayText(folder.filename().string())});
    voice_ = &result_.voices.back();
    shownRoot_ = dir;
    CheckVoice(folder.parent_path().string(), folder.filename().string(), "", 0);
    voice_ = nullptr;
  }

 private:
  // A path to show for a file of the voice folder.
  std::string Shown(const std::string& name) const { return (shownRoot_ / name).string(); }

  void CheckVoice(const std::string& pluginDir, const std::string& folder, const std::string& listFile,
                  int32_t listLine) {
    if (!listFile.empty()) shownRoot_ = fs::path(pluginDir) / folder;
    const std::string voiceFolder = std::string(1, platform::kPathSeparator) + folder + platform::kPathSeparator;
    const std::string base = pluginDir + voiceFolder;
    const std::string samplesFile = Shown("samples.txt"), programsFile = Shown("programs.txt");
    if (!listFile.empty() && !ExistsExactly(pluginDir + platform::kPathSeparator + folder, true)) {
      if (OpensForReading(base + "samples.txt") || OpensForReading(base + "programs.txt")) {
        Add(listFile, listLine, Severity::kWarning,
            "folder " + Quote(folder) + " found only by the case-insensitive or Shift-JIS look-up",
            "the instrument finds it, but a host on another system may not");
      } else {
        Add(listFile, listLine, Severity::kError, "folder " + Quote(folder) + " does not exist",
            "selecting this voice loads no samples and shows \"Program file load failed.\"");
        return;
      }
    }

    // samples.txt, read by the instrument's loader.
    auto bank = std::make_unique<SampleBank>();
    LoadReport samplesReport;
    if (!OpensForReading(base + "samples.txt")) {
      Add(samplesFile, 0, Severity::kError, "missing or unreadable",
          "the voice has no samples: every key plays silence");
    } else {
      LookupWarning(base + "samples.txt", samplesFile, 0);
      bank->LoadSampleList(pluginDir.c_str(), voiceFolder.c_str(), &samplesReport);
      ReportNotes(samplesFile, samplesReport);
    }
    const int32_t sampleCount = bank->sampleCount.load();
    voice_->samples = sampleCount;
    CheckRecordings(*bank, base, samplesFile, samplesReport);

    // programs.txt.
    ProgramSet programs;
    LoadReport programReport;
    if (!OpensForReading(base + "programs.txt")) {
      Add(programsFile, 0, Severity::kError, "missing or unreadable",
          "the instrument shows \"" + DisplayText(base) +
              "programs.txt Program file load failed.\" and keeps the "
              "programs of the voice selected before");
    } else {
      LookupWarning(base + "programs.txt", programsFile, 0);
      LoadProgramFile(pluginDir.c_str(), voiceFolder.c_str(), programs, *bank, &programReport);
      ReportNotes(programsFile, programReport);
      voice_->programs = static_cast<int32_t>(programReport.programs.size());
      CheckPrograms(programs, *bank, programsFile, programReport, samplesFile, samplesReport);
    }
    CheckUnusedFiles(*bank, base);
  }

  void LookupWarning(const std::string& path, const std::string& shown, int32_t line, const std::string& name = {}) {
    if (!ExistsExactly(path, false))
      Add(shown, line, Severity::kWarning,
          (name.empty() ? "" : Quote(name) + ": ") + "found only by the case-insensitive or Shift-JIS look-up",
          "the instrument finds it, but a host on another system may not");
  }

  void CheckRecordings(const SampleBank& bank, const std::string& base, const std::string& samplesFile,
                       const LoadReport& report) {
    const int32_t count = bank.sampleCount.load();
    std::map<uint32_t, int> rates;  // sample rate -> recordings
    std::vector<uint32_t> rateOf(size_t(count), 0);
    for (int32_t n = 0; n < count; ++n) {
      const Sample* sample = bank.slot(n);
      const int32_t line = n < static_cast<int32_t>(report.sampleLines.size()) ? report.sampleLines[size_t(n)] : 0;
      if (sample == nullptr) continue;
      const std::string& name = sample->fileName;
      const std::string path = base + name;
      if (path.size() >= static_cast<size_t>(platform::kMaxPath)) {
        Add(samplesFile, line, Severity::kError, Quote(name) + ": the path is longer than 259 characters",
            "the instrument shows \"Wave file load failed.\" and the slot stays silent");
        continue;
      }
      if (!OpensForReading(path)) {
        Add(samplesFile, line, Severity::kError, Quote(name) + ": no such file",
            "the instrument shows \"Wave file load failed.\" and the slot stays silent");
        continue;
      }
      LookupWarning(path, samplesFile, line, name);
      WaveReader reader;
      const uint32_t status = reader.Open(path.c_str());
      if (status != kWaveOk) {
        Add(samplesFile, line, Severity::kError,
            Quote(name) + ": not a RIFF/WAVE file with a \"fmt \" chunk and a \"data\" chunk after it",
            "the instrument shows \"Wave file load failed.\" and the slot stays silent");
        continue;
      }
      const WaveFormat& f = reader.format;
      const uint64_t held = reader.BytesRemaining();
      if (reader.dataSize > held)
        Add(samplesFile, line, Severity::kError,
            Quote(name) + ": the data chunk claims " + std::to_string(reader.dataSize) + " bytes, the file holds " +
                std::to_string(held),
            "the instrument plays the bytes there are");
      const WaveEncoding encoding = EncodingOf(reader);
      if (encoding == WaveEncoding::kUnreadable) {
        Add(samplesFile, line, Severity::kError,
            Quote(name) + ": data of a kind the instrument cannot read (format " + std::to_string(f.formatTag) + ", " +
                std::to_string(f.bitsPerSample) + " bits)",
            "the instrument shows \"Wave file load failed.\" and the slot stays silent");
        continue;
      }
      if (encoding == WaveEncoding::kUnsigned8)
        Add(samplesFile, line, Severity::kWarning, Quote(name) + ": 8-bit data",
            "the instrument plays it with 8-bit noise; 16-bit recordings sound clean");
      if (f.channels == 2) {
        Add(samplesFile, line, Severity::kWarning, Quote(name) + ": stereo",
            "the instrument plays both channels as recorded, with twice the memory of mono");
      } else if (f.channels != 1) {
        Add(samplesFile, line, Severity::kError, Quote(name) + ": " + std::to_string(f.channels) + " channels",
            "the instrument reads frames of two values: the sound is garbled");
      }
      if (reader.dataSize == 0 || sample->ReadableFrames() == 0)
        Add(samplesFile, line, Severity::kWarning, Quote(name) + ": holds no audio", "the slot is silent");
      uint32_t loopFirst = 0, loopLast = 0;
      if (reader.ReadLoop(loopFirst, loopLast)) {
        if (!sample->HasLoop()) {
          Add(samplesFile, line, Severity::kWarning,
              Quote(name) + ": its sustain loop (frames " + std::to_string(loopFirst) + "-" + std::to_string(loopLast) +
                  ") is unusable: inverted, past the data or shorter than " + std::to_string(Sample::kMinLoopFrames) +
                  " frames",
              "the instrument ignores it and plays the recording once");
        } else {
          voice_->looped += 1;
        }
      }
      rates[f.samplesPerSec] += 1;
      rateOf[size_t(n)] = f.samplesPerSec;
      if (sample->bitsPerSample == 16 && sample->channels == 1) CheckRoot(*sample, samplesFile, line);
    }
    if (rates.size() > 1) {
      // The rate of most recordings; of rates as common, the one listed first.
      uint32_t usual = 0;
      for (int32_t n = 0; n < count; ++n)
        if (rateOf[size_t(n)] != 0 && (usual == 0 || rates[rateOf[size_t(n)]] > rates[usual]))
          usual = rateOf[size_t(n)];
      for (int32_t n = 0; n < count; ++n) {
        if (rateOf[size_t(n)] == 0 || rateOf[size_t(n)] == usual) continue;
        const int32_t line = n < static_cast<int32_t>(report.sampleLines.size()) ? report.sampleLines[size_t(n)] : 0;
        Add(samplesFile, line, Severity::kWarning,
            Quote(bank.slot(n)->fileName) + ": recorded at " + std::to_string(rateOf[size_t(n)]) +
                " Hz, the voice's other recordings at " + std::to_string(usual) + " Hz",
            "the instrument plays each at its own rate; the voice's timbre changes from key to key");
      }
    }
  }

  // The root note written in samples.txt against the pitch the recording sings at.
  void CheckRoot(const Sample& sample, const std::string& samplesFile, int32_t line) {
    const uint32_t frames = sample.ReadableFrames();
    if (frames == 0 || sample.sampleRate == 0) return;
    std::vector<double> x(frames);
    for (uint32_t i = 0; i < frames; ++i) x[i] = sample.GetValue(i, 0) / 32768.0;
    // The steady part: the sustain loop, else past the consonant and before the fade.
    const double measured = sample.HasLoop() ? SteadyPitchHz(x, sample.LoopStart(), sample.LoopEnd(), sample.sampleRate)
                                             : SteadyPitchHz(x, frames / 4, frames - frames / 10, sample.sampleRate);
    if (measured <= 0.0) return;
    const double cents = CentsBetween(measured, sample.rootFrequency);
    if (std::fabs(cents) <= kRootToleranceCents) return;
    double off = 0.0;
    const int note = NoteOf(measured, &off);
    char text[160];
    std::snprintf(text, sizeof text, "sings at %.1f Hz (note %d %+.0f cents), but its root note is %d", measured, note,
                  off, NoteOf(sample.rootFrequency));
    char consequence[160];
    std::snprintf(consequence, sizeof consequence, "every key it plays sounds %+.0f cents off; write %d as its root",
                  cents, note);
    Add(samplesFile, line, Severity::kWarning, Quote(sample.fileName) + " " + text, consequence);
  }

  void CheckPrograms(const ProgramSet& programs, const SampleBank& bank, const std::string& file,
                     const LoadReport& report, const std::string& samplesFile, const LoadReport& samplesReport) {
    const int32_t count = bank.sampleCount.load();
    const Sample* fallback = count > 0 ? bank.slot(0) : nullptr;
    const std::string slot0 =
        "sample slot 0" + (fallback != nullptr ? " (" + Quote(fallback->fileName) + ")" : std::string(" (silence)"));
    std::vector<bool> used(size_t(std::max(count, 0)), false);
    std::vector<int32_t> undefined;
    std::set<int32_t> reachable;
    for (const PhonemeRow& row : kPhonemeTable) reachable.insert(row.program);

    for (int32_t p = 0; p < kProgramCount; ++p) {
      const ProgramRecord& record = programs.records[size_t(p)];
      const bool defined = p < static_cast<int32_t>(report.programs.size());
      if (!defined || record.ranges.empty()) {
        if (reachable.count(p) == 0) continue;
        if (!defined) {
          undefined.push_back(p);
        } else {
          Add(file, report.programs[size_t(p)].start, Severity::kWarning, ProgramLabel(p, record) + " has no key range",
              "lyrics and phonetic input reach it, and every key then plays " + slot0);
        }
        continue;
      }
      const ProgramLines& lines = report.programs[size_t(p)];
      KeyTable table{};
      programs.BuildKeyMap(p, table);
      // Which range sets each key (the last one that covers it wins), for the line.
      std::vector<int> setter(kKeyCount, -1);
      for (size_t r = 0; r < record.ranges.size(); ++r) {
        const KeyRange& range = record.ranges[r];
        const int32_t rangeLine = r < lines.ranges.size() ? lines.ranges[r] : lines.start;
        if (range.lowKey > range.highKey) {
          Add(file, rangeLine, Severity::kWarning,
              "the range " + std::to_string(range.lowKey) + "-" + std::to_string(range.highKey) + " is inverted",
              "it sets no key");
          continue;
        }
        if (range.highKey < 0 || range.lowKey >= kKeyCount) {
          Add(file, rangeLine, Severity::kWarning, "the range lies outside the keys 0-127", "it sets no key");
          continue;
        }
        for (int32_t k = std::max(range.lowKey, 0); k <= std::min(range.highKey, kKeyCount - 1); ++k)
          setter[size_t(k)] = static_cast<int>(r);
        if (range.sampleIndex >= 0 && range.sampleIndex < count) used[size_t(range.sampleIndex)] = true;
      }
      ReportUncovered(p, record, setter, file, lines.start, slot0);
      ReportStretch(record, bank, setter, table, file, lines);
    }
    if (!undefined.empty()) {
      std::string list;
      for (int32_t p : undefined) {
        if (!list.empty()) list += ' ';
        list += ProgramKana(p);
      }
      Add(file, 0, Severity::kWarning,
          std::to_string(undefined.size()) + " programs that lyrics and phonetic input reach are not defined: " + list,
          "those syllables sing " + slot0 + " (or the ranges that program had before)");
    }
    for (int32_t n = 0; n < count; ++n) {
      if (used[size_t(n)]) continue;
      const int32_t line =
          n < static_cast<int32_t>(samplesReport.sampleLines.size()) ? samplesReport.sampleLines[size_t(n)] : 0;
      // A second line of the same name: every range finds the first one.
      const bool duplicate = bank.FindSample(bank.slot(n)->fileName.c_str()) != n;
      Add(samplesFile, line, Severity::kWarning,
          Quote(bank.slot(n)->fileName) + (duplicate ? " is listed twice" : " is played by no program"),
          duplicate ? "ranges naming it play the first line's sample" : "it is loaded but never sung");
    }
  }

  void ReportUncovered(int32_t p, const ProgramRecord& record, const std::vector<int>& setter, const std::string& file,
                       int32_t line, const std::string& slot0) {
    std::string spans;
    int uncovered = 0;
    for (int k = 0; k < kKeyCount;) {
      if (setter[size_t(k)] >= 0) {
        ++k;
        continue;
      }
      int end = k;
      while (end + 1 < kKeyCount && setter[size_t(end) + 1] < 0) ++end;
      if (!spans.empty()) spans += ", ";
      spans += std::to_string(k);
      if (end > k) {
        spans += '-';
        spans += std::to_string(end);
      }
      uncovered += end - k + 1;
      k = end + 1;
    }
    if (uncovered == 0) return;
    Add(file, line, Severity::kWarning,
        ProgramLabel(p, record) + " leaves " + (uncovered == 1 ? "key " : "keys ") + spans + " uncovered",
        "those keys play " + slot0);
  }

  // Keys that play a recording more than an octave from its root, within an octave of the
  // roots the program has: outside that span every recording is stretched, and saying so
  // would only repeat that the voice was not recorded there.
  void ReportStretch(const ProgramRecord& record, const SampleBank& bank, const std::vector<int>& setter,
                     const KeyTable& table, const std::string& file, const ProgramLines& lines) {
    int lowestRoot = kKeyCount, highestRoot = -1;
    std::vector<int> rootOf(kKeyCount, -1);
    for (int k = 0; k < kKeyCount; ++k) {
      if (setter[size_t(k)] < 0) continue;
      const Sample* s = bank.slot(table[size_t(k)]);
      if (s == nullptr || !(s->rootFrequency > 0.0)) continue;
      rootOf[size_t(k)] = NoteOf(s->rootFrequency);
      lowestRoot = std::min(lowestRoot, rootOf[size_t(k)]);
      highestRoot = std::max(highestRoot, rootOf[size_t(k)]);
    }
    for (int k = 0; k < kKeyCount;) {
      auto stretched = [&](int key) {
        return rootOf[size_t(key)] >= 0 && std::abs(key - rootOf[size_t(key)]) > kStretchLimit &&
               key >= lowestRoot - kStretchLimit && key <= highestRoot + kStretchLimit;
      };
      if (!stretched(k)) {
        ++k;
        continue;
      }
      int end = k;
      while (end + 1 < kKeyCount && stretched(end + 1) && setter[size_t(end) + 1] == setter[size_t(k)]) ++end;
      const size_t r = size_t(setter[size_t(k)]);
      const int32_t line = r < lines.ranges.size() ? lines.ranges[r] : lines.start;
      const Sample* s = bank.slot(table[size_t(k)]);
      Add(file, line, Severity::kWarning,
          KeySpan(k, end) + " play " + Quote(s->fileName) + " more than an octave from its root " +
              std::to_string(rootOf[size_t(k)]),
          "they sound unnatural; give them a recording nearer their pitch");
      k = end + 1;
    }
  }

  // WAV files in the voice folder that samples.txt does not list.
  void CheckUnusedFiles(const SampleBank& bank, const std::string& base) {
    std::error_code error;
    const fs::path folder(base);
    if (!fs::is_directory(folder, error)) return;
    auto key = [](std::string name) {
      for (char& c : name) {
        if (c == '\\') c = '/';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
      return name;
    };
    std::set<std::string> listed;
    for (int32_t n = 0; n < bank.sampleCount.load(); ++n) {
      const std::string& name = bank.slot(n)->fileName;
      listed.insert(key(name));
      listed.insert(key(platform::ShiftJisToUtf8(name)));
    }
    std::vector<std::string> unused;
    for (auto it = fs::recursive_directory_iterator(folder, error); it != fs::recursive_directory_iterator();
         it.increment(error)) {
      if (error || !it->is_regular_file(error)) continue;
      const std::string relative = it->path().lexically_relative(folder).generic_string();
      if (key(it->path().extension().string()) != ".wav") continue;
      if (listed.count(key(relative)) == 0) unused.push_back(relative);
    }
    std::sort(unused.begin(), unused.end());
    for (const std::string& name : unused)
      Add(Shown(name), 0, Severity::kWarning, "not listed in samples.txt", "the instrument never loads it");
  }

  void ReportNotes(const std::string& file, const LoadReport& report) {
    for (const LoadNote& note : report.notes) {
      const NoteMessage& m = kNoteMessages[static_cast<size_t>(note.kind)];
      Add(file, note.line, m.severity, m.before + (m.withDetail ? Quote(note.detail) : std::string()) + m.after,
          m.consequence);
    }
  }

  CheckResult& result_;
  VoiceSummary* voice_ = nullptr;
  fs::path shownRoot_;
};

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out.push_back(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace

std::string DisplayText(const std::string& bytes) {
  return platform::IsValidUtf8(bytes) ? bytes : platform::ShiftJisToUtf8(bytes);
}

CheckResult CheckLibrary(const std::filesystem::path& target) {
  CheckResult result;
  result.voices.reserve(kMaxVoices + 1);  // the checker keeps a pointer to the voice it checks
  SilentMessages silent;
  Checker checker(result);
  std::error_code error;
  if (!fs::is_directory(target, error)) {
    checker.Add(target.string(), 0, Severity::kError, "not a folder", "nothing to check");
  } else if (fs::exists(target / "samples.txt") || fs::exists(target / "programs.txt")) {
    checker.CheckVoiceFolder(target);
  } else {
    checker.CheckPluginFolder(target);
  }
  return result;
}

std::string FormatText(const CheckResult& result) {
  std::string out;
  for (const Finding& f : result.findings) {
    out += f.file;
    if (f.line > 0) {
      out += ':';
      out += std::to_string(f.line);
    }
    out += f.severity == Severity::kError ? ": error: " : ": warning: ";
    out += f.what + "; " + f.consequence + "\n";
  }
  for (const VoiceSummary& v : result.voices) {
    out += "voice \"" + v.name + "\" (" + v.folder + "): " + std::to_string(v.samples) + " recordings" +
           (v.looped > 0 ? " (" + std::to_string(v.looped) + " with a sustain loop)" : std::string()) + ", " +
           std::to_string(v.programs) + " programs: ";
    if (v.errors == 0 && v.warnings == 0) {
      out += "clean\n";
    } else {
      out += std::to_string(v.errors) + (v.errors == 1 ? " error, " : " errors, ") + std::to_string(v.warnings) +
             (v.warnings == 1 ? " warning\n" : " warnings\n");
    }
  }
  return out;
}

std::string FormatJson(const CheckResult& result) {
  std::string out = "{\"findings\": [";
  for (size_t i = 0; i < result.findings.size(); ++i) {
    const Finding& f = result.findings[i];
    out += std::string(i ? ",\n  " : "\n  ") + "{\"file\": " + JsonString(f.file) +
           ", \"line\": " + std::to_string(f.line) + ", \"severity\": \"" +
           (f.severity == Severity::kError ? "error" : "warning") + "\", \"message\": " + JsonString(f.what) +
           ", \"consequence\": " + JsonString(f.consequence) + "}";
  }
  out += "],\n \"voices\": [";
  for (size_t i = 0; i < result.voices.size(); ++i) {
    const VoiceSummary& v = result.voices[i];
    out += std::string(i ? ",\n  " : "\n  ") + "{\"name\": " + JsonString(v.name) +
           ", \"folder\": " + JsonString(v.folder) + ", \"recordings\": " + std::to_string(v.samples) +
           ", \"looped\": " + std::to_string(v.looped) + ", \"programs\": " + std::to_string(v.programs) +
           ", \"errors\": " + std::to_string(v.errors) + ", \"warnings\": " + std::to_string(v.warnings) + "}";
  }
  out += "],\n \"errors\": " + std::to_string(result.errors) + ", \"warnings\": " + std::to_string(result.warnings) +
         "}\n";
  return out;
}

}  // namespace chantera::voice
