// The renderer's parts (MIDI files, lyrics, the song timeline) and the chantera-render
// program itself, run as a user would run it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "library/pitch.h"
#include "library/sample.h"
#include "platform/platform.h"
#include "support/fixtures.h"
#include "tools/render/lyrics.h"
#include "tools/render/midi_file.h"
#include "tools/render/midi_writer.h"
#include "tools/render/song.h"
#include "tools/render/song_processes.h"
#include "tools/render/song_source.h"
#include "tools/render/song_threads.h"

namespace chantera::test {
namespace {

using namespace chantera::render;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

std::string Smf(int format, int division, const std::vector<std::string>& tracks) {
  std::string s =
      "MThd" + Bytes({0, 0, 0, 6, 0, format, 0, static_cast<int>(tracks.size()), division >> 8, division & 0xFF});
  for (const std::string& t : tracks) {
    const auto n = static_cast<uint32_t>(t.size());
    s += "MTrk" + Bytes({int(n >> 24), int((n >> 16) & 0xFF), int((n >> 8) & 0xFF), int(n & 0xFF)}) + t;
  }
  return s;
}

const std::string kEnd = Bytes({0x00, 0xFF, 0x2F, 0x00});

bool Parse(MidiFile& file, const std::string& image, std::string& error) {
  return file.Parse(reinterpret_cast<const uint8_t*>(image.data()), image.size(), error);
}

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

MidiFile Compile(const std::string& source) {
  std::string midi, error;
  EXPECT_TRUE(CompileSong(source, midi, error)) << error;
  MidiFile file;
  EXPECT_TRUE(Parse(file, midi, error)) << error;
  return file;
}

// The song's messages in order, each "frame:pN" (a program selection), "frame:SSKK" (a
// MIDI status and key, hex) or "frame:cN=V" (a controller, decimal).
std::string Timeline(const Song& song) {
  std::string timeline;
  for (const TimedMessage& m : song.messages) {
    char text[40];
    if (m.isProgram)
      std::snprintf(text, sizeof text, " %lld:p%d", static_cast<long long>(m.frame), m.program);
    else if ((m.bytes[0] & 0xF0) == 0xB0)
      std::snprintf(text, sizeof text, " %lld:c%d=%d", static_cast<long long>(m.frame), m.bytes[1], m.bytes[2]);
    else
      std::snprintf(text, sizeof text, " %lld:%02X%02X", static_cast<long long>(m.frame), m.bytes[0], m.bytes[1]);
    timeline += text;
  }
  return timeline;
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

// fork and wait played from a script, for a batch of five songs two at a time: fork
// fails at one song; each child ends as its song's row says; the system reports a child
// that is not the batch's first, or loses every child after some waits (ECHILD). A wait
// with no child running would block for ever, and a wait repeated without end is a spin:
// both throw.
struct ScriptedProcesses {
  int failForkAt = -1;
  std::map<size_t, ChildEnd> ends{};  // by song; exit status 0 when not listed
  bool strangerFirst = false;
  int lostAfter = -1;  // waits answered before every wait fails with ECHILD

  std::deque<std::pair<int64_t, size_t>> running{};  // child, song; oldest first
  int started = 0, waits = 0;
  ProcessCalls Calls() {
    return {[this]() -> int64_t {
              if (started == failForkAt) {
                errno = EAGAIN;
                return -1;
              }
              running.emplace_back(1000 + started, size_t(started));
              ++started;
              return 1000 + started - 1;
            },
            [this] {
              if (++waits > 50) throw std::runtime_error("the wait spins");
              if (running.empty()) throw std::runtime_error("a wait with no child running never returns");
              if (strangerFirst && waits == 1) return ChildEnd{.pid = 7};
              if (lostAfter >= 0 && waits > lostAfter) return ChildEnd{.error = ECHILD};
              ChildEnd end = ends.contains(running.front().second) ? ends[running.front().second] : ChildEnd{};
              end.pid = running.front().first;
              running.pop_front();
              return end;
            }};
  }
};

// Songs finish on the calling thread in song order, whichever thread ends first: the
// first song is held until the last one has run.
TEST(SongThreads, EachSongIsFinishedInOrderOnTheCallingThread) {
  std::mutex mutex;
  std::condition_variable othersRan;
  std::vector<size_t> ran, finished;
  const std::thread::id caller = std::this_thread::get_id();
  RunOnThreads(
      4, 3,
      [&](size_t song) {
        std::unique_lock<std::mutex> lock(mutex);
        // Song 0 runs last of all (waiting for every other, not only for song 3: a thread
        // that took song 2 may still be on its way here when song 3 is done).
        if (song == 0) othersRan.wait(lock, [&] { return ran.size() == 3; });
        ran.push_back(song);
        othersRan.notify_all();
      },
      [&](size_t song) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        finished.push_back(song);
      });
  EXPECT_EQ(ran.back(), 0u);
  EXPECT_EQ(finished, (std::vector<size_t>{0, 1, 2, 3}));
}

// Every child started is waited for; no wait spins; a crash, a lost child and a fork that
// fails name their song. The last row forks for real, from a process that ignores SIGCHLD
// (whose children the system would reap unseen).
TEST(SongProcesses, EveryChildIsWaitedForAndEachFaultNamesItsSong) {
  struct Row {
    const char* what;
    ScriptedProcesses script;
    BatchOutcome expected;
    std::vector<std::pair<size_t, std::string>> problems;  // song, what its text says
  };
  const std::vector<Row> rows = {
      {"all rendered", {}, {5, 0, 0}, {}},
      {"a song fails, another crashes",
       {.ends = {{1, ChildEnd{.exitCode = 1}}, {3, ChildEnd{.signal = SIGSEGV}}}},
       {3, 2, 0},
       {{3, "the render crashed (Segmentation fault, signal 11)"}}},
      {"fork fails", {.failForkAt = 3}, {3, 0, 2}, {{3, "nor the 1 songs after it: cannot start a process"}}},
      {"a child of someone else", {.strangerFirst = true}, {5, 0, 0}, {}},
      {"children lost",
       {.lostAfter = 1},
       {1, 4, 0},
       {{1, "could not be waited for (No child processes)"},
        {2, "could not be waited for"},
        {3, "could not be waited for"},
        {4, "could not be waited for"}}},
  };
  for (Row row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::pair<size_t, std::string>> problems;
    BatchOutcome outcome;
    EXPECT_NO_THROW(outcome = RunInChildProcesses(
                        5, 2, [](size_t) { return true; },
                        [&](size_t song, const std::string& text) { problems.emplace_back(song, text); },
                        row.script.Calls()));
    EXPECT_EQ(std::tuple(outcome.succeeded, outcome.failed, outcome.notStarted),
              std::tuple(row.expected.succeeded, row.expected.failed, row.expected.notStarted));
    EXPECT_TRUE(row.script.running.empty() || row.script.lostAfter >= 0) << "children left unwaited for";
    ASSERT_EQ(problems.size(), row.problems.size());
    for (size_t i = 0; i < problems.size(); ++i) {
      EXPECT_EQ(problems[i].first, row.problems[i].first);
      EXPECT_NE(problems[i].second.find(row.problems[i].second), std::string::npos) << problems[i].second;
    }
  }

  const auto previous = std::signal(SIGCHLD, SIG_IGN);
  const BatchOutcome real = RunInChildProcesses(
      3, 2, [](size_t song) { return song != 1; }, [](size_t, const std::string&) {});
  std::signal(SIGCHLD, previous);
  EXPECT_EQ(std::tuple(real.succeeded, real.failed, real.notStarted), std::tuple(2u, 1u, 0u));
}

struct RunResult {
  int status = -1;
  std::string output;
};

// The left channel of a 16-bit file the renderer wrote, read as the instrument reads samples.
std::vector<double> Left(const std::filesystem::path& wav) {
  Sample sample;
  std::vector<double> left;
  if (sample.LoadFromWav(wav.string().c_str()))
    for (uint32_t f = 0; f < sample.ReadableFrames(); ++f) left.push_back(sample.GetValue(f, 0));
  return left;
}

// A plug-in folder of its own: the built plug-in beside a voice whose syllables さ, く and
// ら each sound a tone of their own (300, 400 and 500 Hz at their root, A4) and every other
// one 200 Hz, so that the pitch heard tells which program sang and on which key.
class Renderer : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, hz] : {std::pair{"other", 200.0}, {"sa", 300.0}, {"ku", 400.0}, {"ra", 500.0}}) {
      tones.sampleLines.push_back(std::string(name) + ".wav," + name + ",69");
      tones.files.emplace_back(std::string(name) + ".wav", MakeWav(Pcm16(Sine(200000, hz / 44100.0))));
    }
    const std::map<int, std::string> syllables = {{10, "sa"}, {7, "ku"}, {38, "ra"}};
    for (int p = 0; p <= 38; ++p) {
      const std::string file = syllables.contains(p) ? syllables.at(p) : "other";
      tones.programLines.insert(tones.programLines.end(),
                                {"Program", "P,1.0,2,p" + std::to_string(p), "S,0,127," + file + ".wav", "End"});
    }
    WriteVoiceLibrary(dir, {{"Tones", tones}});
    std::filesystem::copy_file(CHANTERA_PLUGIN_PATH, dir.path() / "Chantera.so");
    plugin = (dir.path() / "Chantera.so").string();
  }
  std::string Song(const std::string& name, const std::string& source) {
    std::string midi, error;
    EXPECT_TRUE(CompileSong(source, midi, error)) << error;
    return dir.Write(name, midi).string();
  }
  std::string Path(const std::string& name) const { return (dir.path() / name).string(); }
  // Runs a tool (chantera-render unless named) on arguments with paths inside dir, after
  // the shell commands before (limits, signals): its exit status (-1 when a signal ended
  // it) and what it printed (standard output and error, or standard output alone).
  RunResult Run(const std::string& arguments, const std::string& before = "",
                const std::string& tool = CHANTERA_RENDER_PATH, bool outputOnly = false) {
    RunResult run;
    FILE* pipe =
        popen((before + " exec " + tool + " " + arguments + (outputOnly ? " 2>/dev/null" : " 2>&1")).c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }
  // Renders song into dir/out with this folder's plug-in: the file (and what it printed in printed).
  std::string Render(const std::string& song, const std::string& out, const std::string& options) {
    const RunResult run = Run(song + " -o " + (dir.path() / out).string() + " --plugin " + plugin + " -q " + options);
    EXPECT_EQ(run.status, 0) << run.output;
    printed = run.output;
    return ReadFile(dir.path() / out);
  }
  VoiceFolder tones{"tones", {}, {}, {}};
  TempDir dir;
  std::string plugin, printed;
};

