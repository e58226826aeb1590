// Lyrics to syllables: a lyric text in Shift-JIS or UTF-8, written in hiragana, katakana
// or romaji, cut into the syllables the instrument sings, each with its program (the
// phoneme table's program index) and its phonetic symbol; and the one rule for what the
// table cannot sing, which every reader of lyrics follows (MIDI files, song sources, and
// the readers of other score formats).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace chantera::render {

struct Syllable {
  int32_t program = 0;
  std::string phoneme;  // e.g. "tS i"
  std::string kana;     // UTF-8, e.g. "ち"
};

// A piece of a lyric that names no syllable of the table ("xyz", the "llo" of "hello",
// "ヴ", "!!", "桜"), and what is sung in its place: its vowel when it has one, else nothing.
struct UnsungPiece {
  std::string piece;              // as written, UTF-8
  std::optional<Syllable> vowel;  // sung instead; none: skipped
};

struct LyricReading {
  std::vector<Syllable> syllables;  // in order, the vowels sung for unsung pieces included
  std::vector<UnsungPiece> unsung;
};

// Reads a lyric text. Karaoke markers ('/', '\\', a leading '@' line), '-', '+', spaces and
// punctuation between syllables separate them; the long-vowel mark (and a macron or
// circumflex in romaji: "kō") sings the previous syllable's vowel. A piece that names no
// syllable is sung as its vowel when it has one ("llo" as お, "ヴ" as う, "fé" as え) and
// skipped otherwise; a text of punctuation alone ("!!") is one piece, skipped.
LyricReading ReadLyric(const std::string& text);

// The syllables of ReadLyric, for callers that report nothing.
std::vector<Syllable> LyricSyllables(const std::string& text);

// The rule every reader of lyrics applies: each unsung piece is sung as its vowel or
// skipped, and told to the user with its place; under --strict it is an error, and the
// tool writes nothing for that input.
class LyricRule {
 public:
  explicit LyricRule(bool strict = false) : strict_(strict) {}
  // The syllables text sings (ReadLyric), each unsung piece noted with place: the
  // reader's own words for where the lyric stands ("track 2, tick 960 (1.00 s)", "line 12").
  std::vector<Syllable> Sing(const std::string& text, const std::string& place);
  // One line per unsung piece: "<place>: warning: "xyz" is not a syllable the instrument
  // sings; skipped" ("sung as its vowel お" where it has one); under --strict an error,
  // and nothing is sung.
  const std::vector<std::string>& problems() const { return problems_; }
  // Under --strict, true once a piece was found: the input is refused.
  bool Refused() const { return strict_ && !problems_.empty(); }

  // What one note of a score sings of its lyric text, a note holding one syllable: the
  // syllable it spells; the first when it spells several ("せい", "ぐっ"; several is then
  // set); when part of it is no syllable of the table ("ふぁ", "ヴ", "hello", "か花"), the
  // vowel the text ends in, told as Sing tells it with the whole text; nothing when it
  // ends in no vowel ("花", "xyz": the note holds the vowel before it, told the same way).
  std::optional<Syllable> SingNote(const std::string& text, const std::string& place, bool* several = nullptr);

 private:
  void Tell(const std::string& place, const std::string& piece, const std::string& written,
            const std::optional<Syllable>& vowel);

  bool strict_;
  std::vector<std::string> problems_;
};

// The syllable that holds a vowel on: the bare vowel of a syllable (the "a" of "k a"),
// or the syllable itself for "N" and bare vowels.
Syllable VowelOf(const Syllable& syllable);

}  // namespace chantera::render
