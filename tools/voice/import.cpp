// chantera-voice import-utau (see import.h); each recording is made in recording.cpp.
//
// Each syllable of the phoneme table (programs 0..102) takes the recording whose alias is
// its kana (or the word-initial "- か" form) in each pitch of the bank. The recording is
// cut from its offset to its cutoff with short fades, tuned to the nearest note (from its
// .frq file, else measured), levelled, and given a sustain loop over its vowel; the voice's
// oto.ini keeps each recording's timing, moved into the cut. A bank with several pitches
// (prefix.map, or one oto.ini per subfolder) gives each syllable one recording per pitch
// and splits the keys between them.
//
// Nothing is half-written: the voice folder is written under a temporary name and moved
// into place (the voice it replaces is deleted only then), and voice.csv is replaced in
// one rename once the folder is there; each text file is on the disk before it is renamed.
#include "tools/voice/import.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <set>
#include <vector>

#include "engine/phoneme_table.h"
#include "library/voice_list.h"
#include "library/wave_writer.h"
#include "platform/platform.h"
#include "tools/demo_voice/voice.h"
#include "tools/render/lyrics.h"
#include "tools/render/partial_file.h"
#include "tools/render/words.h"
#include "tools/voice/check.h"
#include "tools/voice/recording.h"
#include "tools/voice/utau.h"
#include "tools/voice/voice_files.h"

namespace chantera::voice {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kLargestText = 16u << 20;  // bytes of an oto.ini, prefix.map or .frq
// The bank a voice folder was imported from, so that importing it again replaces that
// voice and never another one that happens to share its folder name.
constexpr const char* kSourceFile = "imported-from.txt";
constexpr int kSyllables = demo::kDemoPrograms;

// ---- Syllables and pitches ------------------------------------------------------------------

struct Syllable {
  int program = 0;
  std::string kana;  // UTF-8
  std::string name;  // romanised: the stem of its file names and its program name
  int vowelProgram = -1;
};

std::vector<Syllable> TableSyllables() {
  std::vector<Syllable> out;
  for (const demo::Syllable& s : demo::DemoSyllables()) {
    Syllable y;
    y.program = s.program;
    y.name = s.name;
    for (const PhonemeRow& row : kPhonemeTable) {
      if (row.program == s.program) {
        y.kana = platform::ShiftJisToUtf8(row.kana);
        break;
      }
    }
    const std::string vowels = "aiMeo";
    const size_t v = s.vowel != 0 ? vowels.find(s.vowel) : std::string::npos;
    y.vowelProgram = v == std::string::npos || s.consonant.empty() ? -1 : static_cast<int>(v);
    out.push_back(y);
  }
  return out;
}

// One pitch of the bank: the aliases of its recordings carry prefix and suffix (from
// prefix.map), or they come from the oto.ini of one folder.
struct Pitch {
  std::string prefix, suffix;
  std::string folder;  // relative folder of its oto.ini, when pitches are folders
  bool byFolder = false;
  std::string label;  // how the summary names it
};

struct Entry {
  OtoEntry oto;
  std::string folder;  // relative to the bank ("" for its top), '/' separated
  std::string shown;   // "BANK/sub/oto.ini:LINE"
};

// ---- voice.csv ---------------------------------------------------------------------------------

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

// The bank's folder name, also when the path ends in a separator.
std::string BankName(const fs::path& bank) {
  fs::path p = fs::absolute(bank).lexically_normal();
  if (!p.has_filename()) p = p.parent_path();
  return p.filename().string();
}

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Key ranges of one program: each key plays the recording of the pitch prefix.map gives
// it, when the program has one; else the recording whose root is nearest (the lower on a
// tie). Consecutive keys of one recording make one range.
std::vector<std::pair<demo::KeySpan, size_t>> KeyRanges(const std::vector<Recording>& recordings,
                                                        const std::vector<size_t>& mine,
                                                        const std::vector<int>& pitchOfKey) {
  std::vector<std::pair<demo::KeySpan, size_t>> ranges;
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
    if (!ranges.empty() && ranges.back().second == best && ranges.back().first.high == k - 1) {
      ranges.back().first.high = k;
    } else {
      ranges.push_back({{k, k}, best});
    }
  }
  return ranges;
}

}  // namespace

