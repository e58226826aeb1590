// The UTAU import, writing the voice (see importer.h): its folder in the plug-in folder,
// written under a temporary name and moved into place, then its line in voice.csv.
#include <algorithm>
#include <cstdlib>
#include <utility>

#include "library/wave_writer.h"
#include "platform/platform.h"
#include "tools/render/partial_file.h"
#include "tools/render/words.h"
#include "tools/voice/findings.h"
#include "tools/voice/importer.h"
#include "tools/voice/voice_files.h"

namespace chantera::voice {
namespace {

namespace fs = std::filesystem;

// The display name as voice.csv holds it: Shift-JIS, no comma (the first comma ends the
// name) or line end, at most 63 bytes cut at a character's edge.
std::string ListName(const std::string& utf8) {
  std::string sjis = platform::Utf8ToShiftJis(utf8);
  std::string out;
  for (size_t i = 0; i < sjis.size();) {
    const size_t n = platform::IsDBCSLeadByte(static_cast<uint8_t>(sjis[i])) && i + 1 < sjis.size() ? 2 : 1;
    if (out.size() + n > 63) break;
    std::string c = sjis.substr(i, n);
    if (c == "," || c == "\r" || c == "\n") c = " ";
    out += c;
    i += n;
  }
  return out.empty() ? "UTAU" : out;
}

std::string FolderSlug(const std::string& name) {
  std::string slug;
  for (const char c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
      slug.push_back(c);
    } else if (c >= 'A' && c <= 'Z') {
      slug.push_back(static_cast<char>(c - 'A' + 'a'));
    } else if ((c == ' ' || c == '.') && !slug.empty() && slug.back() != '-') {
      slug.push_back('-');
    }
  }
  while (!slug.empty() && slug.back() == '-') slug.pop_back();
  if (slug.size() > 40) slug.resize(40);
  return slug.empty() ? "utau" : slug;
}

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A run of keys that plays one recording.
struct KeyRun {
  int low = 0, high = 0;
  size_t recording = 0;
};

// Key ranges of one program: each key plays the recording of the pitch prefix.map gives
// it, when the program has one; else the recording whose root is nearest (the lower on a
// tie). Consecutive keys of one recording make one range.
std::vector<KeyRun> KeyRuns(const std::vector<Recording>& recordings, const std::vector<size_t>& mine,
                            const std::vector<int>& pitchOfKey) {
  std::vector<KeyRun> runs;
  for (int k = 0; k < 128; ++k) {
    size_t best = mine.front();
    bool preferred = false;
    for (size_t i : mine) {
      if (pitchOfKey[size_t(k)] >= 0 && recordings[i].pitch == size_t(pitchOfKey[size_t(k)])) {
        best = i;
        preferred = true;
        break;
      }
    }
    if (!preferred) {
      for (size_t i : mine) {
        const int d = std::abs(recordings[i].root - k), bestD = std::abs(recordings[best].root - k);
        if (d < bestD || (d == bestD && recordings[i].root < recordings[best].root)) best = i;
      }
    }
    if (!runs.empty() && runs.back().recording == best && runs.back().high == k - 1) {
      runs.back().high = k;
    } else {
      runs.push_back({k, k, best});
    }
  }
  return runs;
}

}  // namespace

bool Importer::ChooseVoiceFolder() {
  std::error_code code;
  fs::create_directories(options_.pluginDir, code);
  if (!fs::is_directory(options_.pluginDir, code)) {
    outcome_.error = options_.pluginDir.string() + ": cannot create the plug-in folder";
    return false;
  }
  listPath_ = options_.pluginDir / "voice.csv";
  if (fs::exists(listPath_, code)) {
    std::string error;
    if (!ReadLimited(listPath_, kLargestText, listBytes_, error)) {
      outcome_.error = listPath_.string() + " " + error;
      return false;
    }
    VoiceListReader(listPath_.string()).GetVoiceList(list_);
  }
  folder_ = FolderSlug(IsAscii(name_) ? name_ : BankName(bank_));
  sourceLine_ = fs::weakly_canonical(fs::absolute(bank_), code).string() + "\n";
  for (int suffix = 1; index_ < 0; ++suffix) {
    const std::string candidate = suffix == 1 ? folder_ : folder_ + "-" + std::to_string(suffix);
    int listed = -1;
    for (int v = 0; v < list_.voiceCount; ++v)
      if (FoldAscii(list_.voiceFolders[v]) == FoldAscii(candidate)) listed = v;
    if (listed >= 0) {
      // The same bank imported before is replaced; any other voice of that folder stays.
      RecoverReplacedFolder(options_.pluginDir / candidate);
      std::string from, error;
      if (ReadLimited(options_.pluginDir / candidate / kSourceFile, kLargestText, from, error) && from == sourceLine_) {
        index_ = listed;
        folder_ = candidate;
      }
    } else if (!fs::exists(options_.pluginDir / candidate, code)) {
      folder_ = candidate;
      index_ = list_.voiceCount;
    }
  }
  if (index_ >= kMaxVoices) {
    outcome_.error = listPath_.string() + " already lists " + std::to_string(kMaxVoices) +
                     " voices, all that bank select reaches; remove one first";
    return false;
  }
  return true;
}