// Shift-JIS kana sing their syllables in tune; the same file every time, also with the
// Chorus (rebuilt on a thread of its own: the renderer waits for it); FLAC output.
TEST_F(Renderer, SingsEachSyllableInTuneAndTheSameEveryTime) {
  const std::string song = Song("tune.mid", "tempo 60\nencoding shift-jis\nA4 1 さ\nA5 1 く\nE5 1 ら\n");
  const std::string first = Render(song, "tune.wav", "--tail 0");
  const std::vector<double> left = Left(dir.path() / "tune.wav");
  ASSERT_EQ(left.size(), 3u * 44100);
  EXPECT_NEAR(PitchHz(left, 10000, 4410, 44100), 300.0, 1.0);
  EXPECT_NEAR(PitchHz(left, 54100, 4410, 44100), 800.0, 2.0);
  EXPECT_NEAR(PitchHz(left, 98200, 4410, 44100), 749.15, 2.0);
  EXPECT_EQ(Render(song, "tune.wav", "--tail 0"), first);
  const std::string chorus = Render(song, "chorus.flac", "--chorus --tail 1");
  EXPECT_EQ(chorus.substr(0, 4), "fLaC");
  EXPECT_EQ(Render(song, "chorus.flac", "--chorus --tail 1"), chorus);
  // The rebuilt sample, not the recording: the Chorus layers lower copies and echoes.
  EXPECT_NE(Render(song, "plain.flac", "--tail 1"), chorus);
}

