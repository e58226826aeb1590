// The phoneme table and its lookup: the rows a phonetic symbol can reach, and the
// stripping of spaces that the lookup compares with.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "engine/phoneme_table.h"

namespace chantera::test {
namespace {

TEST(PhonemeTableTest, RowsKeepTheirProgramsKanaAndFlags) {
  // The program every row selects, row by row: a wrong number sings the wrong syllable.
  const int programs[kPhonemeRows] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,  14,  15,  16, 17, 18,
                                      19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32,  33,  34,  35, 36, 37,
                                      38, 39, 40, 41, 42, 43, 4,  44, 45, 46, 47, 48, 49, 50,  51,  52,  53, 54, 55,
                                      56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 69,  70,  71,  72, 91, 92,
                                      93, 73, 74, 75, 94, 95, 96, 76, 77, 78, 97, 98, 99, 100, 101, 102, 82, 83, 84,
                                      85, 86, 87, 88, 89, 90, 79, 80, 81, 0,  1,  2,  3,  4,   35,  36,  37, 17};
  for (int row = 0; row < kPhonemeRows; ++row) EXPECT_EQ(kPhonemeTable[row].program, programs[row]) << "row " << row;
  EXPECT_EQ(std::string(kPhonemeTable[0].kana), "\x82\xA0");  // あ
  EXPECT_EQ(std::string(kPhonemeTable[16].phoneme), "tS i");
  EXPECT_EQ(std::string(kPhonemeTable[16].kana), "\x82\xBF");  // ち
  EXPECT_EQ(std::string(kPhonemeTable[27].phoneme), "p\\ M");
  EXPECT_EQ(std::string(kPhonemeTable[71].kana), "\x82\xAB\x82\xE1");  // きゃ
  EXPECT_EQ(std::string(kPhonemeTable[112].kana), "\x82\xC1");         // っ
  const std::set<int> bareVowels = {0, 1, 2, 3, 4, 44, 104, 105, 106, 107, 108};
  for (int row = 0; row < kPhonemeRows; ++row) {
    EXPECT_EQ(kPhonemeTable[row].flags, bareVowels.count(row) ? 0u : 0x40u) << row;
    // Every kana is one or two Shift-JIS hiragana (lead byte 0x82).
    const std::string kana = kPhonemeTable[row].kana;
    ASSERT_TRUE(kana.size() == 2 || kana.size() == 4) << row;
    EXPECT_EQ(static_cast<uint8_t>(kana[0]), 0x82) << row;
    // Stripped, every phoneme fits the three characters phonetic input can send.
    std::string stripped = kPhonemeTable[row].phoneme;
    StripSpaces(stripped.data());
    EXPECT_GE(std::strlen(stripped.c_str()), 1u);
    EXPECT_LE(std::strlen(stripped.c_str()), 3u) << row;
  }
}

// The first row wins for shared phonemes (dZi not 56, dzM not 57, o not row 44 (を) nor
// 108 (ぉ)); empty or unknown symbols, and symbols with their spaces (the received symbol is
// compared as it is), select program 0.
TEST(PhonemeTableTest, LookupFindsTheFirstRowOrProgramZero) {
  const std::pair<const char*, int> rows[] = {{"tSi", 16}, {"dZi", 51}, {"dzM", 52},  {"o", 4},  {"tsM", 17},
                                              {"ja", 35},  {"g'a", 91}, {"p\\M", 27}, {"N", 44}, {"", 0},
                                              {"xyz", 0},  {"tS i", 0}, {nullptr, 0}};
  for (const auto& [symbol, program] : rows)
    EXPECT_EQ(FindPhonemeProgram(symbol), program) << (symbol ? symbol : "null");
}

TEST(PhonemeTableTest, StripSpacesKeepsTheByteAfterALeadByte) {
  char text[] = " t S  i ";
  EXPECT_EQ(StripSpaces(text), 1);
  EXPECT_STREQ(text, "tSi");
  char spaces[] = "   ";
  EXPECT_EQ(StripSpaces(spaces), 0);
  EXPECT_STREQ(spaces, "");
  // 0x81 0x20 is one double-byte character whose trail byte happens to be a space.
  char kana[] = "\x81\x20 a\x82\xA0 ";
  EXPECT_EQ(StripSpaces(kana), 1);
  EXPECT_STREQ(kana, "\x81 a\x82\xA0");
  // A lead byte right before the terminator ends the walk without reading past it.
  char dangling[] = {'a', ' ', '\x82', 0, 'x', 0};
  EXPECT_EQ(StripSpaces(dangling), 1);
  EXPECT_STREQ(dangling, "a\x82");
}

}  // namespace
}  // namespace chantera::test
