// The UTAU import, reading the bank (see importer.h): its oto.ini files, the singer's name,
// its pitches, and the recording of each syllable in each pitch.
#include <algorithm>
#include <cmath>
#include <map>

#include "tools/render/words.h"
#include "tools/voice/importer.h"
#include "tools/voice/voice_files.h"

namespace chantera::voice {

namespace fs = std::filesystem;

bool Importer::FindOtoFiles() {
  std::error_code code;
  if (!fs::is_directory(bank_, code)) {
    outcome_.error = bankShown_ + ": not a folder";
    return false;
  }
  for (auto it = fs::recursive_directory_iterator(bank_, code); !code && it != fs::recursive_directory_iterator();
       it.increment(code)) {
    if (it.depth() > 2) it.disable_recursion_pending();
    if (it->is_regular_file(code) && FoldAscii(it->path().filename().string()) == "oto.ini")
      otoFiles_.push_back(it->path());
  }
  std::sort(otoFiles_.begin(), otoFiles_.end(), [&](const fs::path& a, const fs::path& b) {
    const auto da = std::distance(a.begin(), a.end()), db = std::distance(b.begin(), b.end());
    return da != db ? da < db : a < b;
  });
  if (otoFiles_.empty()) {
    outcome_.error = bankShown_ + ": no oto.ini (a UTAU voicebank has one in its folder or in each pitch's subfolder)";
    return false;
  }
  return true;
}

void Importer::ReadOtoFiles() {
  std::string encodings;
  for (const fs::path& path : otoFiles_) {
    const std::string shown = path.string();
    std::string bytes, error;
    if (!ReadLimited(path, kLargestText, bytes, error)) {
      skipped_.push_back(shown + ": " + error + "; not read");
      continue;
    }
    const OtoFile oto = ParseOto(bytes);
    const std::string folder = path.parent_path().lexically_relative(bank_).generic_string();
    const std::string relative = path.lexically_relative(bank_).generic_string();
    encodings += (encodings.empty() ? "" : ", ") + relative + (oto.utf8 ? " UTF-8" : " Shift-JIS");
    for (const OtoSkipped& s : oto.skipped)
      skipped_.push_back(shown + ":" + std::to_string(s.line) + ": " + OtoFaultText(s) + "; line skipped");
    for (const OtoEntry& e : oto.entries) {
      if (LeadsOutsideBank(folder == "." ? "" : folder, e.file)) {
        skipped_.push_back(shown + ":" + std::to_string(e.line) + ": " + e.file +
                           " lies outside the bank; line skipped");
        continue;
      }
      entries_.push_back({e, folder == "." ? "" : folder, shown + ":" + std::to_string(e.line)});
      otoFolders_.insert(entries_.back().folder);
    }
  }
  report_ += bankShown_ + ": " + std::to_string(otoFiles_.size()) + " oto.ini (" + encodings + "), " +
             render::Plural(static_cast<int64_t>(entries_.size()), "entry", "entries") + "\n";
}

void Importer::ReadSingerName() {
  name_ = options_.name;
  fs::path characterPath;
  if (name_.empty() && Resolve(bank_, "character.txt", characterPath)) {
    std::string bytes, error;
    if (ReadLimited(characterPath, kLargestText, bytes, error)) name_ = ParseCharacterName(bytes);
  }
  if (name_.empty()) name_ = BankName(bank_);
  if (name_.empty()) name_ = "UTAU";
}

void Importer::ReadPitches() {
  pitchOfKey_.assign(128, -1);
  fs::path mapPath;
  std::vector<PrefixMapEntry> prefixMap;
  if (Resolve(bank_, "prefix.map", mapPath)) {
    std::string bytes, error;
    if (ReadLimited(mapPath, kLargestText, bytes, error)) prefixMap = ParsePrefixMap(bytes);
  }
  const bool anyAffix = std::any_of(prefixMap.begin(), prefixMap.end(),
                                    [](const PrefixMapEntry& e) { return !e.prefix.empty() || !e.suffix.empty(); });
  if (anyAffix) {
    PitchesFromPrefixMap(std::move(prefixMap));
  } else {
    PitchesFromFolders();
  }
}

// One pitch per prefix and suffix pair of prefix.map, and the pitch of each key.
void Importer::PitchesFromPrefixMap(std::vector<PrefixMapEntry> prefixMap) {
  std::sort(prefixMap.begin(), prefixMap.end(), [](auto& a, auto& b) { return a.note < b.note; });
  for (const PrefixMapEntry& e : prefixMap) {
    size_t p = 0;
    while (p < pitches_.size() && !(pitches_[p].prefix == e.prefix && pitches_[p].suffix == e.suffix)) ++p;
    if (p == pitches_.size()) {
      Pitch pitch;
      pitch.prefix = e.prefix;
      pitch.suffix = e.suffix;
      pitch.label = e.prefix.empty() && e.suffix.empty() ? "plain aliases"
                    : e.prefix.empty()                   ? "suffix \"" + e.suffix + "\""
                    : e.suffix.empty()                   ? "prefix \"" + e.prefix + "\""
                                                         : "prefix \"" + e.prefix + "\", suffix \"" + e.suffix + "\"";
      pitches_.push_back(pitch);
    }
    pitchOfKey_[size_t(e.note)] = static_cast<int>(p);
  }
  // Keys that prefix.map leaves out take the pitch of the nearest key it names.
  for (int k = 0; k < 128; ++k) {
    if (pitchOfKey_[size_t(k)] >= 0) continue;
    for (int d = 1; d < 128; ++d) {
      if (k - d >= 0 && pitchOfKey_[size_t(k) - size_t(d)] >= 0 && prefixMap.front().note <= k - d) {
        pitchOfKey_[size_t(k)] = pitchOfKey_[size_t(k) - size_t(d)];
        break;
      }
      if (k + d < 128 && pitchOfKey_[size_t(k) + size_t(d)] >= 0) {
        pitchOfKey_[size_t(k)] = pitchOfKey_[size_t(k) + size_t(d)];
        break;
      }
    }
  }
  report_ += "pitches: " + std::to_string(pitches_.size()) + " from prefix.map\n";
}

void Importer::PitchesFromFolders() {
  for (const std::string& folder : otoFolders_) {
    Pitch pitch;
    pitch.folder = folder;
    pitch.byFolder = true;
    pitch.label = folder.empty() ? "(top folder)" : folder + "/";
    pitches_.push_back(pitch);
  }
  if (pitches_.size() > 1) report_ += "pitches: " + std::to_string(pitches_.size()) + ", one per oto.ini folder\n";
}

const Entry* Importer::FindEntry(const Pitch& pitch, const std::string& kana) const {
  for (const std::string& form : {kana, "- " + kana, "-" + kana}) {
    const auto it = byAlias_.find(pitch.prefix + form + pitch.suffix);
    if (it == byAlias_.end()) continue;
    for (size_t i : it->second)
      if (!pitch.byFolder || entries_[i].folder == pitch.folder) return &entries_[i];
  }
  return nullptr;
}

bool Importer::MakeRecordings() {
  for (size_t i = 0; i < entries_.size(); ++i) byAlias_[entries_[i].oto.alias].push_back(i);
  ofProgram_.assign(tools::kSyllablePrograms, {});
  for (const tools::ProgramSyllable& s : syllables_) {
    for (size_t p = 0; p < pitches_.size(); ++p) {
      const Entry* entry = FindEntry(pitches_[p], s.kana);
      if (entry != nullptr) AddRecording(s, p, *entry);
    }
  }
  if (recordings_.empty()) {
    outcome_.error = bankShown_ +
                     ": no recording of any syllable of the phoneme table (a CV bank names its recordings あ, か, "
                     "- か, ...; VCV aliases such as \"a か\" are not read)";
    for (const std::string& s : skipped_) outcome_.error += "\n  " + s;
    return false;
  }
  return true;
}

// The recording of syllable s in pitch from its oto.ini entry, or a line in skipped_.
void Importer::AddRecording(const tools::ProgramSyllable& s, size_t pitch, const Entry& entry) {
  const fs::path otoDir = bank_ / entry.folder;
  fs::path wav;
  if (!Resolve(otoDir, entry.oto.file, wav)) {
    skipped_.push_back(entry.shown + ": " + entry.oto.file + ": no such file; " + s.kana + " left out");
    ++outcome_.skipped;
    return;
  }
  Audio audio;
  std::string error;
  if (!ReadWave(wav, audio, error)) {
    skipped_.push_back(entry.shown + ": " + entry.oto.file + " " + error + "; " + s.kana + " left out");
    ++outcome_.skipped;
    return;
  }
  // NAME_wav.frq beside NAME.wav.
  FrqFile frq;
  bool haveFrq = false;
  std::string stem = wav.filename().string();
  if (stem.size() > 4) stem = stem.substr(0, stem.size() - 4) + "_wav.frq";
  fs::path frqPath;
  if (Resolve(wav.parent_path(), stem, frqPath)) {
    std::string bytes, frqError;
    haveFrq = ReadLimited(frqPath, kLargestText, bytes, frqError) && ParseFrq(bytes, frq, frqError);
    if (!haveFrq) skipped_.push_back(frqPath.string() + ": " + frqError + "; the pitch is measured instead");
  }
  Recording r;
  r.program = s.program;
  r.pitch = pitch;
  if (!MakeRecording(audio, entry.oto, haveFrq ? &frq : nullptr, r, error)) {
    skipped_.push_back(entry.shown + ": " + entry.oto.file + ": " + error + "; " + s.kana + " left out");
    ++outcome_.skipped;
    return;
  }
  r.file = s.name + "_" + std::to_string(r.root);
  const int taken = fileNames_[r.file]++;
  if (taken > 0) {
    r.file += '_';
    r.file += std::to_string(taken + 1);
  }
  r.file += ".wav";
  (r.fromFrq ? outcome_.fromFrq : outcome_.measured) += 1;
  ofProgram_[size_t(s.program)].push_back(recordings_.size());
  recordings_.push_back(std::move(r));
}

// Syllables without a recording of their own: ぢ and づ sound as じ and ず; the others sing
// their vowel, so that a lyric still sings in time and in tune.
void Importer::StandInForMissing() {
  source_.assign(tools::kSyllablePrograms, 0);
  std::string missingList, sameSound, silent;
  int withVowel = 0;
  for (const tools::ProgramSyllable& s : syllables_) {
    source_[size_t(s.program)] = s.program;
    if (!ofProgram_[size_t(s.program)].empty()) {
      ++outcome_.mapped;
      continue;
    }
    ++outcome_.missing;
    missingList += " " + s.kana;
    const int same = s.program == 56 ? 51 : s.program == 57 ? 52 : -1;
    if (same >= 0 && !ofProgram_[size_t(same)].empty()) {
      source_[size_t(s.program)] = same;
      sameSound += " " + s.kana + "=" + syllables_[size_t(same)].kana;
    } else if (s.vowelProgram >= 0 && !ofProgram_[size_t(s.vowelProgram)].empty()) {
      source_[size_t(s.program)] = s.vowelProgram;
      ++withVowel;
    } else {
      source_[size_t(s.program)] = -1;
      silent += " " + s.kana;
    }
  }
  report_ +=
      "syllables mapped: " + std::to_string(outcome_.mapped) + " of " + std::to_string(tools::kSyllablePrograms) + "\n";
  if (outcome_.missing > 0) {
    report_ += "syllables missing (" + std::to_string(outcome_.missing) + "):" + missingList + "\n";
    if (withVowel > 0) report_ += "  " + std::to_string(withVowel) + " of them sing their vowel's recording\n";
    if (!sameSound.empty()) report_ += "  sung with the recording of the same sound:" + sameSound + "\n";
    if (!silent.empty()) report_ += "  left empty (no recording of their own or of their vowel):" + silent + "\n";
  }
}

// Root notes, per pitch.
void Importer::ReportRootNotes() {
  double worst = 0.0;
  for (size_t p = 0; p < pitches_.size(); ++p) {
    std::vector<int> roots;
    int frqCount = 0;
    for (const Recording& r : recordings_) {
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
    report_ += "root notes" + (pitches_.size() > 1 ? " of " + pitches_[p].label : std::string()) + ": " + span +
               " (median " + std::to_string(roots[roots.size() / 2]) + "), " + std::to_string(frqCount) +
               " from .frq, " + std::to_string(roots.size() - size_t(frqCount)) + " measured\n";
  }
  report_ += "tuned onto their root notes by at most " + render::Plural(std::lround(worst), "cent") + "\n";
}

}  // namespace chantera::voice