// A chord at full velocity clips a 16-bit file: the summary gives the file's own peak
// (full scale), and the warning the level before clipping and the gain that avoids it;
// --gain lowers the level by exactly its dB; a float file keeps what lies beyond.
TEST_F(Renderer, ClippingIsReportedAndGainOrFloatAvoidsIt) {
  const std::string chord =
      Bytes({0, 0x90, 57, 127, 0, 60, 127, 0, 64, 127, 0x60, 0x80, 57, 0, 0, 60, 0, 0, 64, 0}) + kEnd;
  const std::string song = dir.Write("chord.mid", Smf(0, 96, {chord})).string();
  const auto dB = [this](const std::string& after) {  // the level the renderer reported after a text
    const size_t at = printed.find(after);
    return at == std::string::npos ? -999.0 : std::strtod(printed.c_str() + at + after.size(), nullptr);
  };
  Render(song, "loud.wav", "--tail 0");
  const double loud = dB("clipped at full scale (");
  EXPECT_GT(loud, 0.0) << printed;
  EXPECT_EQ(dB("peak "), 0.0) << printed;
  double filePeak = 0.0;
  for (double v : Left(dir.path() / "loud.wav")) filePeak = std::max(filePeak, std::fabs(v));
  EXPECT_GE(filePeak, 32767.0);
  EXPECT_NE(printed.find(" dBFS before clipping), the first at "), std::string::npos) << printed;
  EXPECT_NE(printed.find("--gain -"), std::string::npos) << printed;

  Render(song, "lowered.wav", "--tail 0 --gain -12");
  EXPECT_NEAR(dB("peak "), loud - 12.0, 0.11) << printed;
  EXPECT_EQ(printed.find("clipped"), std::string::npos) << printed;

  const std::string wav = Render(song, "float.wav", "--tail 0 --format float");
  EXPECT_EQ(printed.find("samples clipped"), std::string::npos) << printed;
  EXPECT_NEAR(dB("peak "), loud, 0.06) << printed;
  float largest = 0.0f;
  for (size_t i = wav.find("data") + 8; i + 4 <= wav.size(); i += 4) {
    float v = 0.0f;
    std::memcpy(&v, wav.data() + i, 4);
    largest = std::max(largest, std::fabs(v));
  }
  EXPECT_NEAR(20.0 * std::log10(largest), loud, 0.06);
}

// Songs rendered several at once (on threads of one process) match renders one at a
// time, also with the phonetic protocol, whose spelling state each instance keeps; they
// are told in song order; shares split the songs without overlap.
TEST_F(Renderer, ManySongsAtOnceMatchOneAtATime) {
  std::filesystem::create_directories(dir.path() / "songs" / "more");
  const std::vector<std::pair<std::string, std::string>> songs = {
      {"songs/a.mid", "tempo 120\nA4 1 a\nE5 0.5 a\n"},
      {"songs/more/b.mid", "tempo 90\nmode phonetic\nC5 1 a\nr 0.5\nA4 1 a\n"},
      {"songs/c.mid", "tempo 200\nmode phonetic\nA5 0.5 a\nE5 0.5 a\nA5 2 a\n"}};
  for (const auto& [name, source] : songs) Song(name, source);
  const std::string songsDir = (dir.path() / "songs").string();
  Render(songsDir, "all", "--tail 0.5 --jobs 2");
  const size_t a = printed.find("a.wav: "), c = printed.find("c.wav: "), b = printed.find("b.wav: ");
  EXPECT_TRUE(a < c && c < b && b != std::string::npos) << printed;
  for (const char* share : {"1/2", "2/2"})
    Render(songsDir, std::string("share") + share[0], "--tail 0.5 --shard " + std::string(share));
  for (const auto& [name, source] : songs) {
    const std::filesystem::path wav = std::filesystem::path(name.substr(6)).replace_extension(".wav");
    const std::string alone = Render((dir.path() / name).string(), "alone.wav", "--tail 0.5");
    EXPECT_EQ(ReadFile(dir.path() / "all" / wav), alone) << name;
    // Sorted, the songs are a, c and more/b: the first of two shares takes the first and third.
    const bool first = name != "songs/c.mid";
    EXPECT_EQ(ReadFile(dir.path() / (first ? "share1" : "share2") / wav), alone) << name;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / (first ? "share2" : "share1") / wav)) << name;
  }
}

