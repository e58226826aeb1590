// chantera-voice check (see check.h): voice.csv, the voice folders and the recordings.
// Everything the instrument reads goes through the library's readers with a LoadReport
// attached; this file only judges what they saw and measures the recordings.
#include "tools/voice/check.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "library/pitch.h"
#include "library/program_file.h"
#include "library/sample_bank.h"
#include "library/voice_list.h"
#include "library/wave_decode.h"
#include "library/wave_reader.h"
#include "platform/platform.h"
#include "tools/render/words.h"
#include "tools/voice/checker.h"

namespace chantera::voice {
namespace {

namespace fs = std::filesystem;

constexpr double kRootToleranceCents = 50.0;  // half a semitone

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

// The path as written (no letter-case look-up), a folder or a plain file.
bool ExistsExactly(const std::string& path, bool directory) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error) return false;
  return directory ? std::filesystem::is_directory(status) : std::filesystem::is_regular_file(status);
}

// Whether the instrument's look-up finds the file (exactly or by its Windows rules).
bool OpensForReading(const std::string& path) {
  return platform::OpenForReading(path.c_str()) != nullptr;
}

// "+7 cents", "-1 cent".
std::string Cents(double cents) {
  const long rounded = std::lround(cents);
  std::string text = rounded >= 0 ? "+" : "";
  text += render::Plural(rounded, "cent");  // appended: see ProgramLabel in check_programs.cpp
  return text;
}

}  // namespace

void Checker::Add(FindingKind kind, const std::string& file, int32_t line, const std::vector<std::string>& args) {
  result_.findings.push_back(MakeFinding(kind, file, line, args));
  const Severity severity = result_.findings.back().severity;
  (severity == Severity::kError ? result_.errors : result_.warnings) += 1;
  if (voice_ != nullptr) (severity == Severity::kError ? voice_->errors : voice_->warnings) += 1;
}

void Checker::CheckPluginFolder(const fs::path& dir, int32_t onlyVoice) {
  const std::string pluginDir = dir.string();
  const std::string listPath = VoiceListPath(pluginDir);
  const std::string shown = (dir / "voice.csv").string();
  if (!OpensForReading(listPath)) {
    Add(FindingKind::kListMissing, shown, 0);
    return;
  }
  if (!ExistsExactly(listPath, false)) Add(FindingKind::kFileFoundByLookup, shown, 0, {"voice.csv"});
  VoiceList list;
  LoadReport report;
  VoiceListReader(listPath).GetVoiceList(list, &report);
  ShowLoadFailures(report);
  ReportNotes(shown, report);
  if (list.voiceCount == 0) {
    Add(FindingKind::kNoVoices, shown, 0);
    return;
  }
  std::map<std::string, int32_t> checked;  // folder, the first voice that names it
  for (int32_t v = 0; v < list.voiceCount; ++v) {
    if (onlyVoice >= 0 && v != (onlyVoice < list.voiceCount ? onlyVoice : 0)) continue;
    const std::string folder = list.voiceFolders[v];
    const int32_t line = v < static_cast<int32_t>(report.voiceLines.size()) ? report.voiceLines[size_t(v)] : 0;
    result_.voices.push_back({DisplayText(list.voiceNames[v]), DisplayText(folder)});
    voice_ = &result_.voices.back();
    const auto [first, isNew] = checked.emplace(folder, v);
    if (folder.empty()) {
      Add(FindingKind::kVoiceWithoutFolder, shown, line, {std::to_string(v)});
    } else if (isNew) {
      CheckVoice(pluginDir, folder, shown, line);
    } else {
      Add(FindingKind::kSharedFolder, shown, line, {std::to_string(v), folder, std::to_string(first->second)});
    }
    voice_ = nullptr;
  }
}

