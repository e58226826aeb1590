// The score readers' UTAU projects, the order of play of a score's measures, and the MIDI
// file that sings a score: small files written here, one rule of the formats each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "render_support.h"
#include "support/fixtures.h"
#include "tools/render/lyrics.h"
#include "tools/render/play_order.h"
#include "tools/render/score.h"
#include "tools/render/song.h"
#include "tools/render/song_file.h"
#include "tools/render/ust_reader.h"

namespace chantera::test {
namespace {

using namespace chantera::render;

std::string Crlf(std::string text) {
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) text.insert(at, "\r");
  return text;
}

bool ReadUstRow(const std::string& bytes, const std::string& name, const ScoreChoices&, Score& score,
                std::string& error) {
  return ReadUst(bytes, name + ".ust", score, error);
}

TEST(UstReader, EachRuleOfTheFormat) {
  const std::string kSjisHalfwidthTe = "\xC3\xA7";  // ﾃｧ in Shift-JIS; ç in UTF-8
  ExpectRows(
      {
          // Tempo, lengths, a rest, a continuation with a tempo change, a VCV lyric with an
          // alias suffix, Intensity; nothing after [#TRACKEND].
          {"[#VERSION]\nUST Version1.2\n[#SETTING]\nTempo=100\nProjectName=x\n"
           "[#0000]\nLength=480\nLyric=さ\nNoteNum=69\n[#0001]\nLength=240\nLyric=R\nNoteNum=60\n"
           "[#0002]\nLength=240\nLyric=-\nNoteNum=71\nTempo=150\n"
           "[#0003]\nLength=480\nLyric=a か_B3\nNoteNum=72\nIntensity=50\nFlags=g-5\n"
           "[#TRACKEND]\n[#0004]\nLength=480\nLyric=ら\nNoteNum=60\n",
           "T0=100 T720=150 0+480:69:さ 720+240:71~ 960+480:72:か@48"},
          // Shift-JIS without a Charset line, CR LF, a decimal comma; rests written as a
          // breath, an empty lyric and a zero length; ー holds the vowel.
          {Crlf(platform::Utf8ToShiftJis("[#SETTING]\nTempo=90,00\n[#0000]\nLength=480\nLyric=か\nNoteNum=60\n"
                                         "[#0001]\nLength=480\nLyric=息\n[#0002]\nLength=480\nLyric=\nNoteNum=60\n"
                                         "[#0003]\nLength=0\nLyric=あ\nNoteNum=60\n"
                                         "[#0004]\nLength=480\nLyric=ー\nNoteNum=62\n")),
           "T0=90 0+480:60:か 1440+480:62~"},
          // A plug-in's file: [#INSERT] is a note, [#PREV], [#NEXT] and [#DELETE] are not;
          // keys and sections it does not know are ignored.
          {"[#SETTING]\nTempo=120\nMode2=True\n[#PREV]\nLength=480\nLyric=な\nNoteNum=60\n"
           "[#INSERT]\nLength=480\nLyric=ka\nNoteNum=61\nMystery=1\n[#DELETE]\nLength=480\nLyric=ぬ\nNoteNum=60\n"
           "[#NEXT]\nLength=480\nLyric=ね\nNoteNum=60\n",
           "T0=120 0+480:61:ka"},
          // The Charset line decides over what the bytes look like.
          {"[#VERSION]\nCharset=Shift_JIS\n[#SETTING]\n[#0000]\nLength=480\nLyric=" + kSjisHalfwidthTe +
               "\nNoteNum=60\n",
           "T0=120 0+480:60:ﾃｧ"},
          {"[#VERSION]\nCharset=UTF-8\n[#SETTING]\n[#0000]\nLength=480\nLyric=" + kSjisHalfwidthTe + "\nNoteNum=60\n",
           "T0=120 0+480:60:ç"},
          // Broken entries: the line and what is wrong.
          {"[#SETTING]\nTempo=120\n[#0000]\nLyric=あ\nNoteNum=60\n", "song.ust:3: [#0000] has no Length"},
          {"[#SETTING]\n[#0000]\nLyric=あ\nLength=abc\nNoteNum=60\n",
           "song.ust:4: Length must be a number from 0 to 1000000000, not \"abc\""},
          {"[#SETTING]\n[#0000]\nLength=480\nLyric=あ\nNoteNum=200\n",
           "song.ust:5: NoteNum must be a number from 0 to 127"},
          {"[#SETTING]\n[#0000]\nLength=480\nLyric=あ\n", "song.ust:2: [#0000] has no NoteNum"},
          {"[#SETTING]\n[#0000]\nLength=480\nNoteNum=60\nLyric\n", "song.ust:5: not a KEY=VALUE line: Lyric"},
          {"[#SETTING]\nTempo=fast\n", "song.ust:2: Tempo must be a number from 10 to 1000"},
          {"MThd\n[#SETTING]\n", "song.ust:1: not an UTAU project"},
          {"[#SETTING]\nTempo=120\n[#TRACKEND]\n", "song.ust: the project has no notes to sing"},
      },
      ReadUstRow);

  // What the timing and vibrato work will use is kept; an empty value is no value.
  Score score;
  std::string error;
  ASSERT_TRUE(
      ReadUst("[#0000]\nLength=480\nLyric=あ\nNoteNum=60\nPreUtterance=\nVoiceOverlap=12.5\n"
              "VBR=65,180,35,20,20,0,0\n",
              "song.ust", score, error))
      << error;
  ASSERT_EQ(score.notes.size(), 1u);
  EXPECT_FALSE(score.notes[0].preUtterance);
  EXPECT_EQ(score.notes[0].voiceOverlap, 12.5);
  EXPECT_EQ(score.notes[0].vibrato, (std::vector<double>{65, 180, 35, 20, 20, 0, 0}));
  EXPECT_EQ(score.notes[0].place, "line 3");
}

// The measures a musician plays, by index and pass.
TEST(PlayOrder, RepeatsEndingsAndJumps) {
  const auto flow = [](int n) { return std::vector<MeasureFlow>(static_cast<size_t>(n)); };
  std::vector<std::pair<std::vector<MeasureFlow>, std::string>> cases;
  auto thrice = flow(2);
  thrice[0].backwardTimes = 3;
  cases.emplace_back(thrice, "0/1 0/2 0/3 1/1");
  auto endings = flow(3);  // |: 0 | [1,2] 1 :|x3 | [3] 2 |
  endings[0].forwardRepeat = true;
  endings[1].ending = {1, 2};
  endings[1].endingStart = endings[1].endingStop = true;
  endings[1].backwardTimes = 3;
  endings[2].ending = {3};
  endings[2].endingStart = endings[2].endingStop = true;
  cases.emplace_back(endings, "0/1 1/1 0/2 1/2 0/3 2/3");
  auto coda = flow(5);  // 0 | segno 1 | to coda 2 | D.S. al Coda 3 | coda 4
  coda[1].segno = "s";
  coda[2].tocoda = "c";
  coda[3].dalsegno = "s";
  coda[4].coda = "c";
  cases.emplace_back(coda, "0/1 1/1 2/1 3/1 1/1 2/1 4/1");
  auto again = endings;  // after a D.C. no repeat is taken and only the last ending sounds
  again.push_back({});
  again.back().dacapo = true;
  cases.emplace_back(again, "0/1 1/1 0/2 1/2 0/3 2/3 3/1 0/1 2/1 3/1");
  for (const auto& [measures, expected] : cases) {
    std::vector<PlayedMeasure> order;
    std::string error;
    ASSERT_TRUE(PlayOrder(measures, order, error)) << expected;
    std::string played;
    for (const PlayedMeasure& m : order) played += std::to_string(m.index) + "/" + std::to_string(m.pass) + " ";
    EXPECT_EQ(played, expected + " ");
  }
  auto endless = flow(1);
  endless[0].backwardTimes = 1000;
  std::vector<PlayedMeasure> order;
  std::string error;
  EXPECT_FALSE(PlayOrder(endless, order, error, 100));
  EXPECT_EQ(error, "the repeats unfold to more than 100 measures");
}

// The MIDI file that sings a score: lyric events with what each note sings, ー where a
// note holds the vowel, no note for a pause, a note cut where the next begins.
TEST(ScoreMidi, SingsWhatEachLyricSays) {
  Score score;
  score.tempos = {{0, 500000}, {960, 250000}};
  const auto note = [](uint64_t tick, uint64_t length, uint8_t key, const std::string& lyric, bool hold = false) {
    ScoreNote n;
    n.tick = tick;
    n.length = length;
    n.key = key;
    n.lyric = lyric;
    n.continuation = hold;
    n.place = "p" + std::to_string(tick);
    return n;
  };
  score.notes = {note(0, 960, 60, "さ"),    note(480, 480, 62, "", true), note(960, 480, 64, "っ"),
                 note(1440, 480, 65, "ヴ"), note(1920, 480, 67, "せい"),  note(2400, 480, 69, "花")};
  std::vector<std::string> notices;
  LyricRule lyrics;
  const std::string image = ScoreMidi(score, lyrics, notices);
  MidiFile file;
  std::string error;
  ASSERT_TRUE(Parse(file, image, error)) << error;
  std::string events;
  for (const MidiFileEvent& e : file.events) {
    if (e.kind == MidiFileEvent::kMeta && e.status == 0x05) events += std::to_string(e.tick) + " " + e.bytes + ", ";
    if (e.kind == MidiFileEvent::kChannel)
      events +=
          std::to_string(e.tick) + ((e.status & 0xF0) == 0x90 ? " on " : " off ") + std::to_string(e.data1) + ", ";
  }
  EXPECT_EQ(events,
            "0 さ, 0 on 60, 480 off 60, 480 ー, 480 on 62, 960 off 62, 1440 う, 1440 on 65, 1920 off 65, "
            "1920 せ, 1920 on 67, 2400 off 67, 2400 on 69, 2880 off 69, ");
  EXPECT_EQ(file.SecondsAt(1440), 1.25);
  EXPECT_EQ(
      lyrics.problems(),
      (std::vector<std::string>{"p1440: warning: \"ヴ\" is not a syllable the instrument sings; sung as its vowel う",
                                "p2400: warning: \"花\" is not a syllable the instrument sings; skipped"}));
  EXPECT_EQ(notices, (std::vector<std::string>{
                         "1 note has a lyric of several syllables and sings its first: p1920 \"せい\" sings \"せ\""}));
}

// The example song in both formats: the UTAU project (four verses one after another) and
// the MusicXML score (one verse of music repeated four times under four lyric lines, the
// long vowels held with ー) sing the same MIDI file, every lyric a syllable of the table.
TEST(ScoreMidi, TheExampleSingsTheSameInBothFormats) {
  LoadedSong ust, xml;
  std::string error;
  LyricRule lyrics;
  ASSERT_TRUE(LoadSong(CHANTERA_EXAMPLES_DIR "/kojo-no-tsuki.ust", {}, lyrics, ust, error)) << error;
  ASSERT_TRUE(LoadSong(CHANTERA_EXAMPLES_DIR "/kojo-no-tsuki.musicxml", {}, lyrics, xml, error)) << error;
  EXPECT_EQ(lyrics.problems(), std::vector<std::string>());
  EXPECT_EQ(ust.midi, xml.midi);
  EXPECT_EQ(ust.notices, std::vector<std::string>());
  EXPECT_EQ(xml.notices, std::vector<std::string>());
  const Song song = BuildSong(xml.file, 44100.0, true);
  EXPECT_EQ(song.sungNotes, 192u);
  EXPECT_EQ(song.notes, 192u);
}

// What LoadSong tells of a score names the file, the reader's notices and the MIDI
// writer's alike; a lyric the table cannot sing goes to the rule with its place.
TEST(ScoreMidi, WhatASongFileTellsNamesTheFile) {
  TempDir dir;
  const std::string path =
      dir.Write("song.ust", "[#0000]\nLength=480\nLyric=せい\nNoteNum=60\n[#0001]\nLength=480\nLyric=ヴ\nNoteNum=62\n")
          .string();
  LyricRule lyrics;
  LoadedSong song;
  std::string error;
  ASSERT_TRUE(LoadSong(path, {}, lyrics, song, error)) << error;
  EXPECT_EQ(song.notices,
            (std::vector<std::string>{
                path + ": 1 note has a lyric of several syllables and sings its first: line 3 \"せい\" sings \"せ\""}));
  EXPECT_EQ(lyrics.problems(),
            (std::vector<std::string>{
                "line 7: warning: \"ヴ\" is not a syllable the instrument sings; sung as its vowel う"}));
}

}  // namespace
}  // namespace chantera::test
