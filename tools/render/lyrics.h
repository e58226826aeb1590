// Lyrics to syllables: a lyric text in Shift-JIS or UTF-8, written in hiragana, katakana
// or romaji, cut into the syllables the instrument sings, each with its program (the
// phoneme table's program index) and its phonetic symbol.
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

// The syllables of a lyric text, in order. Karaoke markers ('/', '\\', a leading '@'
// line), spaces and punctuation separate syllables and are dropped; the long-vowel mark
// sings the previous syllable's vowel; text that names no syllable is skipped. unread, when
// given, receives the letters and kana that named no syllable (not the separators).
std::vector<Syllable> LyricSyllables(const std::string& text, std::string* unread = nullptr);

// What one note of a score sings of its lyric text:
// - kOne: the text spells one syllable of the table, which sings;
// - kFirst: it spells several ("せい", "ぐっ", "ばい"): the first sings, as one note holds one;
// - kVowel: the table cannot sing it (a sound it lacks such as "ヴ", a kana with a small
//   vowel it has no row for such as "ふぁ", kanji, letters that spell nothing): the vowel
//   the text ends in sings ("ん" counts as one);
// - kNone: the same, but the text has no vowel: no syllable of its own (the note holds the
//   vowel before it, as a note without a lyric does).
struct NoteLyric {
  enum Kind { kOne, kFirst, kVowel, kNone };
  Kind kind = kOne;
  std::optional<Syllable> sung;
};
NoteLyric SingNoteLyric(const std::string& text);

// The syllable that holds a vowel on: the bare vowel of a syllable (the "a" of "k a"),
// or the syllable itself for "N" and bare vowels.
Syllable VowelOf(const Syllable& syllable);

// UTF-8 text in Shift-JIS (code page 932); a character it lacks becomes a question mark.
std::string Utf8ToShiftJis(const std::string& utf8);

}  // namespace chantera::render