// A song that is not written whole leaves no file that looks whole, and the file an
// earlier render left keeps its bytes: a render that the file-size limit kills (as a
// crash or an interruption ends it), one whose writes fail (as on a full disk), and the
// songs of a batch that pass the limit, each named while the batch goes on. Without a
// limit the batch writes every file and leaves nothing partial.
TEST_F(Renderer, AFailedSongLeavesNoFileThatLooksWhole) {
  const std::string song = Song("songs/a.mid", "tempo 60\nA4 2 a\nE5 2 a\n");
  Song("songs/more/b.mid", "tempo 60\nA4 3 a\n");
  const std::string songs = (dir.path() / "songs").string();
  const auto out = [this](const char* name) { return " -o " + (dir.path() / name).string(); };
  const std::string options = " --plugin " + plugin + " -q --tail 0";
  const char* limited = "ulimit -f 64;";  // blocks of 512 bytes; a song takes several hundred kB
  struct Row {
    std::string before, arguments;
    const char* file;
    int status;
    const char* says;
  };
  const std::vector<Row> rows = {
      {limited, song + out("a.wav") + options, "a.wav", -1, ""},
      {std::string(limited) + " trap '' XFSZ;", song + out("a.wav") + options, "a.wav", 1, "writing the audio failed"},
      {limited, songs + out("batch") + options, "batch/a.wav", 1, "batch/a.wav: writing the audio failed"},
      {limited, songs + out("batch") + options, "batch/more/b.wav", 1, "batch/more/b.wav: writing the audio failed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.before + row.arguments);
    dir.Write(row.file, "an earlier render");
    const RunResult run = Run(row.arguments, row.before);
    EXPECT_EQ(run.status, row.status) << run.output;
    EXPECT_NE(run.output.find(row.says), std::string::npos) << run.output;
    EXPECT_EQ(ReadFile(dir.path() / row.file), "an earlier render");
    if (row.status == 1 && row.file == std::string("a.wav")) {
      EXPECT_FALSE(std::filesystem::exists(dir.path() / "a.wav.partial"));
    }
  }
  const RunResult whole = Run(songs + out("batch") + options);
  EXPECT_EQ(whole.status, 0) << whole.output;
  EXPECT_EQ(ReadFile(dir.path() / "batch/more/b.wav").substr(0, 4), "RIFF");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path() / "batch"))
    EXPECT_NE(entry.path().extension(), ".partial") << entry.path();
}

// An UTAU project and a MusicXML score sing exactly as the MIDI file of the same song, and
// as the MIDI file --write-midi saves of them; in a folder they render with the rest, and
// a broken entry names its line. A melisma ("-", a note without a lyric) carries the
// recording of its syllable on at its own pitch (ら's 500 Hz tone on F5, not a new note of
// the vowel's 200 Hz one), once its glide of 167 ms is over.
TEST_F(Renderer, SingsScoresAsTheirMidiFile) {
  const std::string expected =
      Render(Song("tune.mid", "tempo 60\nA4 1 さ\nA5 1 く\nE5 1 ら\nF5 1 -\n"), "mid.wav", "--tail 0");
  EXPECT_NEAR(PitchHz(Left(dir.path() / "mid.wav"), 3 * 44100 + 7700, 3000, 44100), 500.0 * std::exp2(8 / 12.0), 2.0);
  std::string ust = "[#VERSION]\nUST Version1.2\n[#SETTING]\nTempo=60.00\n";
  std::string xml =
      "<score-partwise><part-list><score-part id=\"P1\"/></part-list><part id=\"P1\"><measure>"
      "<attributes><divisions>1</divisions></attributes><sound tempo=\"60\"/>";
  for (const auto& [key, step, octave, lyric] :
       {std::tuple{69, "A", 4, "さ"}, std::tuple{81, "A", 5, "く"}, std::tuple{76, "E", 5, "ら"}}) {
    ust += "[#INSERT]\nLength=480\nLyric=" + std::string(lyric) + "\nNoteNum=" + std::to_string(key) + "\n";
    xml += std::string("<note><pitch><step>") + step + "</step><octave>" + std::to_string(octave) +
           "</octave></pitch><duration>1</duration><lyric><text>" + lyric + "</text></lyric></note>";
  }
  ust += "[#INSERT]\nLength=480\nLyric=-\nNoteNum=77\n";
  xml += "<note><pitch><step>F</step><octave>5</octave></pitch><duration>1</duration></note>";
  xml += "</measure></part></score-partwise>";
  dir.Write("songs/a.ust", platform::Utf8ToShiftJis(ust));
  dir.Write("songs/b.musicxml", xml);
  const std::string sung = (dir.path() / "sung.mid").string();
  for (const char* score : {"songs/a.ust", "songs/b.musicxml"}) {
    EXPECT_EQ(Render((dir.path() / score).string(), "score.wav", "--tail 0 --write-midi " + sung), expected) << score;
    EXPECT_EQ(Render(sung, "again.wav", "--tail 0"), expected) << score;
  }
  dir.Write("songs/c.ust", "[#SETTING]\n[#0000]\nLength=480\nLyric=あ\nNoteNum=abc\n");
  const RunResult batch = Run((dir.path() / "songs").string() + " -o " + (dir.path() / "batch").string() +
                              " --plugin " + plugin + " -q --tail 0");
  EXPECT_EQ(batch.status, 1);
  EXPECT_NE(batch.output.find("songs/c.ust:5: NoteNum must be a number from 0 to 127, not \"abc\""), std::string::npos)
      << batch.output;
  EXPECT_EQ(ReadFile(dir.path() / "batch/a.wav"), expected);
  EXPECT_EQ(ReadFile(dir.path() / "batch/b.wav"), expected);
}

