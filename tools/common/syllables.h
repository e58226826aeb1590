// The syllables of the phoneme table's programs, in the words every tool uses for them: the
// kana that writes a program, its phonetic symbol split into consonant and vowel, and its
// romanised name (the stem of a voice's file names and its program name). The demo voice,
// the voice import, the voice check and the renderer's lyrics all read them here.
//
// Header-only: the demo voice's generator is also built on its own, for cross builds
// (cmake/native-demo-voice), from the core sources and its headers alone.
// Thread: offline only (allocates).
#pragma once

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/phoneme_table.h"
#include "platform/platform.h"

namespace chantera::tools {

// Programs 0 to 102: every program that phonetic input, and so every lyric, can reach.
inline constexpr int kSyllablePrograms = 103;

// The first phoneme-table row whose phonetic symbol is phoneme ("a", "k' a"), or null.
inline const PhonemeRow* FirstRowOf(std::string_view phoneme) {
  for (const PhonemeRow& row : kPhonemeTable)
    if (row.phoneme != nullptr && phoneme == row.phoneme) return &row;
  return nullptr;
}

// The kana (UTF-8) of the first phoneme-table row that names program p, or "".
inline std::string ProgramKana(int32_t p) {
  for (const PhonemeRow& row : kPhonemeTable)
    if (row.program == p) return platform::ShiftJisToUtf8(row.kana);
  return {};
}

// The last symbol of a phonetic symbol: the vowel of "k' a"; all of "a" or "N".
inline std::string_view LastSymbol(std::string_view phoneme) {
  const size_t space = phoneme.find_last_of(' ');
  return phoneme.substr(space == std::string_view::npos ? 0 : space + 1);
}

// Romanised as typed on a Japanese keyboard: palatalised consonants take a y (dropped
// before i), and a few consonants have their own spelling.
inline std::string Romanise(const std::string& consonant, char vowel) {
  std::string v = vowel == 'a' ? "a" : vowel == 'i' ? "i" : vowel == 'M' ? "u" : vowel == 'e' ? "e" : "o";
  if (consonant.empty()) return v;
  if (consonant == "N") return "n";
  std::string c = consonant;
  const bool palatal = c.back() == '\'';
  if (palatal) c.pop_back();
  static const std::vector<std::pair<std::string, std::string>> spelled = {
      {"S", "sh"}, {"tS", "ch"}, {"dZ", "j"}, {"dz", "z"}, {"J", "ny"},
      {"C", "hy"}, {"p\\", "f"}, {"4", "r"},  {"j", "y"},  {"ts", "ts"}};
  for (const auto& [symbol, latin] : spelled) {
    if (c == symbol) {
      c = latin;
      break;
    }
  }
  if (palatal) c += "y";
  // The y of a palatal is silent before i: ki, gi, ni, hi, ri, mi, bi, pi.
  if (vowel == 'i' && c.size() > 1 && c.back() == 'y') c.pop_back();
  return c + v;
}

// The syllable that a program sings: that of the first phoneme-table row naming it.
struct ProgramSyllable {
  int program = 0;
  std::string kana;       // UTF-8, e.g. "きゃ"
  std::string phoneme;    // as in the table, e.g. "k' a"
  std::string consonant;  // "k'" ("" for a bare vowel; "N" for the moraic nasal)
  char vowel = 0;         // 'a', 'i', 'M', 'e', 'o'; 0 for "N"
  std::string name;       // romanised, e.g. "kya"
  int vowelProgram = -1;  // the program of its bare vowel; -1 for a bare vowel and for "N"
};

// The syllables of programs 0..102, in program order. Throws when the table does not
// reach every one of them, or when two would share a name.
inline std::vector<ProgramSyllable> ProgramSyllables() {
  std::vector<ProgramSyllable> syllables(kSyllablePrograms);
  std::vector<bool> found(kSyllablePrograms, false);
  for (const PhonemeRow& row : kPhonemeTable) {
    if (row.phoneme == nullptr || row.program < 0 || row.program >= kSyllablePrograms || found[size_t(row.program)]) {
      continue;
    }
    found[size_t(row.program)] = true;
    ProgramSyllable& s = syllables[size_t(row.program)];
    s.program = row.program;
    s.kana = platform::ShiftJisToUtf8(row.kana);
    s.phoneme = row.phoneme;
    const size_t space = s.phoneme.rfind(' ');
    const std::string last(LastSymbol(s.phoneme));
    if (last.size() == 1 && std::string("aiMeo").find(last[0]) != std::string::npos) {
      s.vowel = last[0];
      s.consonant = space == std::string::npos ? "" : s.phoneme.substr(0, space);
    } else {
      s.consonant = s.phoneme;  // "N"
    }
    s.name = Romanise(s.consonant, s.vowel);
    const PhonemeRow* bare = s.vowel != 0 && !s.consonant.empty() ? FirstRowOf(std::string(1, s.vowel)) : nullptr;
    s.vowelProgram = bare != nullptr ? bare->program : -1;
  }
  std::set<std::string> names;
  for (size_t p = 0; p < syllables.size(); ++p) {
    ProgramSyllable& s = syllables[p];
    if (!found[p]) throw std::runtime_error("the phoneme table names no syllable for program " + std::to_string(p));
    // Programs 56 and 57 repeat ji and zu (they are the kana typed di and du).
    if (names.count(s.name) != 0 && (s.consonant == "dZ" || s.consonant == "dz"))
      s.name = std::string(1, 'd') + s.name.back();
    if (!names.insert(s.name).second) throw std::runtime_error("two programs would share the name " + s.name);
  }
  return syllables;
}

}  // namespace chantera::tools
