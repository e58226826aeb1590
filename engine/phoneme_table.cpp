// The 113 sung syllables that phonetic input can name, in the order the lookup scans them.
// Kana are Shift-JIS bytes (code page 932); phonemes are ASCII symbols separated by single
// spaces. Bare vowels carry flags 0, every other row 0x40.
#include "engine/phoneme_table.h"

#include <cstring>

#include "platform/platform.h"

namespace chantera {

// clang-format off
const std::array<PhonemeRow, kPhonemeRows> kPhonemeTable{{
    {0, "\x82\xA0", "a", 0},  // 0 あ
    {1, "\x82\xA2", "i", 0},  // 1 い
    {2, "\x82\xA4", "M", 0},  // 2 う
    {3, "\x82\xA6", "e", 0},  // 3 え
    {4, "\x82\xA8", "o", 0},  // 4 お
    {5, "\x82\xA9", "k a", 0x40},  // 5 か
    {6, "\x82\xAB", "k' i", 0x40},  // 6 き
    {7, "\x82\xAD", "k M", 0x40},  // 7 く
    {8, "\x82\xAF", "k e", 0x40},  // 8 け
    {9, "\x82\xB1", "k o", 0x40},  // 9 こ
    {10, "\x82\xB3", "s a", 0x40},  // 10 さ
    {11, "\x82\xB5", "S i", 0x40},  // 11 し
    {12, "\x82\xB7", "s M", 0x40},  // 12 す
    {13, "\x82\xB9", "s e", 0x40},  // 13 せ
    {14, "\x82\xBB", "s o", 0x40},  // 14 そ
    {15, "\x82\xBD", "t a", 0x40},  // 15 た
    {16, "\x82\xBF", "tS i", 0x40},  // 16 ち
    {17, "\x82\xC2", "ts M", 0x40},  // 17 つ
    {18, "\x82\xC4", "t e", 0x40},  // 18 て
    {19, "\x82\xC6", "t o", 0x40},  // 19 と
    {20, "\x82\xC8", "n a", 0x40},  // 20 な
    {21, "\x82\xC9", "J i", 0x40},  // 21 に
    {22, "\x82\xCA", "n M", 0x40},  // 22 ぬ
    {23, "\x82\xCB", "n e", 0x40},  // 23 ね
    {24, "\x82\xCC", "n o", 0x40},  // 24 の
    {25, "\x82\xCD", "h a", 0x40},  // 25 は
    {26, "\x82\xD0", "C i", 0x40},  // 26 ひ
    {27, "\x82\xD3", "p\\ M", 0x40},  // 27 ふ
    {28, "\x82\xD6", "h e", 0x40},  // 28 へ
    {29, "\x82\xD9", "h o", 0x40},  // 29 ほ
    {30, "\x82\xDC", "m a", 0x40},  // 30 ま
    {31, "\x82\xDD", "m' i", 0x40},  // 31 み
    {32, "\x82\xDE", "m M", 0x40},  // 32 む
    {33, "\x82\xDF", "m e", 0x40},  // 33 め
    {34, "\x82\xE0", "m o", 0x40},  // 34 も
    {35, "\x82\xE2", "j a", 0x40},  // 35 や
    {36, "\x82\xE4", "j M", 0x40},  // 36 ゆ
    {37, "\x82\xE6", "j o", 0x40},  // 37 よ
    {38, "\x82\xE7", "4 a", 0x40},  // 38 ら
    {39, "\x82\xE8", "4' i", 0x40},  // 39 り
    {40, "\x82\xE9", "4 M", 0x40},  // 40 る
    {41, "\x82\xEA", "4 e", 0x40},  // 41 れ
    {42, "\x82\xEB", "4 o", 0x40},  // 42 ろ
    {43, "\x82\xED", "w a", 0x40},  // 43 わ
    {4, "\x82\xF0", "o", 0},  // 44 を
    {44, "\x82\xF1", "N", 0x40},  // 45 ん
    {45, "\x82\xAA", "g a", 0x40},  // 46 が
    {46, "\x82\xAC", "g' i", 0x40},  // 47 ぎ
    {47, "\x82\xAE", "g M", 0x40},  // 48 ぐ
    {48, "\x82\xB0", "g e", 0x40},  // 49 げ
    {49, "\x82\xB2", "g o", 0x40},  // 50 ご
    {50, "\x82\xB4", "dz a", 0x40},  // 51 ざ
    {51, "\x82\xB6", "dZ i", 0x40},  // 52 じ
    {52, "\x82\xB8", "dz M", 0x40},  // 53 ず
    {53, "\x82\xBA", "dz e", 0x40},  // 54 ぜ
    {54, "\x82\xBC", "dz o", 0x40},  // 55 ぞ
    {55, "\x82\xBE", "d a", 0x40},  // 56 だ
    {56, "\x82\xC0", "dZ i", 0x40},  // 57 ぢ
    {57, "\x82\xC3", "dz M", 0x40},  // 58 づ
    {58, "\x82\xC5", "d e", 0x40},  // 59 で
    {59, "\x82\xC7", "d o", 0x40},  // 60 ど
    {60, "\x82\xCE", "b a", 0x40},  // 61 ば
    {61, "\x82\xD1", "b' i", 0x40},  // 62 び
    {62, "\x82\xD4", "b M", 0x40},  // 63 ぶ
    {63, "\x82\xD7", "b e", 0x40},  // 64 べ
    {64, "\x82\xDA", "b o", 0x40},  // 65 ぼ
    {65, "\x82\xCF", "p a", 0x40},  // 66 ぱ
    {66, "\x82\xD2", "p' i", 0x40},  // 67 ぴ
    {67, "\x82\xD5", "p M", 0x40},  // 68 ぷ
    {68, "\x82\xD8", "p e", 0x40},  // 69 ぺ
    {69, "\x82\xDB", "p o", 0x40},  // 70 ぽ
    {70, "\x82\xAB\x82\xE1", "k' a", 0x40},  // 71 きゃ
    {71, "\x82\xAB\x82\xE3", "k' M", 0x40},  // 72 きゅ
    {72, "\x82\xAB\x82\xE5", "k' o", 0x40},  // 73 きょ
    {91, "\x82\xAC\x82\xE1", "g' a", 0x40},  // 74 ぎゃ
    {92, "\x82\xAC\x82\xE3", "g' M", 0x40},  // 75 ぎゅ
    {93, "\x82\xAC\x82\xE5", "g' o", 0x40},  // 76 ぎょ
    {73, "\x82\xB5\x82\xE1", "S a", 0x40},  // 77 しゃ
    {74, "\x82\xB5\x82\xE3", "S M", 0x40},  // 78 しゅ
    {75, "\x82\xB5\x82\xE5", "S o", 0x40},  // 79 しょ
    {94, "\x82\xE8\x82\xE1", "4' a", 0x40},  // 80 りゃ
    {95, "\x82\xE8\x82\xE3", "4' M", 0x40},  // 81 りゅ
    {96, "\x82\xE8\x82\xE5", "4' o", 0x40},  // 82 りょ
    {76, "\x82\xBF\x82\xE1", "tS a", 0x40},  // 83 ちゃ
    {77, "\x82\xBF\x82\xE3", "tS M", 0x40},  // 84 ちゅ
    {78, "\x82\xBF\x82\xE5", "tS o", 0x40},  // 85 ちょ
    {97, "\x82\xB6\x82\xE1", "dZ a", 0x40},  // 86 じゃ
    {98, "\x82\xB6\x82\xE3", "dZ M", 0x40},  // 87 じゅ
    {99, "\x82\xB6\x82\xE5", "dZ o", 0x40},  // 88 じょ
    {100, "\x82\xDD\x82\xE1", "m' a", 0x40},  // 89 みゃ
    {101, "\x82\xDD\x82\xE3", "m' M", 0x40},  // 90 みゅ
    {102, "\x82\xDD\x82\xE5", "m' o", 0x40},  // 91 みょ
    {82, "\x82\xD0\x82\xE1", "C a", 0x40},  // 92 ひゃ
    {83, "\x82\xD0\x82\xE3", "C M", 0x40},  // 93 ひゅ
    {84, "\x82\xD0\x82\xE5", "C o", 0x40},  // 94 ひょ
    {85, "\x82\xD1\x82\xE1", "b' a", 0x40},  // 95 びゃ
    {86, "\x82\xD1\x82\xE3", "b' M", 0x40},  // 96 びゅ
    {87, "\x82\xD1\x82\xE5", "b' o", 0x40},  // 97 びょ
    {88, "\x82\xD2\x82\xE1", "p' a", 0x40},  // 98 ぴゃ
    {89, "\x82\xD2\x82\xE3", "p' M", 0x40},  // 99 ぴゅ
    {90, "\x82\xD2\x82\xE5", "p' o", 0x40},  // 100 ぴょ
    {79, "\x82\xC9\x82\xE1", "J a", 0x40},  // 101 にゃ
    {80, "\x82\xC9\x82\xE3", "J M", 0x40},  // 102 にゅ
    {81, "\x82\xC9\x82\xE5", "J o", 0x40},  // 103 にょ
    {0, "\x82\x9F", "a", 0},  // 104 ぁ
    {1, "\x82\xA1", "i", 0},  // 105 ぃ
    {2, "\x82\xA3", "M", 0},  // 106 ぅ
    {3, "\x82\xA5", "e", 0},  // 107 ぇ
    {4, "\x82\xA7", "o", 0},  // 108 ぉ
    {35, "\x82\xE1", "j a", 0x40},  // 109 ゃ
    {36, "\x82\xE3", "j M", 0x40},  // 110 ゅ
    {37, "\x82\xE5", "j o", 0x40},  // 111 ょ
    {17, "\x82\xC1", "ts M", 0x40},  // 112 っ
}};
// clang-format on

int32_t StripSpaces(char* text) noexcept {
  if (text == nullptr) return 0;
  // In place: the write index never passes the read index, so no copy is needed.
  size_t read = 0;
  size_t write = 0;
  while (text[read] != 0) {
    const auto byte = static_cast<uint8_t>(text[read]);
    if (platform::IsDBCSLeadByte(byte)) {
      // A lead byte keeps the byte after it, a 0x20 trail byte included. A lead byte
      // right before the terminator keeps it too, and the walk ends there.
      text[write++] = text[read++];
      const char trail = text[read];
      text[write++] = trail;
      if (trail == 0) return 1;
      ++read;
    } else if (byte == 0x20) {
      ++read;
    } else {
      text[write++] = text[read++];
    }
  }
  text[write] = 0;
  return write != 0 ? 1 : 0;
}

namespace {

// Longest phoneme of the table with its terminator, with room to spare.
constexpr size_t kStrippedSize = 8;
using StrippedTable = std::array<std::array<char, kStrippedSize>, kPhonemeRows>;

// Every phoneme with its spaces removed, built once when the library loads so that a
// commit on the audio thread only compares.
StrippedTable BuildStrippedPhonemes() noexcept {
  StrippedTable table{};
  for (size_t row = 0; row < kPhonemeTable.size(); ++row) {
    std::strncpy(table[row].data(), kPhonemeTable[row].phoneme, kStrippedSize - 1);
    StripSpaces(table[row].data());
  }
  return table;
}

const StrippedTable kStrippedPhonemes = BuildStrippedPhonemes();

}  // namespace

int32_t FindPhonemeProgram(const char* symbol) noexcept {
  if (symbol == nullptr) return 0;
  for (size_t row = 0; row < kPhonemeTable.size(); ++row) {
    if (std::strcmp(kStrippedPhonemes[row].data(), symbol) == 0) return kPhonemeTable[row].program;
  }
  return 0;
}

}  // namespace chantera