// Each tool says what is wrong in the user's terms and exits with the status its usage
// gives (0 done; 1 a song or file failed; 2 wrong arguments); --help is usage on standard
// output with status 0. Nothing is written for a song that fails or for wrong arguments,
// no input is written over, and no folder is made for an output that names a file.
TEST_F(Renderer, EachToolTellsWhatIsWrongAndExitsWithItsStatus) {
  const std::string song = Song("ok.mid", "A4 1 a\n");
  const std::string unsung = Song("unsung.mid", "tempo 120\nA4 1 xyz\nA4 1 sa\n");
  const std::string garbage = dir.Write("garbage.mid", std::string("MThd\x00\x00", 6)).string();
  dir.Write("source.song", "C4 1 ka\n");
  dir.Write("bad.song", "C4 1 xyz\n");
  dir.Write("long.ust", "[#0000]\nLength=300000000\nLyric=あ\nNoteNum=60\n");
  dir.Write("unsung.ust", "[#0000]\nLength=480\nLyric=ヴ\nNoteNum=60\n");
  std::filesystem::create_directories(dir.path() / "empty");
  const std::string x = " -o " + Path("x.wav"), p = " --plugin " + plugin;
  const std::string render = CHANTERA_RENDER_PATH, compose = CHANTERA_COMPOSE_PATH, voice = CHANTERA_VOICE_PATH;
  struct Row {
    const std::string& tool;
    std::string arguments;
    int status;
    std::string says;
    const char* unwritten = "x.wav";  // a file or folder that must not exist afterwards
    bool outputOnly = false;          // says is on standard output
  };
  const std::vector<Row> rows = {
      {render, "/nonexistent.mid" + x + p, 1, "/nonexistent.mid: cannot open"},
      {render, garbage + x + p, 1, "garbage.mid: truncated MThd header"},
      {render, song + x + " --plugin /nonexistent/plugin.so", 1, "/nonexistent/plugin.so: cannot load"},
      {render, song + x + p + " --rate banana", 2, "--rate: not a number"},
      {render, song + x + p + " --timing fast", 2, "--timing takes live or beat, not fast"},
      {render, song + x + p + " --voice 1", 2, "--voice 1: " + Path("voice.csv") + " lists 1 voice: 0 \"Tones\""},
      {render, song + x + p + " --program 200", 2, "--program 200: the plug-in has 129 programs (0 to 128)"},
      {render, song + x + p + " --param 0=5", 2, "--param 0=5: \"Volume\" (parameter 0) takes values from 0 to 1"},
      {render, song + x + p + " --param Loudness=1", 2, "no such parameter; it has 5 parameters: 0 Volume, 1 PB.Range"},
      {render, song + " -o " + song + p, 2, song + " is the input " + song + " itself"},
      {render, song + " --write-phonetic " + song + p, 2, "is the input"},
      {render, song + " --write-midi " + song + p, 2, song + " is the input " + song + " itself"},
      {render, Path("long.ust") + x + p, 1, "long.ust: the song is longer than a MIDI file holds (268435455 ticks)"},
      {render, Path("unsung.ust") + x + p + " --strict", 1,
       "unsung.ust: line 3: error: \"ヴ\" is not a syllable the instrument sings"},
      {render, Path("unsung.ust") + " --write-midi " + Path("x.mid") + " --strict", 1,
       "unsung.ust: no file written: lyrics the instrument cannot sing (--strict)", "x.mid"},
      {render, song + " -o " + Path("x.mp3") + p, 2, "x.mp3: the renderer writes WAV (.wav) and FLAC", "x.mp3"},
      {render, song + x + p + " --format flac", 2, "--format flac writes FLAC, but " + Path("x.wav") + " names a WAV"},
      {render, Path("empty") + " -o " + Path("x2.wav") + p, 2, "x2.wav: several songs are written into a folder",
       "x2.wav"},
      {render, Path("empty") + " -o " + Path("x2") + "/" + p, 1, "empty: no songs (.mid", "x2"},
      {render, song + x + p + " --shard 2/2", 0, "share 2 of 2 holds none of the 1 song; nothing to render"},
      {render, unsung + x + p + " --strict", 1,
       "unsung.mid: track 1, tick 0 (0.00 s): error: \"xyz\" is not a syllable the instrument sings"},
      {render, song + x + p + " --gain -120", 1, "ok.mid: no file written: the render is silent (peak -1"},
      {render, "--help", 0, "usage: chantera-render", nullptr, true},
      {compose, "-h", 0, "  --strict ", nullptr, true},
      {compose, Path("source.song"), 2, "no output file"},
      {compose, Path("source.song") + " -o " + Path("source.song"), 2, "is the song file itself"},
      {compose, Path("bad.song") + " -o " + Path("x.mid") + " --strict", 1, "bad.song: line 1: error: \"xyz\"",
       "x.mid"},
      {compose, Path("empty") + " -o " + Path("x.mid"), 1, "empty: a folder, not a song file", "x.mid"},
      {voice, "check --help", 0, "usage: chantera-voice check", nullptr, true},
      {voice, "loop " + Path("nosuch.wav") + " 1 2", 1, "nosuch.wav: no such file", nullptr},
  };
  const std::string before = ReadFile(song);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    for (const char* made : {"x.wav", "x.mp3", "x.mid", "x2.wav", "x2"}) std::filesystem::remove_all(dir.path() / made);
    dir.Write("ok.mid", before);
    const RunResult run = Run(row.arguments, "", row.tool, row.outputOnly);
    EXPECT_EQ(run.status, row.status) << run.output;
    EXPECT_NE(run.output.find(row.says), std::string::npos) << run.output;
    if (row.unwritten != nullptr) {
      EXPECT_FALSE(std::filesystem::exists(dir.path() / row.unwritten));
    }
    EXPECT_EQ(ReadFile(song), before);
  }
  // Without --strict the same song renders, and says what it did with the lyric.
  const RunResult sung = Run(unsung + x + p);
  EXPECT_EQ(sung.status, 0) << sung.output;
  EXPECT_NE(sung.output.find("warning: \"xyz\" is not a syllable the instrument sings; skipped"), std::string::npos)
      << sung.output;
}

