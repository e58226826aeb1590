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

// What one note of a score sings of its lyric text. A text that spells exactly one
// syllable of the table sings it. Any other (a sound the table lacks such as "ヴ" or
// "ふぁ", several syllables on one note, kanji, letters that spell nothing) is not
// understood: it sings the vowel it ends in ("ん" counts as one), or, when it has none, no
// syllable of its own (the note holds the vowel before it, as a note without a lyric).
struct NoteLyric {
  std::optional<Syllable> sung;
  bool understood = true;
};
NoteLyric SingNoteLyric(const std::string& text);

// The syllable that holds a vowel on: the bare vowel of a syllable (the "a" of "k a"),
// or the syllable itself for "N" and bare vowels.
Syllable VowelOf(const Syllable& syllable);

// UTF-8 text in Shift-JIS (code page 932); a character it lacks becomes a question mark.
std::string Utf8ToShiftJis(const std::string& utf8);

}  // namespace chantera::render
