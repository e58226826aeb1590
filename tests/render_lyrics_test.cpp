// The lyric rule: each spelling of a syllable reaches its program, and what the syllable
// table cannot sing is sung as its vowel or skipped, told with its place.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "render_support.h"
#include "tools/render/lyrics.h"
#include "tools/render/midi_file.h"
#include "tools/render/song.h"
#include "tools/render/song_source.h"

namespace chantera::test {
namespace {

using namespace chantera::render;

// Kana, katakana, romaji in any case and Shift-JIS reach the same programs.
TEST(Lyrics, EachSpellingReachesItsPrograms) {
  const std::vector<std::pair<std::vector<std::string>, std::vector<int32_t>>> cases = {
      {{"さくら", "サクラ", "sakura", "SaKuRa", "\x82\xb3\x82\xad\x82\xe7"}, {10, 7, 38}},  // the last Shift-JIS
      {{"きゃ", "kya"}, {70}},
      {{"chi tsu fu shi"}, {16, 17, 27, 11}},
      {{"konnichiwa"}, {9, 44, 21, 16, 43}},
      {{"hon"}, {29, 44}},
      {{"かー"}, {5, 0}},
      {{"ji"}, {51}},
      {{"@KMIDI KARAOKE FILE"}, {}},
      {{"/ka\\ki"}, {5, 6}}};
  for (const auto& [spellings, programs] : cases) {
    for (const std::string& lyric : spellings) {
      std::vector<int32_t> sung;
      for (const Syllable& s : LyricSyllables(lyric)) sung.push_back(s.program);
      EXPECT_EQ(sung, programs) << lyric;
    }
  }
}

// What one note of a score sings of its lyric: one syllable, the first of several, the
// vowel the lyric ends in when the table cannot sing it, or nothing of its own; the last
// two told with the note's place, once however often the note is played.
TEST(Lyrics, OneNoteOfAScore) {
  struct Case {
    std::string text, kana;  // kana: "" when the note sings nothing of its own
    bool several, told;
  };
  const std::vector<Case> cases = {
      {"さ", "さ", false, false},  {"sha", "しゃ", false, false}, {"キャ", "きゃ", false, false},
      {"せい", "せ", true, false}, {"ぐっ", "ぐ", true, false},   {"かー", "か", true, false},
      {"ぶん", "ぶ", true, false}, {"ふぁ", "あ", false, true},   {"ヴ", "う", false, true},
      {"てぃ", "い", false, true}, {"hello", "お", false, true},  {"か花", "あ", false, true},
      {"花", "", false, true},     {"xyz", "", false, true},      {"♪", "", false, true}};
  for (const Case& c : cases) {
    LyricRule rule;
    bool several = true;
    for (int pass = 0; pass < 2; ++pass) {
      const std::optional<Syllable> sung = rule.SingNote(c.text, "measure 3, note 2", &several);
      EXPECT_EQ(sung ? sung->kana : "", c.kana) << c.text;
    }
    EXPECT_EQ(several, c.several) << c.text;
    ASSERT_EQ(rule.problems().size(), c.told ? 1u : 0u) << c.text;
    if (c.told) {
      const std::string said = "measure 3, note 2: warning: \"" + c.text +
                               "\" is not a syllable the instrument sings; " +
                               (c.kana.empty() ? "skipped" : "sung as its vowel " + c.kana);
      EXPECT_EQ(rule.problems()[0], said);
    }
  }
  LyricRule strict(true);
  strict.SingNote("ヴ", "line 12");
  EXPECT_TRUE(strict.Refused());
  EXPECT_EQ(strict.problems().at(0), "line 12: error: \"ヴ\" is not a syllable the instrument sings");
}

// Lyric meta events are written in Shift-JIS; a character it lacks becomes '?'.
TEST(Lyrics, ShiftJisOfUtf8) {
  EXPECT_EQ(platform::Utf8ToShiftJis("a"), "a");
  EXPECT_EQ(platform::Utf8ToShiftJis("\xE3\x81\x8B\xF0\x9F\x8E\xB5"
                                     "a"),
            "\x82\xA9?a");  // か, a note sign, a
}

// A piece the syllable table cannot sing is sung as its vowel or skipped, and told with
// the place its reader gives (the MIDI reader: track, tick and time; the composer: its
// line); under --strict it is an error.
TEST(Lyrics, WhatTheTableCannotSingIsToldWithItsPlace) {
  struct Row {
    const char* lyric;
    std::vector<int32_t> sung;
    std::vector<std::string> unsung;
  };
  const std::vector<Row> rows = {
      {"xyz", {}, {"xyz"}},        {"hello", {28, 4}, {"llo"}},  // へ, and お for "llo"
      {"ヴ", {2}, {"ヴ"}},         {"ヴァイオリン", {0, 1, 4, 39, 44}, {"ヴァ"}},
      {"!!", {}, {"!!"}},          {"café", {0, 3}, {"ca", "fé"}},
      {"桜", {}, {"桜"}},          {"tempura", {18, 44, 67, 38}, {}},  // m before p is ん
      {"Kōjō", {9, 4, 99, 4}, {}},                                     // a macron holds the vowel on
      {"ka! / ki", {5, 6}, {}},                                        // punctuation and markers between syllables
  };
  for (const Row& row : rows) {
    const LyricReading reading = ReadLyric(row.lyric);
    std::vector<int32_t> sung;
    for (const Syllable& s : reading.syllables) sung.push_back(s.program);
    std::vector<std::string> unsung;
    for (const UnsungPiece& p : reading.unsung) unsung.push_back(p.piece);
    EXPECT_EQ(std::tie(sung, unsung), std::tie(row.sung, row.unsung)) << row.lyric;
  }

  const std::string song = "tempo 120\nC4 1 ka\nD4 1 xyz\nE4 1 hello\n";
  for (const bool strict : {false, true}) {
    LyricRule composer(strict), renderer(strict);
    std::string midi, error;
    ASSERT_TRUE(CompileSong(song, midi, error, &composer)) << error;
    MidiFile file;
    ASSERT_TRUE(Parse(file, midi, error)) << error;
    const Song built = BuildSong(file, 44100.0, true, &renderer);
    EXPECT_EQ(composer.problems(),
              (std::vector<std::string>{
                  strict ? "line 3: error: \"xyz\" is not a syllable the instrument sings"
                         : "line 3: warning: \"xyz\" is not a syllable the instrument sings; skipped",
                  strict ? "line 4: error: \"llo\" (in \"hello\") is not a syllable the instrument sings"
                         : "line 4: warning: \"llo\" (in \"hello\") is not a syllable the instrument sings; sung as "
                           "its vowel お"}));
    ASSERT_EQ(renderer.problems().size(), 2u);
    EXPECT_TRUE(renderer.problems()[0].starts_with("track 1, tick 480 (0.50 s): ")) << renderer.problems()[0];
    EXPECT_EQ(std::tuple(composer.Refused(), renderer.Refused()), std::tuple(strict, strict));
    // か, then the held vowel あ where "xyz" was skipped, then へ and お.
    EXPECT_EQ(Timeline(built).substr(0, 30), " 0:p5 0:903C 22050:p0 22050:80");
  }
}

}  // namespace
}  // namespace chantera::test