// When the instrument cannot read a file of the voice a song sings with, the song fails
// (status 1, no file) and the renderer names the file behind each of the instrument's
// messages, once per voice however many songs: a deleted recording, a missing voice.csv,
// a voice chosen with --voice. A voice the song does not sing with does not fail it.
// Two songs of one batch select, on threads side by side, voices that fail differently:
// each is told with its own message, and a third song, on voice 0, is not blamed.
TEST_F(Renderer, EachSongOfABatchIsToldOnlyItsOwnMessages) {
  VoiceFolder other{"other", {"o.wav,o,69"}, {"Program", "P,1.0,2,o", "S,0,127,o.wav", "End"}, {}};
  VoiceFolder third = other;
  third.folder = "third";
  third.files = {{"o.wav", MakeWav(Pcm16(Sine(100000, 300 / 44100.0)))}};
  WriteVoiceLibrary(dir, {{"Tones", tones}, {"Other", other}, {"Third", third}});
  std::filesystem::remove(dir.path() / "third" / "programs.txt");
  const auto selecting = [this](const std::string& name, int voice) {
    const std::string select = voice > 0 ? Bytes({0, 0xB0, 0, 100, 0, 0xB0, 32, voice}) : "";
    dir.Write("songs/" + name, Smf(0, 96, {select + Bytes({0, 0x90, 69, 100, 0x60, 0x80, 69, 0}) + kEnd}));
  };
  selecting("a.mid", 1);  // o.wav missing
  selecting("b.mid", 2);  // programs.txt missing
  selecting("c.mid", 0);
  const RunResult run = Run(Path("songs") + " -o " + Path("batch") + " -q --tail 0 --jobs 2 --plugin " + plugin);
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("1 of 3 songs rendered"), std::string::npos) << run.output;
  const std::string wave = "Error: Wave file load failed.", program = "third/programs.txt Program file load failed.";
  const size_t waveAt = run.output.find(wave), programAt = run.output.find(program);
  const size_t aFailed = run.output.find("a.mid: no file written"), bFailed = run.output.find("b.mid: no file written");
  EXPECT_TRUE(waveAt < aFailed && aFailed < programAt && programAt < bFailed && bFailed != std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find(wave, waveAt + 1), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find(program, programAt + 1), std::string::npos) << run.output;
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "batch" / "c.wav")) << run.output;
}