void Checker::CheckVoiceFolder(const fs::path& dir) {
  const fs::path absolute = fs::absolute(dir).lexically_normal();
  const fs::path folder = absolute.has_filename() ? absolute : absolute.parent_path();
  result_.voices.push_back({DisplayText(folder.filename().string()), DisplayText(folder.filename().string())});
  voice_ = &result_.voices.back();
  shownRoot_ = dir;
  CheckVoice(folder.parent_path().string(), folder.filename().string(), "", 0);
  voice_ = nullptr;
}

void Checker::CheckVoice(const std::string& pluginDir, const std::string& folder, const std::string& listFile,
                         int32_t listLine) {
  if (!listFile.empty()) shownRoot_ = fs::path(pluginDir) / folder;
  const std::string voiceFolder = std::string(1, platform::kPathSeparator) + folder + platform::kPathSeparator;
  const std::string base = pluginDir + voiceFolder;
  const std::string samplesFile = Shown("samples.txt"), programsFile = Shown("programs.txt");
  if (!listFile.empty() && !ExistsExactly(pluginDir + platform::kPathSeparator + folder, true)) {
    if (!OpensForReading(base + "samples.txt") && !OpensForReading(base + "programs.txt")) {
      Add(FindingKind::kFolderMissing, listFile, listLine, {folder});
      return;
    }
    Add(FindingKind::kFolderFoundByLookup, listFile, listLine, {folder});
  }

  // samples.txt, read by the instrument's loader.
  auto bank = std::make_unique<SampleBank>();
  LoadReport samplesReport;
  if (!OpensForReading(base + "samples.txt")) {
    Add(FindingKind::kSamplesMissing, samplesFile, 0);
  } else {
    LookupWarning(base + "samples.txt", samplesFile, 0, "samples.txt");
    bank->LoadSampleList(pluginDir.c_str(), voiceFolder.c_str(), &samplesReport);
    ShowLoadFailures(samplesReport);
    ReportNotes(samplesFile, samplesReport);
  }
  voice_->samples = bank->sampleCount.load();
  CheckRecordings(*bank, base, samplesFile, samplesReport);
  CheckTiming(*bank, samplesReport);

  // programs.txt.
  ProgramSet programs;
  LoadReport programReport;
  if (!OpensForReading(base + "programs.txt")) {
    Add(FindingKind::kProgramsMissing, programsFile, 0, {base});
  } else {
    LookupWarning(base + "programs.txt", programsFile, 0, "programs.txt");
    LoadProgramFile(pluginDir.c_str(), voiceFolder.c_str(), programs, *bank, &programReport);
    ShowLoadFailures(programReport);
    ReportNotes(programsFile, programReport);
    voice_->programs = static_cast<int32_t>(programReport.programs.size());
    if (!loadOnly_) CheckPrograms(programs, *bank, programsFile, programReport, samplesFile, samplesReport);
  }
  if (!loadOnly_) CheckUnusedFiles(*bank, base);
}

void Checker::LookupWarning(const std::string& path, const std::string& shown, int32_t line, const std::string& name) {
  if (!loadOnly_ && !ExistsExactly(path, false)) Add(FindingKind::kFileFoundByLookup, shown, line, {name});
}

void Checker::CheckRecordings(const SampleBank& bank, const std::string& base, const std::string& samplesFile,
                              const LoadReport& report) {
  const int32_t count = bank.sampleCount.load();
  std::vector<uint32_t> rateOf(size_t(count), 0);
  std::set<int32_t> rootless;  // lines whose root note is no number: already told
  for (const LoadNote& note : report.notes)
    if (note.kind == LoadNoteKind::kRootNotANumber) rootless.insert(note.line);
  for (int32_t n = 0; n < count; ++n) {
    const Sample* sample = bank.slot(n);
    const int32_t line = n < static_cast<int32_t>(report.sampleLines.size()) ? report.sampleLines[size_t(n)] : 0;
    if (sample != nullptr)
      rateOf[size_t(n)] = CheckRecording(*sample, base, samplesFile, line, rootless.count(line) == 0);
  }
  ReportOtherRates(bank, samplesFile, report, rateOf);
}

