// The fixed table of the 113 sung syllables that phonetic input can name, and its lookup.
#pragma once

#include <array>
#include <cstdint>

namespace chantera {

struct PhonemeRow {
  int32_t program;      // 0..102
  const char* kana;     // Shift-JIS
  const char* phoneme;  // ASCII symbols separated by single spaces, e.g. "tS i"
  uint32_t flags;       // 0 for a bare vowel, 0x40 otherwise
};

inline constexpr int kPhonemeRows = 113;
extern const std::array<PhonemeRow, kPhonemeRows> kPhonemeTable;

// Removes the spaces of a zero-terminated string in place; a Shift-JIS lead byte keeps
// the byte after it, whatever it is. Returns 1 when the result is not empty, else 0.
// Thread: any; allocation-free.
int32_t StripSpaces(char* text) noexcept;

// Program of the first row whose phoneme, spaces removed, equals symbol; 0 when no row
// does (an empty symbol included). Thread: any (the audio thread on a commit).
int32_t FindPhonemeProgram(const char* symbol) noexcept;

}  // namespace chantera