// A voice chosen with --voice sings its own recordings from the first note, also in a
// song without lyrics: program 0, or the one --program chooses, of that voice. Its list
// starts with a recording of 600 Hz that only its program 7 plays, so that the key map
// of the first voice would sing it (or nothing) there.
TEST_F(Renderer, AVoiceTheInstrumentCannotReadFailsItsSongsAndIsNamedOnce) {
  VoiceFolder other{
      "other",
      {"x.wav,x,69", "o.wav,o,69"},
      {},
      {{"x.wav", MakeWav(Pcm16(Sine(100000, 600 / 44100.0)))}, {"o.wav", MakeWav(Pcm16(Sine(100000, 300 / 44100.0)))}}};
  for (int p = 0; p <= 38; ++p)
    other.programLines.insert(other.programLines.end(),
                              {"Program", "P,1.0,2,o", std::string("S,0,127,") + (p == 7 ? "x" : "o") + ".wav", "End"});
  const std::string songs = Path("songs"), options = " -q --tail 0 --plugin " + plugin;
  const std::string one = Song("songs/a.mid", "tempo 120\nA4 1 sa\n");
  Song("songs/b.mid", "tempo 120\nA4 1 ku\n");
  const std::string plain =
      dir.Write("plain.mid", Smf(0, 96, {Bytes({0, 0x90, 69, 100, 0x60, 0x80, 69, 0}) + kEnd})).string();
  struct Row {
    const char* removed;  // the file deleted from the library
    std::string arguments;
    int status;
    std::vector<std::string> says;
    std::string once;  // said exactly once
    double hz = 0.0;   // the pitch a.wav sings, when it is written
  };
  const std::vector<Row> rows = {
      {"tones/sa.wav",
       one + " -o " + Path("a.wav"),
       1,
       {"Error: Wave file load failed.", "a.mid: no file written: the instrument could not read every file of voice 0"},
       Path("tones/samples.txt") +
           ":2: error: \"sa.wav\": no such file; the instrument shows \"Wave file load failed.\""},
      {"tones/sa.wav",
       songs + " -o " + Path("batch"),
       1,
       {"0 of 2 songs rendered", "songs/a.mid: no file written", "songs/b.mid: no file written"},
       "samples.txt:2: error: \"sa.wav\": no such file"},
      {"tones/sa.wav",
       songs + " -o " + Path("batch"),
       1,
       {"songs/b.mid: no file written"},
       "Error: Wave file load failed."},
      {"voice.csv",
       one + " -o " + Path("a.wav"),
       1,
       {"Errr: GetVoiceList\xE3\x81\xA7\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC"},
       Path("voice.csv") + ": error: missing or unreadable"},
      {"other/o.wav",
       one + " -o " + Path("a.wav") + " --voice 1",
       1,
       {"Error: Wave file load failed.", "could not read every file of voice 1"},
       "other/samples.txt:2: error"},
      {"other/o.wav",
       songs + " -o " + Path("batch") + " --voice 1",
       1,
       {"0 of 2 songs rendered"},
       "other/samples.txt:2: error"},
      {"tones/sa.wav", one + " -o " + Path("a.wav") + " --voice 1", 0, {}, "a.wav: 0.50 s, peak", 300.0},
      {"tones/ra.wav", plain + " -o " + Path("a.wav") + " --voice 1", 0, {}, "a.wav: 0.50 s, peak", 300.0},
      {"tones/ra.wav", plain + " -o " + Path("a.wav") + " --voice 1 --program 7", 0, {}, "a.wav: 0.50 s", 600.0},
      {"other/x.wav", plain + " -o " + Path("a.wav") + " --program 7", 0, {}, "a.wav: 0.50 s", 400.0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    std::filesystem::remove_all(dir.path() / "batch");
    std::filesystem::remove(dir.path() / "a.wav");
    WriteVoiceLibrary(dir, {{"Tones", tones}, {"Other", other}});
    std::filesystem::remove(dir.path() / row.removed);
    const RunResult run = Run(row.arguments + options);
    EXPECT_EQ(run.status, row.status) << run.output;
    for (const std::string& says : row.says) EXPECT_NE(run.output.find(says), std::string::npos) << says << run.output;
    size_t count = 0;
    for (size_t at = run.output.find(row.once); at != std::string::npos; at = run.output.find(row.once, at + 1))
      ++count;
    EXPECT_EQ(count, 1u) << row.once << "\n" << run.output;
    EXPECT_EQ(std::filesystem::exists(dir.path() / "a.wav"), row.status == 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "batch" / "a.wav"));
    if (row.hz > 0.0) {
      EXPECT_NEAR(PitchHz(Left(dir.path() / "a.wav"), 4410, 4410, 44100), row.hz, 1.0);
    }
  }
}