// One recording of samples.txt, at its line: its file, its format, its loop and (when its
// root note is a number) the pitch it sings at. Its sample rate, or 0 when it has none to
// compare.
uint32_t Checker::CheckRecording(const Sample& sample, const std::string& base, const std::string& samplesFile,
                                 int32_t line, bool rootIsANumber) {
  const std::string& name = sample.fileName;
  const std::string path = base + name;
  if (path.size() >= static_cast<size_t>(platform::kMaxPath)) {
    Add(FindingKind::kPathTooLong, samplesFile, line, {name});
    return 0;
  }
  if (!OpensForReading(path)) {
    Add(FindingKind::kWavMissing, samplesFile, line, {name});
    return 0;
  }
  LookupWarning(path, samplesFile, line, name);
  WaveReader reader;
  if (reader.Open(path.c_str()) != kWaveOk) {
    Add(FindingKind::kNotWave, samplesFile, line, {name});
    return 0;
  }
  if (loadOnly_) return 0;
  const WaveFormat& f = reader.format;
  const uint64_t held = reader.BytesRemaining();
  if (reader.dataSize > held)
    Add(FindingKind::kDataShort, samplesFile, line, {name, std::to_string(reader.dataSize), std::to_string(held)});
  const WaveEncoding encoding = EncodingOf(reader);
  if (encoding == WaveEncoding::kUnreadable) {
    Add(FindingKind::kUnreadableData, samplesFile, line,
        {name, std::to_string(f.formatTag), std::to_string(f.bitsPerSample)});
    return 0;
  }
  if (encoding == WaveEncoding::kUnsigned8) Add(FindingKind::kEightBit, samplesFile, line, {name});
  if (f.channels == 2) {
    Add(FindingKind::kStereo, samplesFile, line, {name});
  } else if (f.channels != 1) {
    Add(FindingKind::kOddChannels, samplesFile, line, {name, std::to_string(f.channels)});
  }
  if (reader.dataSize == 0 || sample.ReadableFrames() == 0) Add(FindingKind::kNoAudio, samplesFile, line, {name});
  uint32_t loopFirst = 0, loopLast = 0;
  if (reader.ReadLoop(loopFirst, loopLast)) {
    if (!sample.HasLoop()) {
      Add(FindingKind::kBadLoop, samplesFile, line,
          {name, std::to_string(loopFirst), std::to_string(loopLast), std::to_string(Sample::kMinLoopFrames)});
    } else {
      voice_->looped += 1;
    }
  }
  if (sample.bitsPerSample == 16 && sample.channels == 1 && rootIsANumber) CheckRoot(sample, samplesFile, line);
  return f.samplesPerSec;
}

// Recordings at another sample rate than most (rateOf: each one's rate, 0 for none).
void Checker::ReportOtherRates(const SampleBank& bank, const std::string& samplesFile, const LoadReport& report,
                               const std::vector<uint32_t>& rateOf) {
  std::map<uint32_t, int> rates;  // sample rate -> recordings
  for (const uint32_t rate : rateOf)
    if (rate != 0) rates[rate] += 1;
  if (rates.size() <= 1) return;
  // The rate of most recordings; of rates as common, the one listed first.
  const auto count = static_cast<int32_t>(rateOf.size());
  uint32_t usual = 0;
  for (int32_t n = 0; n < count; ++n)
    if (rateOf[size_t(n)] != 0 && (usual == 0 || rates[rateOf[size_t(n)]] > rates[usual])) usual = rateOf[size_t(n)];
  for (int32_t n = 0; n < count; ++n) {
    if (rateOf[size_t(n)] == 0 || rateOf[size_t(n)] == usual) continue;
    const int32_t line = n < static_cast<int32_t>(report.sampleLines.size()) ? report.sampleLines[size_t(n)] : 0;
    Add(FindingKind::kOtherRate, samplesFile, line,
        {bank.slot(n)->fileName, std::to_string(rateOf[size_t(n)]), std::to_string(usual)});
  }
}