// The recordings, samples.txt, programs.txt, oto.ini and imported-from.txt, in staging_.
bool Importer::WriteVoice() {
  std::error_code code;
  staging_ = options_.pluginDir / ("." + folder_ + ".importing");
  fs::remove_all(staging_, code);
  fs::create_directories(staging_, code);
  std::string samples, oto;
  for (const Recording& r : recordings_) {
    const WaveLoop* loop = r.looped ? &r.loop : nullptr;
    if (!WriteWaveFile(staging_ / r.file, r.pcm, 1, r.rate, loop)) {
      fs::remove_all(staging_, code);
      outcome_.error = (staging_ / r.file).string() + ": cannot be written";
      return false;
    }
    written_ += 44 + 2 * r.pcm.size();
    loops_ += r.looped ? 1 : 0;
    samples += r.file + "," + syllables_[size_t(r.program)].name + "," + std::to_string(r.root) + "\r\n";
    OtoEntry timing = r.timing;
    timing.file = r.file;
    timing.alias = syllables_[size_t(r.program)].name;
    oto += FormatOtoLine(timing) + "\r\n";
  }
  const std::string programs = ProgramText();
  const std::pair<const char*, const std::string*> texts[] = {
      {"samples.txt", &samples}, {"programs.txt", &programs}, {"oto.ini", &oto}, {kSourceFile, &sourceLine_}};
  for (const auto& [file, bytes] : texts) {
    std::string error;
    if (!render::WriteWholeFile(staging_ / file, *bytes, error)) {
      fs::remove_all(staging_, code);
      outcome_.error = error;
      return false;
    }
  }
  return true;
}

// programs.txt: every syllable's program, with the key ranges of the recordings it sings.
std::string Importer::ProgramText() const {
  std::string programs;
  for (const tools::ProgramSyllable& s : syllables_) {
    programs += "Program\r\nP,1.0,2," + s.name + "\r\n";
    const int from = source_[size_t(s.program)];
    if (from >= 0) {
      for (const KeyRun& run : KeyRuns(recordings_, ofProgram_[size_t(from)], pitchOfKey_))
        programs += "S," + std::to_string(run.low) + "," + std::to_string(run.high) + "," +
                    recordings_[run.recording].file + "\r\n";
    }
    programs += "End\r\n";
  }
  return programs;
}

// Into place: the new folder comes, then the folder of the voice imported before goes;
// a new voice is then listed in voice.csv.
bool Importer::PutInPlace() {
  std::error_code code;
  target_ = options_.pluginDir / folder_;
  if (!ReplaceFolder(staging_, target_, outcome_.error)) {
    fs::remove_all(staging_, code);
    return false;
  }
  if (index_ == list_.voiceCount) {
    // A last line without its line end does not count as a voice: end it, or the new
    // line would run into it.
    if (!listBytes_.empty() && listBytes_.back() != '\n' && listBytes_.back() != '\r') listBytes_ += "\r\n";
    listBytes_ += ListName(name_) + "," + folder_ + "\r\n";
    std::string error;
    if (!render::WriteWholeFile(listPath_, listBytes_, error)) {
      // The new voice, unlisted, would only take up room.
      fs::remove_all(target_, code);
      outcome_.error = error + "; it is unchanged";
      return false;
    }
  }
  return true;
}

void Importer::ReportWritten() {
  report_ += "wrote " + target_.string() + ": " +
             render::Plural(static_cast<int64_t>(recordings_.size()), "recording") + " (" + std::to_string(loops_) +
             " looped over their vowel), " + render::Plural(tools::kSyllablePrograms, "program") +
             render::Formatted(", %.1f MB\n", double(written_) / 1e6);
  // Whether the voice is new or took the place of this bank's earlier import, and any other
  // entry that holds the same bank under another name.
  const bool added = index_ == list_.voiceCount;
  report_ += listPath_.string() + (added ? ": added voice " : ": replaced voice ") + std::to_string(index_) + " \"" +
             DisplayText(added ? ListName(name_) : list_.voiceNames[index_]) +
             "\" (bank select: controller 0 = 100, then controller 32 = " + std::to_string(index_) + ")\n";
  for (int v = 0; v < list_.voiceCount; ++v) {
    std::string from, error;
    if (v != index_ &&
        ReadLimited(options_.pluginDir / list_.voiceFolders[v] / kSourceFile, kLargestText, from, error) &&
        from == sourceLine_)
      report_ += "  the same bank is also voice " + std::to_string(v) + " \"" + DisplayText(list_.voiceNames[v]) +
                 "\" (folder " + DisplayText(list_.voiceFolders[v]) + ")\n";
  }
  if (!skipped_.empty()) {
    report_ += "skipped (" + std::to_string(skipped_.size()) + "):\n";
    for (const std::string& s : skipped_) report_ += "  " + s + "\n";
  }
}

}  // namespace chantera::voice