// A plug-in's reported latency is compensated as a DAW does: the stand-in's notes (steps
// of their velocity, late by its latency) land on their own frames and the file has the
// song's length, alone and in batches (threads for Chantera, processes for others).
// Chantera's Timing controller goes to Chantera only: before the song ("beat" unless
// --timing says "live"), and a song's own is withheld from it but not from others (whose
// latency it changes here: the render says so). So do the controllers that sing a lyric
// line legato, with glides and vibrato (less under --no-portamento and --vibrato off).
// Chantera's own latency under "beat" is compensated the same way.
TEST_F(Renderer, ALatencyIsCompensatedAndChanterasControllersReachItOnly) {
  const std::string song = Song("songs/a.mid", "tempo 60\nA4 1 a\nr 1\nA4 1 a\n");
  const std::string timed =
      dir.Write("timed.mid", Smf(0, 96, {Bytes({0, 0xB3, 85, 0, 0, 0x90, 69, 100, 0x60, 0x80, 69, 0}) + kEnd}))
          .string() +
      " -o " + Path("a.wav");
  const std::string standIn = std::string(" --plugin ") + CHANTERA_STANDIN_PATH + " -q --tail 0";
  const std::string chantera = "export CHANTERA_STANDIN_CHANTERA=1;";
  const auto latency = [](int frames) { return "export CHANTERA_STANDIN_LATENCY=" + std::to_string(frames) + ";"; };
  // The steps of the file's left channel: the frames where the sound starts or stops.
  const auto steps = [](const std::vector<double>& left) {
    std::vector<size_t> at;
    for (size_t f = 0; f < left.size(); ++f)
      if ((left[f] != 0.0) != (f > 0 && left[f - 1] != 0.0)) at.push_back(f);
    return at;
  };
  const RunResult reference = Run(song + " -o " + Path("reference.wav") + standIn);
  ASSERT_EQ(reference.status, 0) << reference.output;
  const std::vector<double> left = Left(dir.path() / "reference.wav");
  EXPECT_EQ(left.size(), 3u * 44100);
  EXPECT_EQ(steps(left), (std::vector<size_t>{0, 44100, 88200}));
  struct Row {
    std::string before, arguments;
    int status;
    std::vector<std::string> says;
    const char* written = nullptr;        // the file that matches the reference
    std::vector<std::string> never = {};  // not said
  };
  const std::string a = song + " -o " + Path("a.wav"), batch = Path("songs") + " -o " + Path("batch");
  const std::string melisma = Song("melisma.mid", "tempo 60\nA4 1 a\nB4 1 -\n") + " -o " + Path("m.wav");
  const std::vector<Row> rows = {
      {latency(1000), a + " --block 300", 0, {}, "a.wav", {"controller"}},
      {latency(1000), batch, 0, {"1 of 1 song rendered"}, "batch/a.wav", {"controller"}},
      {chantera + latency(1000), a, 0, {"stand-in: controller 85 = 127"}, "a.wav"},
      {chantera + latency(1000), batch + " --timing beat", 0, {"stand-in: controller 85 = 127"}, "batch/a.wav"},
      {chantera + latency(1000), a + " --timing live", 0, {"stand-in: controller 85 = 0"}, "a.wav", {"85 = 127"}},
      {chantera, timed, 0, {"timed.mid: controller 85 (Chantera's Timing) withheld once"}, {}, {"= 0"}},
      // How Chantera sings a lyric line, and nothing of it for another instrument.
      {chantera,
       melisma,
       0,
       {"controller 68 = 127", "controller 65 = 127", "controller 84 = 69", "controller 5 = 52", "controller 76 = 66",
        "controller 1 = 64", "controller 78 = 25"}},
      {chantera,
       melisma + " --no-portamento --vibrato off",
       0,
       {"controller 68 = 127"},
       {},
       {"controller 65", "controller 84", "controller 5 ", "controller 76", "controller 1 ", "controller 78"}},
      {{}, melisma, 0, {}, {}, {"controller"}},
      {chantera, melisma + " --vibrato on", 2, {"--vibrato takes off or auto, not on"}},
      {latency(1000), timed, 0, {"stand-in: controller 85 = 0", "changed its latency during the song, from 1000 to 0"}},
      {latency(1000), a + " --timing beat", 2, {"--timing is Chantera's setting; Stand-in has none"}},
      {latency(-5), a, 1, {"a.mid: no file written: the plug-in reports a latency (initialDelay) of -5 frames"}},
      {latency(441001), a, 1, {"of 441001 frames; a latency the renderer can compensate lies within 0 and 10 s"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.before + row.arguments);
    std::filesystem::remove_all(dir.path() / "batch");
    std::filesystem::remove(dir.path() / "a.wav");
    const RunResult run = Run(row.arguments + standIn, row.before);
    EXPECT_EQ(run.status, row.status) << run.output;
    for (const std::string& says : row.says) EXPECT_NE(run.output.find(says), std::string::npos) << says << run.output;
    for (const std::string& never : row.never)
      EXPECT_EQ(run.output.find(never), std::string::npos) << never << run.output;
    if (row.written != nullptr) {
      EXPECT_EQ(ReadFile(dir.path() / row.written), ReadFile(dir.path() / "reference.wav"));
    }
    if (row.status != 0) {
      EXPECT_FALSE(std::filesystem::exists(dir.path() / "a.wav"));
    }
  }
  // Chantera itself: a recording whose vowel starts 100 ms in sounds from 100 ms before its
  // note under "beat" (the default), so that its vowel is on the note; from the note under "live".
  dir.Write("tones/oto.ini", "sa.wav=sa,0,100,0,100,30\r\n");
  const std::string sung = Song("sung.mid", "tempo 60\nr 1\nA4 1 sa\n");
  for (const auto& [timing, onset] : {std::pair{"", 44100 - 4410}, {" --timing live", 44100}}) {
    Render(sung, "sung.wav", std::string("--tail 0") + timing);
    const std::vector<double> sound = Left(dir.path() / "sung.wav");
    EXPECT_EQ(sound.size(), 2u * 44100) << timing;
    EXPECT_NEAR(static_cast<double>(steps(sound).at(0)), onset, 1.0) << timing;
  }
}

TEST_F(Renderer, WorksWithAThirdPartyInstrument) {
  const char* amsynth = "/usr/lib/vst/amsynth_vst.so";
  if (!std::filesystem::exists(amsynth)) GTEST_SKIP() << "amsynth's VST 2 build is not installed";
  plugin = amsynth;
  // amsynth leaks a few objects of its own, which LeakSanitizer reports at the renderer's
  // exit in the sanitizer stage: not the renderer's to answer for.
  const char* asanOptions = std::getenv("ASAN_OPTIONS");
  const std::string savedOptions = asanOptions != nullptr ? asanOptions : "";
  setenv("ASAN_OPTIONS", (savedOptions + (savedOptions.empty() ? "" : ":") + "detect_leaks=0").c_str(), 1);
  Render(Song("third.mid", "tempo 120\nA3 1 a\nC4 1 a\n"), "third.wav", "--tail 1");
  setenv("ASAN_OPTIONS", savedOptions.c_str(), 1);
  double peak = 0.0;
  for (double v : Left(dir.path() / "third.wav")) peak = std::max(peak, std::fabs(v));
  EXPECT_GT(peak, 100.0);
}

}  // namespace
}  // namespace chantera::test