// The root note written in samples.txt against the pitch the recording sings at.
void Checker::CheckRoot(const Sample& sample, const std::string& samplesFile, int32_t line) {
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
  char hz[32];
  std::snprintf(hz, sizeof hz, "%.1f", measured);
  Add(FindingKind::kRootOff, samplesFile, line,
      {sample.fileName, hz, std::to_string(note), Cents(off), std::to_string(NoteOf(sample.rootFrequency)),
       Cents(cents)});
}

// WAV files in the voice folder that samples.txt does not list.
void Checker::CheckUnusedFiles(const SampleBank& bank, const std::string& base) {
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
  for (const std::string& name : unused) Add(FindingKind::kUnlisted, Shown(name), 0);
}

// oto.ini, read with samples.txt: what its lines gave, and the recordings it leaves out, told
// once for all of them (a voice made without timing in mind lacks it everywhere).
void Checker::CheckTiming(const SampleBank& bank, const LoadReport& report) {
  if (!report.otoRead) return;
  const std::string otoFile = Shown("oto.ini");
  for (const LoadNote& note : report.otoNotes) Add(KindOf(note.kind), otoFile, note.line, {note.detail});
  constexpr size_t kNamed = 3;
  std::string named;
  size_t without = 0;
  for (int32_t n = 0; n < bank.sampleCount.load(); ++n) {
    const Sample* sample = bank.slot(n);
    if (sample == nullptr || sample->timing.known) continue;
    if (++without > kNamed) continue;
    if (!named.empty()) named += ", ";
    named += '"';
    named += DisplayText(sample->fileName);
    named += '"';
  }
  if (without == 0) return;
  if (without > kNamed) named += ", ...";
  Add(FindingKind::kNoTiming, otoFile, 0, {render::Plural(static_cast<int64_t>(without), "recording"), named});
}

void Checker::ReportNotes(const std::string& file, const LoadReport& report) {
  for (const LoadNote& note : report.notes) Add(KindOf(note.kind), file, note.line, {note.detail});
}

CheckResult CheckLibrary(const std::filesystem::path& target) {
  CheckResult result;
  result.voices.reserve(kMaxVoices + 1);  // the checker keeps a pointer to the voice it checks
  SilentMessages silent;
  Checker checker(result);
  std::error_code error;
  if (!fs::is_directory(target, error)) {
    checker.Add(FindingKind::kNotAFolder, target.string(), 0);
  } else if (fs::exists(target / "samples.txt") || fs::exists(target / "programs.txt")) {
    checker.CheckVoiceFolder(target);
  } else {
    checker.CheckPluginFolder(target);
  }
  return result;
}

std::vector<Finding> VoiceLoadFindings(const std::filesystem::path& pluginDir, int32_t voice) {
  CheckResult result;
  result.voices.reserve(kMaxVoices + 1);
  {
    SilentMessages silent;
    Checker(result, true).CheckPluginFolder(pluginDir, std::max(voice, 0));
  }
  // What the instrument's messages stand for, and what leaves the voice without a sound.
  static const std::set<FindingKind> kLoading = {
      FindingKind::kListMissing,   FindingKind::kNoVoices,       FindingKind::kVoiceWithoutFolder,
      FindingKind::kFolderMissing, FindingKind::kSamplesMissing, FindingKind::kProgramsMissing,
      FindingKind::kPathTooLong,   FindingKind::kWavMissing,     FindingKind::kNotWave};
  std::vector<Finding> findings;
  for (Finding& f : result.findings)
    if (kLoading.count(f.kind) != 0) findings.push_back(std::move(f));
  return findings;
}

}  // namespace chantera::voice