ImportOutcome ImportUtau(const ImportOptions& options) {
  ImportOutcome result;
  std::string& report = result.report;
  const fs::path bank = options.bank;
  const std::string bankShown = bank.string();
  std::error_code error;
  if (!fs::is_directory(bank, error)) {
    result.error = bankShown + ": not a folder";
    return result;
  }

  // oto.ini in the bank and in its subfolders (one per pitch), nearest first.
  std::vector<fs::path> otoFiles;
  for (auto it = fs::recursive_directory_iterator(bank, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    if (it.depth() > 2) it.disable_recursion_pending();
    if (it->is_regular_file(error) && FoldAscii(it->path().filename().string()) == "oto.ini")
      otoFiles.push_back(it->path());
  }
  std::sort(otoFiles.begin(), otoFiles.end(), [&](const fs::path& a, const fs::path& b) {
    const auto da = std::distance(a.begin(), a.end()), db = std::distance(b.begin(), b.end());
    return da != db ? da < db : a < b;
  });
  if (otoFiles.empty()) {
    result.error = bankShown + ": no oto.ini (a UTAU voicebank has one in its folder or in each pitch's subfolder)";
    return result;
  }

  std::vector<std::string> skipped;
  std::vector<Entry> entries;
  std::set<std::string> otoFolders;
  std::string encodings;
  for (const fs::path& path : otoFiles) {
    const std::string shown = path.string();
    std::string bytes, why;
    if (!ReadLimited(path, kLargestText, bytes, why)) {
      skipped.push_back(shown + ": " + why + "; not read");
      continue;
    }
    const OtoFile oto = ParseOto(bytes);
    const std::string folder = path.parent_path().lexically_relative(bank).generic_string();
    const std::string relative = path.lexically_relative(bank).generic_string();
    encodings += (encodings.empty() ? "" : ", ") + relative + (oto.utf8 ? " UTF-8" : " Shift-JIS");
    for (const OtoSkipped& s : oto.skipped)
      skipped.push_back(shown + ":" + std::to_string(s.line) + ": " + OtoFaultText(s) + "; line skipped");
    for (const OtoEntry& e : oto.entries) {
      if (LeadsOutsideBank(folder == "." ? "" : folder, e.file)) {
        skipped.push_back(shown + ":" + std::to_string(e.line) + ": " + e.file +
                          " lies outside the bank; line skipped");
        continue;
      }
      entries.push_back({e, folder == "." ? "" : folder, shown + ":" + std::to_string(e.line)});
      otoFolders.insert(entries.back().folder);
    }
  }
  report += bankShown + ": " + std::to_string(otoFiles.size()) + " oto.ini (" + encodings + "), " +
            render::Plural(static_cast<int64_t>(entries.size()), "entry", "entries") + "\n";

  // The singer's name.
  std::string name = options.name;
  fs::path characterPath;
  if (name.empty() && Resolve(bank, "character.txt", characterPath)) {
    std::string bytes, why;
    if (ReadLimited(characterPath, kLargestText, bytes, why)) name = ParseCharacterName(bytes);
  }
  if (name.empty()) name = BankName(bank);
  if (name.empty()) name = "UTAU";

  // Pitches: prefix.map's prefix and suffix pairs, else one per oto.ini folder.
  std::vector<Pitch> pitches;
  std::vector<int> pitchOfKey(128, -1);
  fs::path mapPath;
  std::vector<PrefixMapEntry> prefixMap;
  if (Resolve(bank, "prefix.map", mapPath)) {
    std::string bytes, why;
    if (ReadLimited(mapPath, kLargestText, bytes, why)) prefixMap = ParsePrefixMap(bytes);
  }
  const bool anyAffix = std::any_of(prefixMap.begin(), prefixMap.end(),
                                    [](const PrefixMapEntry& e) { return !e.prefix.empty() || !e.suffix.empty(); });
  if (anyAffix) {
    std::sort(prefixMap.begin(), prefixMap.end(), [](auto& a, auto& b) { return a.note < b.note; });
    for (const PrefixMapEntry& e : prefixMap) {
      size_t p = 0;
      while (p < pitches.size() && !(pitches[p].prefix == e.prefix && pitches[p].suffix == e.suffix)) ++p;
      if (p == pitches.size()) {
        Pitch pitch;
        pitch.prefix = e.prefix;
        pitch.suffix = e.suffix;
        pitch.label = e.prefix.empty() && e.suffix.empty() ? "plain aliases"
                      : e.prefix.empty()                   ? "suffix \"" + e.suffix + "\""
                      : e.suffix.empty()                   ? "prefix \"" + e.prefix + "\""
                                                           : "prefix \"" + e.prefix + "\", suffix \"" + e.suffix + "\"";
        pitches.push_back(pitch);
      }
      pitchOfKey[size_t(e.note)] = static_cast<int>(p);
    }
    // Keys that prefix.map leaves out take the pitch of the nearest key it names.
    for (int k = 0; k < 128; ++k) {
      if (pitchOfKey[size_t(k)] >= 0) continue;
      for (int d = 1; d < 128; ++d) {
        if (k - d >= 0 && pitchOfKey[size_t(k) - size_t(d)] >= 0 && prefixMap.front().note <= k - d) {
          pitchOfKey[size_t(k)] = pitchOfKey[size_t(k) - size_t(d)];
          break;
        }
        if (k + d < 128 && pitchOfKey[size_t(k) + size_t(d)] >= 0) {
          pitchOfKey[size_t(k)] = pitchOfKey[size_t(k) + size_t(d)];
          break;
        }
      }
    }
    report += "pitches: " + std::to_string(pitches.size()) + " from prefix.map\n";
  } else {
    for (const std::string& folder : otoFolders) {
      Pitch pitch;
      pitch.folder = folder;
      pitch.byFolder = true;
      pitch.label = folder.empty() ? "(top folder)" : folder + "/";
      pitches.push_back(pitch);
    }
    if (pitches.size() > 1) report += "pitches: " + std::to_string(pitches.size()) + ", one per oto.ini folder\n";
  }

  // The recording of each syllable in each pitch.
  const std::vector<Syllable> syllables = TableSyllables();
  std::map<std::string, std::vector<size_t>> byAlias;
  for (size_t i = 0; i < entries.size(); ++i) byAlias[entries[i].oto.alias].push_back(i);
  auto find = [&](const Pitch& pitch, const std::string& kana) -> const Entry* {
    for (const std::string& form : {kana, "- " + kana, "-" + kana}) {
      const auto it = byAlias.find(pitch.prefix + form + pitch.suffix);
      if (it == byAlias.end()) continue;
      for (size_t i : it->second)
        if (!pitch.byFolder || entries[i].folder == pitch.folder) return &entries[i];
    }
    return nullptr;
  };

  std::vector<Recording> recordings;
  std::vector<std::vector<size_t>> ofProgram(kSyllables);
  std::map<std::string, int> fileNames;
  for (const Syllable& s : syllables) {
    for (size_t p = 0; p < pitches.size(); ++p) {
      const Entry* entry = find(pitches[p], s.kana);
      if (entry == nullptr) continue;
      const fs::path otoDir = bank / entry->folder;
      fs::path wav;
      if (!Resolve(otoDir, entry->oto.file, wav)) {
        skipped.push_back(entry->shown + ": " + entry->oto.file + ": no such file; " + s.kana + " left out");
        ++result.skipped;
        continue;
      }
      Audio audio;
      std::string why;
      if (!ReadWave(wav, audio, why)) {
        skipped.push_back(entry->shown + ": " + entry->oto.file + " " + why + "; " + s.kana + " left out");
        ++result.skipped;
        continue;
      }
      // NAME_wav.frq beside NAME.wav.
      FrqFile frq;
      bool haveFrq = false;
      std::string stem = wav.filename().string();
      if (stem.size() > 4) stem = stem.substr(0, stem.size() - 4) + "_wav.frq";
      fs::path frqPath;
      if (Resolve(wav.parent_path(), stem, frqPath)) {
        std::string bytes, frqWhy;
        haveFrq = ReadLimited(frqPath, kLargestText, bytes, frqWhy) && ParseFrq(bytes, frq, frqWhy);
        if (!haveFrq) skipped.push_back(frqPath.string() + ": " + frqWhy + "; the pitch is measured instead");
      }
      Recording r;
      r.program = s.program;
      r.pitch = p;
      if (!MakeRecording(audio, entry->oto, haveFrq ? &frq : nullptr, r, why)) {
        skipped.push_back(entry->shown + ": " + entry->oto.file + ": " + why + "; " + s.kana + " left out");
        ++result.skipped;
        continue;
      }
      r.file = s.name + "_" + std::to_string(r.root);
      const int taken = fileNames[r.file]++;
      if (taken > 0) {
        r.file += '_';
        r.file += std::to_string(taken + 1);
      }
      r.file += ".wav";
      (r.fromFrq ? result.fromFrq : result.measured) += 1;
      ofProgram[size_t(s.program)].push_back(recordings.size());
      recordings.push_back(std::move(r));
    }
  }
  if (recordings.empty()) {
    result.error = bankShown +
                   ": no recording of any syllable of the phoneme table (a CV bank names its recordings あ, か, "
                   "- か, ...; VCV aliases such as \"a か\" are not read)";
    for (const std::string& s : skipped) result.error += "\n  " + s;
    return result;
  }

  // Syllables without a recording of their own: ぢ and づ sound as じ and ず; the others
  // sing their vowel, so that a lyric still sings in time and in tune.
  std::vector<int> source(kSyllables);
  std::string missingList, sameSound, silent;
  int withVowel = 0;
  for (const Syllable& s : syllables) {
    source[size_t(s.program)] = s.program;
    if (!ofProgram[size_t(s.program)].empty()) {
      ++result.mapped;
      continue;
    }
    ++result.missing;
    missingList += " " + s.kana;
    const int same = s.program == 56 ? 51 : s.program == 57 ? 52 : -1;
    if (same >= 0 && !ofProgram[size_t(same)].empty()) {
      source[size_t(s.program)] = same;
      sameSound += " " + s.kana + "=" + syllables[size_t(same)].kana;
    } else if (s.vowelProgram >= 0 && !ofProgram[size_t(s.vowelProgram)].empty()) {
      source[size_t(s.program)] = s.vowelProgram;
      ++withVowel;
    } else {
      source[size_t(s.program)] = -1;
      silent += " " + s.kana;
    }
  }
  report += "syllables mapped: " + std::to_string(result.mapped) + " of " + std::to_string(kSyllables) + "\n";
  if (result.missing > 0) {
    report += "syllables missing (" + std::to_string(result.missing) + "):" + missingList + "\n";
    if (withVowel > 0) report += "  " + std::to_string(withVowel) + " of them sing their vowel's recording\n";
    if (!sameSound.empty()) report += "  sung with the recording of the same sound:" + sameSound + "\n";
    if (!silent.empty()) report += "  left empty (no recording of their own or of their vowel):" + silent + "\n";
  }

  // Root notes, per pitch.
  double worst = 0.0;
  for (size_t p = 0; p < pitches.size(); ++p) {
    std::vector<int> roots;
    int frqCount = 0;
    for (const Recording& r : recordings) {
      if (r.pitch != p) continue;
      roots.push_back(r.root);
      frqCount += r.fromFrq ? 1 : 0;
      worst = std::max(worst, std::fabs(r.cents));
    }
    if (roots.empty()) continue;
    std::sort(roots.begin(), roots.end());
    std::string span = std::to_string(roots.front());
    if (roots.back() != roots.front()) {
      span += '-';
      span += std::to_string(roots.back());
    }
    report += "root notes" + (pitches.size() > 1 ? " of " + pitches[p].label : std::string()) + ": " + span +
              " (median " + std::to_string(roots[roots.size() / 2]) + "), " + std::to_string(frqCount) +
              " from .frq, " + std::to_string(roots.size() - size_t(frqCount)) + " measured\n";
  }
  report += "tuned onto their root notes by at most " + render::Plural(std::lround(worst), "cent") + "\n";

  // The voice folder and voice.csv.
  fs::create_directories(options.pluginDir, error);
  if (!fs::is_directory(options.pluginDir, error)) {
    result.error = options.pluginDir.string() + ": cannot create the plug-in folder";
    return result;
  }
  const fs::path listPath = options.pluginDir / "voice.csv";
  std::string listBytes;
  VoiceList list;
  if (fs::exists(listPath, error)) {
    std::string why;
    if (!ReadLimited(listPath, kLargestText, listBytes, why)) {
      result.error = listPath.string() + " " + why;
      return result;
    }
    VoiceListReader(listPath.string().c_str()).GetVoiceList(list);
  }
  std::string folder = FolderSlug(IsAscii(name) ? name : BankName(bank));
  const std::string sourceLine = fs::weakly_canonical(fs::absolute(bank), error).string() + "\n";
  int index = -1;
  for (int suffix = 1; index < 0; ++suffix) {
    const std::string candidate = suffix == 1 ? folder : folder + "-" + std::to_string(suffix);
    int listed = -1;
    for (int v = 0; v < list.voiceCount; ++v)
      if (FoldAscii(list.voiceFolders[v]) == FoldAscii(candidate)) listed = v;
    if (listed >= 0) {
      // The same bank imported before is replaced; any other voice of that folder stays.
      RecoverReplacedFolder(options.pluginDir / candidate);
      std::string from, why;
      if (ReadLimited(options.pluginDir / candidate / kSourceFile, kLargestText, from, why) && from == sourceLine) {
        index = listed;
        folder = candidate;
      }
    } else if (!fs::exists(options.pluginDir / candidate, error)) {
      folder = candidate;
      index = list.voiceCount;
    }
  }
  if (index >= kMaxVoices) {
    result.error = listPath.string() + " already lists " + std::to_string(kMaxVoices) +
                   " voices, all that bank select reaches; remove one first";
    return result;
  }

  const fs::path staging = options.pluginDir / ("." + folder + ".importing");
  fs::remove_all(staging, error);
  fs::create_directories(staging, error);
  std::string samples, programs, oto;
  uint64_t written = 0;
  int loops = 0;
  for (const Recording& r : recordings) {
    const WaveLoop* loop = r.looped ? &r.loop : nullptr;
    if (!WriteWaveFile(staging / r.file, r.pcm.data(), r.pcm.size(), 1, r.rate, loop)) {
      fs::remove_all(staging, error);
      result.error = (staging / r.file).string() + ": cannot be written";
      return result;
    }
    written += 44 + 2 * r.pcm.size();
    loops += r.looped ? 1 : 0;
    samples += r.file + "," + syllables[size_t(r.program)].name + "," + std::to_string(r.root) + "\r\n";
    OtoEntry timing = r.timing;
    timing.file = r.file;
    timing.alias = syllables[size_t(r.program)].name;
    oto += FormatOtoLine(timing) + "\r\n";
  }
  for (const Syllable& s : syllables) {
    programs += "Program\r\nP,1.0,2," + s.name + "\r\n";
    const int from = source[size_t(s.program)];
    if (from >= 0) {
      for (const auto& [span, i] : KeyRanges(recordings, ofProgram[size_t(from)], pitchOfKey))
        programs +=
            "S," + std::to_string(span.low) + "," + std::to_string(span.high) + "," + recordings[i].file + "\r\n";
    }
    programs += "End\r\n";
  }
  const std::pair<const char*, const std::string*> texts[] = {
      {"samples.txt", &samples}, {"programs.txt", &programs}, {"oto.ini", &oto}, {kSourceFile, &sourceLine}};
  for (const auto& [file, bytes] : texts) {
    std::string why;
    if (!render::WriteWholeFile(staging / file, *bytes, why)) {
      fs::remove_all(staging, error);
      result.error = why;
      return result;
    }
  }

  // Into place: the new folder comes, then the folder of the voice imported before goes.
  const fs::path target = options.pluginDir / folder;
  if (!ReplaceFolder(staging, target, result.error)) {
    fs::remove_all(staging, error);
    return result;
  }
  if (index == list.voiceCount) {
    // A last line without its line end does not count as a voice: end it, or the new
    // line would run into it.
    if (!listBytes.empty() && listBytes.back() != '\n' && listBytes.back() != '\r') listBytes += "\r\n";
    listBytes += ListName(name) + "," + folder + "\r\n";
    std::string why;
    if (!render::WriteWholeFile(listPath, listBytes, why)) {
      // The new voice, unlisted, would only take up room.
      fs::remove_all(target, error);
      result.error = why + "; it is unchanged";
      return result;
    }
  }

  report += "wrote " + target.string() + ": " + render::Plural(static_cast<int64_t>(recordings.size()), "recording") +
            " (" + std::to_string(loops) + " looped over their vowel), " + render::Plural(kSyllables, "program") +
            render::Formatted(", %.1f MB\n", double(written) / 1e6);
  // Whether the voice is new or took the place of this bank's earlier import, and any other
  // entry that holds the same bank under another name.
  report += listPath.string() + (index == list.voiceCount ? ": added voice " : ": replaced voice ") +
            std::to_string(index) + " \"" +
            DisplayText(index == list.voiceCount ? ListName(name) : list.voiceNames[index]) +
            "\" (bank select: controller 0 = 100, then controller 32 = " + std::to_string(index) + ")\n";
  for (int v = 0; v < list.voiceCount; ++v) {
    std::string from, why;
    if (v != index && ReadLimited(options.pluginDir / list.voiceFolders[v] / kSourceFile, kLargestText, from, why) &&
        from == sourceLine)
      report += "  the same bank is also voice " + std::to_string(v) + " \"" + DisplayText(list.voiceNames[v]) +
                "\" (folder " + DisplayText(list.voiceFolders[v]) + ")\n";
  }
  if (!skipped.empty()) {
    report += "skipped (" + std::to_string(skipped.size()) + "):\n";
    for (const std::string& s : skipped) report += "  " + s + "\n";
  }
  const CheckResult check = CheckLibrary(target);
  report += check.ExitStatus() == 0 ? std::string("check: clean\n") : "check:\n" + FormatText(check);
  result.ok = true;
  result.folder = folder;
  result.voiceIndex = index;
  return result;
}

}  // namespace chantera::voice
