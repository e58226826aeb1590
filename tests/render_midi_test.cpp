// The renderer's MIDI side: Standard MIDI Files read, the song composer's sources compiled,
// and the timeline of messages a song plays at its frames, lyrics sung and spelt.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "render_support.h"
#include "support/fixtures.h"
#include "tools/render/midi_file.h"
#include "tools/render/song.h"
#include "tools/render/song_source.h"

namespace chantera::test {
namespace {

using namespace chantera::render;

// Running status, tempo changes, format 1's merge of tracks and the SMPTE time base.
TEST(MidiFileReader, EventsAndTheirTimes) {
  // Tempo 500000 at 0, note on, running-status note on 480 ticks later, tempo 250000 at
  // 960, a note off at 1440.
  const std::string tempos =
      Bytes({0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0x90, 60,   100, 0x83, 0x60, 64,   90,   0x83,
             0x60, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90, 0x83, 0x60, 0x80, 60,  0,    0x00, 0xFF, 0x2F, 0x00});
  // A conductor track at 1 s per quarter and a melody with a lyric and a SysEx.
  const std::string conductor = Bytes({0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40}) + kEnd;
  const std::string melody = Bytes({0x00, 0xFF, 0x05, 0x02, 'k', 'a', 0x00, 0x91, 62, 80, 0x60, 0x81, 62, 0x00, 0x00,
                                    0xF0, 0x02, 0x7E, 0xF7}) +
                             kEnd;
  MidiFile file;
  std::string error;
  ASSERT_TRUE(Parse(file, Smf(0, 480, {tempos}), error)) << error;
  ASSERT_EQ(file.events.size(), 6u);
  EXPECT_EQ(std::tuple(file.events[2].tick, file.events[2].status, file.events[2].data1), std::tuple(480u, 0x90, 64));
  // Twice as fast after the change.
  EXPECT_EQ((std::vector{file.SecondsAt(480), file.SecondsAt(960), file.SecondsAt(1440)}),
            (std::vector{0.5, 1.0, 1.25}));
  ASSERT_TRUE(Parse(file, Smf(1, 96, {conductor, melody}), error)) << error;
  EXPECT_EQ(file.trackCount, 2);
  EXPECT_EQ(file.SecondsAt(96), 1.0);
  ASSERT_GE(file.events.size(), 5u);
  EXPECT_EQ(file.events[1].kind, MidiFileEvent::kMeta);  // the conductor's end of track at tick 0
  EXPECT_EQ(file.events[2].bytes, "ka");
  ASSERT_TRUE(Parse(file, Smf(0, (0xE7 << 8) | 40, {kEnd}), error)) << error;
  EXPECT_EQ(file.SecondsAt(1500), 1.5);  // 25 frames per second, 40 ticks per frame
  ASSERT_TRUE(Parse(file, Smf(0, (0xE3 << 8) | 100, {kEnd}), error)) << error;
  EXPECT_DOUBLE_EQ(file.SecondsAt(2997), 1.0);  // "29" is drop-frame: 29.97 frames per second
}

TEST(MidiFileReader, MalformedFilesSayWhatIsWrong) {
  std::string cut = Smf(0, 480, {Bytes({0x00, 0x90, 60, 100}) + kEnd});
  cut.resize(cut.size() - 3);
  const std::pair<std::string, std::string> cases[] = {
      {"RIFF....", "MThd"},
      {Smf(2, 480, {kEnd}), "format 2"},
      {Smf(0, 480, {Bytes({0x00, 60, 100})}), "running status"},  // a data byte, no status
      {Smf(0, 480, {Bytes({0x00, 0x90, 60})}), "truncated"},      // cut in the middle of an event
      {cut, "claims"},
      {Smf(0, 480, {Bytes({0x00, 0xFF, 0x05, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F})}), ""},  // a huge meta length
      // 23 frames per second, or no ticks per frame.
      {Smf(0, (0xE9 << 8) | 40, {kEnd}), "invalid SMPTE time division"},
      {Smf(0, 0xE700, {kEnd}), "invalid SMPTE time division"}};
  MidiFile file;
  std::string error;
  for (const auto& [image, says] : cases) {
    EXPECT_FALSE(Parse(file, image, error)) << says;
    EXPECT_NE(error.find(says), std::string::npos) << error;
  }
  EXPECT_FALSE(file.Read("/nonexistent/song.mid", error));
  EXPECT_NE(error.find("/nonexistent/song.mid"), std::string::npos);
}

TEST(SongTimeline, EachNoteSelectsItsSyllableAtItsOwnFrame) {
  const Song song = BuildSong(Compile("tempo 120\nA4 1 か\nB4 1 -\nC5 0.5 さくら\nD5 0.5\nE5 1\n"), 44100.0, true);
  EXPECT_EQ(std::tuple(song.notes, song.sungNotes), std::tuple(5u, 5u));
  // か, held vowel あ, then さ く ら spread over the following notes; each selection comes
  // first in its frame, before the previous note's end and the note that sings it.
  EXPECT_EQ(Timeline(song),
            " 0:p5 0:9045 22050:p0 22050:8045 22050:9047 44100:p10 44100:8047 44100:9048 55125:p7 55125:8048"
            " 55125:904A 66150:p38 66150:804A 66150:904C 88200:804C");
  EXPECT_EQ(song.endFrame, 88200);
}

TEST(SongTimeline, OnlyLyricEventsSing) {
  // A lyric "a" on the first note, a track name "ka" (meta type 3) at the second: the
  // second note holds the vowel of the first.
  const std::string track = Bytes({0x00, 0xFF, 0x05, 0x01, 'a', 0x00, 0x90, 60, 100, 0x60, 0x80, 60, 0, 0x00,
                                   0xFF, 0x03, 0x02, 'k',  'a', 0x00, 0x90, 62, 100, 0x60, 0x80, 62, 0}) +
                            kEnd;
  MidiFile file;
  std::string error;
  ASSERT_TRUE(Parse(file, Smf(0, 96, {track}), error)) << error;
  EXPECT_EQ(Timeline(BuildSong(file, 44100.0, true)), " 0:p0 0:903C 22050:803C 22050:903E 44100:803E");
  // A note before any lyric plays the program it finds; the next tick's lyric is not its.
  const std::string late = Bytes({0x00, 0x90, 60, 100,  0x60, 0xFF, 0x05, 0x02, 'k',  'a', 0x00,
                                  0x80, 60,   0,  0x00, 0x90, 62,   100,  0x60, 0x80, 62,  0}) +
                           kEnd;
  ASSERT_TRUE(Parse(file, Smf(0, 96, {late}), error)) << error;
  EXPECT_EQ(Timeline(BuildSong(file, 44100.0, true)), " 0:903C 22050:p5 22050:803C 22050:903E 44100:803E");
}

// How Chantera sings a lyric line. Legato: a continuation that follows its note without a
// rest comes while that note is held (its note-off just after) under controller 68, with
// no program selection; on the same key the two are one note; after a rest it sings its
// vowel as a note of its own. Portamento: 84 names where each note glides from (its own
// key after a rest), 5 the time of 80 ticks at 480 a quarter at the note's tempo (120:
// 83 ms is 37; 60: 167 ms is 52). Vibrato: 25 cents (1 = 64) from a quarter of a note
// longer than 0.6 s (78, in 10 ms), none on a shorter one.
TEST(SongTimeline, ALyricLineIsSungLegatoWithGlidesAndVibrato) {
  const MidiFile melisma = Compile("tempo 120\nA4 1 か\nB4 1 -\nB4 1 -\nr 1\nC5 1 -\n");
  const MidiFile line = Compile("tempo 120\nA4 3 か\nB4 1 き\nr 1\ntempo 60\nC5 1/2 く\nD5 1/2 け\n");
  // Another track's note between two of the melody: the second glides from the first, but
  // is no legato note (the instrument would carry on the other track's note).
  MidiFile tracks;
  std::string error;
  ASSERT_TRUE(Parse(
      tracks,
      Smf(1, 96,
          {Bytes({0, 0xFF, 5, 1, 'a', 0, 0x90, 60, 100, 0x60, 0x80, 60, 0, 0, 0x90, 62, 100, 0x60, 0x80, 62, 0}) + kEnd,
           Bytes({0x30, 0x91, 48, 100, 0x60, 0x81, 48, 0}) + kEnd}),
      error))
      << error;
  struct Row {
    MidiFile file;
    Singing singing;
    std::string timeline;
  } const rows[] = {
      {melisma,
       {true, false, false},
       " 0:p5 0:9045 22050:c68=127 22050:9047 22050:8045 66150:8047 88200:p0 88200:c68=0 88200:9048 110250:8048"},
      {line,
       {false, true, true},
       " 0:p5 0:c65=127 0:c84=69 0:c76=66 0:c1=64 0:c78=38 0:9045 66150:p6 66150:8045 66150:c5=37 66150:c84=69"
       " 66150:c1=0 66150:9047 88200:8047 110250:p7 110250:c84=72 110250:9048 132300:p8 132300:8048 132300:c5=52"
       " 132300:c84=72 132300:904A 154350:804A"},
      {line,
       {},
       " 0:p5 0:9045 66150:p6 66150:8045 66150:9047 88200:8047 110250:p7 110250:9048 132300:p8 132300:8048"
       " 132300:904A 154350:804A"},
      {tracks,
       {true, true, true},
       " 0:p0 0:c65=127 0:c84=60 0:c76=66 0:c1=0 0:903C 11025:c84=48 11025:9130 22050:803C 22050:c5=37 22050:c84=60"
       " 22050:903E 33075:8130 44100:803E"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(Timeline(BuildSong(row.file, 44100.0, true, nullptr, row.singing)), row.timeline) << row.timeline;
}

TEST(SongSource, CommentsSharpsAndTheBoundsOfEachLine) {
  // '#' right after a note letter is a sharp; anywhere else it starts a comment.
  for (const char* source :
       {"# a song\n  #indented\ntempo 10 # the slowest\nencoding utf-8\nC#4 1 a # sung\n", "tempo 400\nC#4 1\n"}) {
    int key = -1;
    for (const MidiFileEvent& e : Compile(source).events)
      if (e.kind == MidiFileEvent::kChannel && (e.status & 0xF0) == 0x90) key = e.data1;
    EXPECT_EQ(key, 61) << source;
  }
  // A length may be a fraction.
  EXPECT_EQ(Compile("C4 1/2 ka\nD4 1\n").events.back().tick, 720u);
  // Each mistake is told in the user's terms, with its line.
  const std::pair<const char*, const char*> bad[] = {
      {"tempo 9\n", "line 1: tempo needs"},
      {"tempo 401\n", "tempo needs"},
      {"encoding latin-1\n", "encoding is"},
      {"A4 0 a\n", "more than 0 and at most 64 beats"},
      {"A4 65 a\n", "at most 64 beats"},
      {"H4 1 a\n", "\"H4\" is neither a pitch"},
      {"tempi 100\n", "line 1: \"tempi\" is neither a pitch (such as C4, F#3, Bb5), a rest (r) nor a directive"},
      {"C4 1\nC4 1:2 ka\n", "line 2: \"1:2\" is not a length in beats"},
      {"C4 1 ka ki\n", "\"ki\" after the syllable \"ka\": nothing may follow it"},
      {"r 1 ka\n", "\"ka\" after a rest"},
      {"tempo 120 fast\n", "\"fast\" after the tempo"},
      {"", "the song has no notes"},
      {"# only a comment\n", "the song has no notes"}};
  for (const auto& [source, says] : bad) {
    std::string midi, error;
    EXPECT_FALSE(CompileSong(source, midi, error)) << source;
    EXPECT_NE(error.find(says), std::string::npos) << error;
    EXPECT_EQ(error.find("line 0"), std::string::npos) << error;
  }
}

// The phonetic file spells "chi" with the controllers a host sends, and plays no note.
TEST(SongTimeline, PhoneticFileSpellsEachSyllable) {
  const std::string bytes = PhoneticMidi(Compile("tempo 120\nE4 1 chi\n"));
  MidiFile phonetic;
  std::string error;
  ASSERT_TRUE(Parse(phonetic, bytes, error)) << error;
  std::vector<std::pair<int, int>> controllers, expected;
  bool noteOn = false;
  for (const MidiFileEvent& e : phonetic.events) {
    if (e.kind != MidiFileEvent::kChannel) continue;
    if ((e.status & 0xF0) == 0xB0) controllers.emplace_back(e.data1, e.data2);
    noteOn |= (e.status & 0xF0) == 0x90 && e.data2 != 0;
  }
  for (const Midi3& m : PhoneticNote(64, "tSi")) expected.emplace_back(m.data1, m.data2);
  EXPECT_EQ(controllers, expected);
  EXPECT_FALSE(noteOn);
}

}  // namespace
}  // namespace chantera::test
