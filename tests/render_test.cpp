// The renderer's parts (MIDI files, lyrics, the song timeline) and the chantera-render
// program itself, run as a user would run it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "support/fixtures.h"
#include "tools/render/lyrics.h"
#include "tools/render/midi_file.h"
#include "tools/render/midi_writer.h"
#include "tools/render/song.h"
#include "tools/render/song_source.h"

namespace chantera::test {
namespace {

using namespace chantera::render;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// A file image from raw track bodies.
std::string Smf(int format, int division, const std::vector<std::string>& tracks) {
  std::string s =
      "MThd" + Bytes({0, 0, 0, 6, 0, format, 0, static_cast<int>(tracks.size()), division >> 8, division & 0xFF});
  for (const std::string& t : tracks) {
    const auto n = static_cast<uint32_t>(t.size());
    s += "MTrk" +
         Bytes({static_cast<int>(n >> 24), static_cast<int>((n >> 16) & 0xFF), static_cast<int>((n >> 8) & 0xFF),
                static_cast<int>(n & 0xFF)}) +
         t;
  }
  return s;
}

bool Parse(MidiFile& file, const std::string& image, std::string& error) {
  return file.Parse(reinterpret_cast<const uint8_t*>(image.data()), image.size(), error);
}

TEST(MidiFileReader, RunningStatusAndTempoChanges) {
  // Tempo 500000 at 0, note on, running-status note on 480 ticks later, tempo 250000 at
  // 960, a note off at 1440.
  const std::string track =
      Bytes({0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0x90, 60,   100, 0x83, 0x60, 64,   90,   0x83,
             0x60, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90, 0x83, 0x60, 0x80, 60,  0,    0x00, 0xFF, 0x2F, 0x00});
  MidiFile file;
  std::string error;
  ASSERT_TRUE(Parse(file, Smf(0, 480, {track}), error)) << error;
  ASSERT_EQ(file.events.size(), 6u);
  EXPECT_EQ(file.events[2].tick, 480u);
  EXPECT_EQ(file.events[2].status, 0x90);
  EXPECT_EQ(file.events[2].data1, 64);
  EXPECT_DOUBLE_EQ(file.SecondsAt(480), 0.5);
  EXPECT_DOUBLE_EQ(file.SecondsAt(960), 1.0);
  EXPECT_DOUBLE_EQ(file.SecondsAt(1440), 1.25);  // twice as fast after the change
}

TEST(MidiFileReader, FormatOneMergesTracksInOrder) {
  const std::string conductor = Bytes({0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40, 0x00, 0xFF, 0x2F, 0x00});
  const std::string melody = Bytes({0x00, 0xFF, 0x05, 0x02, 'k',  'a',  0x00, 0x91, 62,   80,   0x60, 0x81,
                                    62,   0x00, 0x00, 0xF0, 0x02, 0x7E, 0xF7, 0x00, 0xFF, 0x2F, 0x00});
  MidiFile file;
  std::string error;
  ASSERT_TRUE(Parse(file, Smf(1, 96, {conductor, melody}), error)) << error;
  EXPECT_EQ(file.trackCount, 2);
  EXPECT_DOUBLE_EQ(file.SecondsAt(96), 1.0);  // 1 s per quarter
  ASSERT_GE(file.events.size(), 5u);
  EXPECT_EQ(file.events[1].kind, MidiFileEvent::kMeta);  // the conductor's end of track at tick 0
  EXPECT_EQ(file.events[2].bytes, "ka");
}

TEST(MidiFileReader, MalformedFilesSayWhatIsWrong) {
  MidiFile file;
  std::string error;
  EXPECT_FALSE(Parse(file, "RIFF....", error));
  EXPECT_NE(error.find("MThd"), std::string::npos);
  EXPECT_FALSE(Parse(file, Smf(2, 480, {Bytes({0x00, 0xFF, 0x2F, 0x00})}), error));
  EXPECT_NE(error.find("format 2"), std::string::npos);
  EXPECT_FALSE(Parse(file, Smf(0, 480, {Bytes({0x00, 60, 100})}), error));  // data byte, no status
  EXPECT_NE(error.find("running status"), std::string::npos);
  EXPECT_FALSE(Parse(file, Smf(0, 480, {Bytes({0x00, 0x90, 60})}), error));  // cut in the middle
  EXPECT_NE(error.find("truncated"), std::string::npos);
  std::string cut = Smf(0, 480, {Bytes({0x00, 0x90, 60, 100, 0x00, 0xFF, 0x2F, 0x00})});
  cut.resize(cut.size() - 3);
  EXPECT_FALSE(Parse(file, cut, error));
  EXPECT_NE(error.find("claims"), std::string::npos);
  EXPECT_FALSE(Parse(file, Smf(0, 480, {Bytes({0x00, 0xFF, 0x05, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F})}), error));
  EXPECT_FALSE(file.Read("/nonexistent/song.mid", error));
  EXPECT_NE(error.find("/nonexistent/song.mid"), std::string::npos);
}

TEST(MidiFileReader, SmpteTimeBase) {
  MidiFile file;
  std::string error;
  // 25 frames per second, 40 ticks per frame: 1000 ticks per second.
  ASSERT_TRUE(Parse(file, Smf(0, (0xE7 << 8) | 40, {Bytes({0x00, 0xFF, 0x2F, 0x00})}), error)) << error;
  EXPECT_DOUBLE_EQ(file.SecondsAt(1500), 1.5);
  // 23 frames per second, or no ticks per frame: no time base.
  for (int division : {(0xE9 << 8) | 40, 0xE700}) {
    EXPECT_FALSE(Parse(file, Smf(0, division, {Bytes({0x00, 0xFF, 0x2F, 0x00})}), error)) << division;
    EXPECT_EQ(error, "invalid SMPTE time division");
  }
}

std::vector<int32_t> Programs(const std::string& lyric) {
  std::vector<int32_t> programs;
  for (const Syllable& s : LyricSyllables(lyric)) programs.push_back(s.program);
  return programs;
}

TEST(Lyrics, KanaKatakanaRomajiAndShiftJisAgree) {
  const std::vector<int32_t> sakura = {10, 7, 38};
  EXPECT_EQ(Programs("さくら"), sakura);
  EXPECT_EQ(Programs("サクラ"), sakura);
  EXPECT_EQ(Programs("sakura"), sakura);
  EXPECT_EQ(Programs("SaKuRa"), sakura);
  EXPECT_EQ(Programs("\x82\xb3\x82\xad\x82\xe7"), sakura);  // さくら in Shift-JIS
}

TEST(Lyrics, ContractedSoundsMoraicNasalAndLongVowels) {
  EXPECT_EQ(Programs("きゃ"), std::vector<int32_t>{70});
  EXPECT_EQ(Programs("kya"), std::vector<int32_t>{70});
  EXPECT_EQ(Programs("chi tsu fu shi"), (std::vector<int32_t>{16, 17, 27, 11}));
  EXPECT_EQ(Programs("konnichiwa"), (std::vector<int32_t>{9, 44, 21, 16, 43}));
  EXPECT_EQ(Programs("hon"), (std::vector<int32_t>{29, 44}));
  EXPECT_EQ(Programs("かー"), (std::vector<int32_t>{5, 0}));
  EXPECT_EQ(Programs("ji"), std::vector<int32_t>{51});
  EXPECT_TRUE(Programs("@KMIDI KARAOKE FILE").empty());
  EXPECT_EQ(Programs("/ka\\ki"), (std::vector<int32_t>{5, 6}));
}

// A lyric song compiled from its readable source, as the examples are.
MidiFile Compile(const std::string& source) {
  std::string midi, error;
  EXPECT_TRUE(CompileSong(source, midi, error)) << error;
  MidiFile file;
  EXPECT_TRUE(file.Parse(reinterpret_cast<const uint8_t*>(midi.data()), midi.size(), error)) << error;
  return file;
}

TEST(SongTimeline, EachNoteSelectsItsSyllableAtItsOwnFrame) {
  const MidiFile file = Compile("tempo 120\nA4 1 か\nB4 1 -\nC5 0.5 さくら\nD5 0.5\nE5 1\n");
  const Song song = BuildSong(file, 44100.0, true);
  EXPECT_EQ(song.notes, 5u);
  EXPECT_EQ(song.sungNotes, 5u);
  std::vector<std::pair<int64_t, int32_t>> selections;
  for (const TimedMessage& m : song.messages)
    if (m.isProgram) selections.emplace_back(m.frame, m.program);
  // か, held vowel あ, then さ く ら spread over the following notes.
  const std::vector<std::pair<int64_t, int32_t>> expected = {{0, 5}, {22050, 0}, {44100, 10}, {55125, 7}, {66150, 38}};
  EXPECT_EQ(selections, expected);
  for (size_t i = 0; i + 1 < song.messages.size(); ++i) {
    EXPECT_LE(song.messages[i].frame, song.messages[i + 1].frame);
    if (!song.messages[i].isProgram) continue;
    // The selection comes first in its frame, before the previous note's end and the note
    // that sings it.
    EXPECT_TRUE(i == 0 || song.messages[i - 1].frame < song.messages[i].frame);
    bool noteFollows = false;
    for (size_t k = i + 1; k < song.messages.size() && song.messages[k].frame == song.messages[i].frame; ++k)
      noteFollows |= song.messages[k].bytes[0] == 0x90;
    EXPECT_TRUE(noteFollows);
  }
  EXPECT_EQ(song.endFrame, 88200);
}

TEST(SongTimeline, OnlyLyricEventsSing) {
  // A lyric "a" on the first note, a track name "ka" (meta type 3) at the second: the
  // second note holds the vowel of the first.
  const std::string track =
      Bytes({0x00, 0xFF, 0x05, 0x01, 'a',  0x00, 0x90, 60,   100,  0x60, 0x80, 60,   0,    0x00, 0xFF, 0x03,
             0x02, 'k',  'a',  0x00, 0x90, 62,   100,  0x60, 0x80, 62,   0,    0x00, 0xFF, 0x2F, 0x00});
  MidiFile file;
  std::string error;
  ASSERT_TRUE(Parse(file, Smf(0, 96, {track}), error)) << error;
  std::vector<int32_t> programs;
  for (const TimedMessage& m : BuildSong(file, 44100.0, true).messages) {
    if (m.isProgram) programs.push_back(m.program);
  }
  EXPECT_EQ(programs, std::vector<int32_t>{0});  // one selection: the second note keeps it
}

TEST(SongSource, CommentsSharpsAndTheBoundsOfEachLine) {
  // '#' right after a note letter is a sharp; anywhere else it starts a comment.
  for (const char* source :
       {"# a song\n  #indented\ntempo 10 # the slowest\nencoding utf-8\nC#4 1 a # sung\n", "tempo 400\nC#4 1\n"}) {
    const MidiFile file = Compile(source);
    int key = -1;
    for (const MidiFileEvent& e : file.events) {
      if (e.kind == MidiFileEvent::kChannel && (e.status & 0xF0) == 0x90) key = e.data1;
    }
    EXPECT_EQ(key, 61) << source;
  }
  for (const char* bad : {"tempo 9\n", "tempo 401\n", "encoding latin-1\n", "A4 0 a\n", "A4 65 a\n"}) {
    std::string midi, error;
    EXPECT_FALSE(CompileSong(bad, midi, error)) << bad;
  }
}

TEST(SongTimeline, PhoneticFileSpellsEachSyllable) {
  const MidiFile file = Compile("tempo 120\nE4 1 chi\n");
  const std::string bytes = PhoneticMidi(file);
  MidiFile phonetic;
  std::string error;
  ASSERT_TRUE(phonetic.Parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), error)) << error;
  std::vector<std::pair<int, int>> controllers;
  bool noteOn = false;
  for (const MidiFileEvent& e : phonetic.events) {
    if (e.kind != MidiFileEvent::kChannel) continue;
    if ((e.status & 0xF0) == 0xB0) controllers.emplace_back(e.data1, e.data2);
    noteOn |= (e.status & 0xF0) == 0x90 && e.data2 != 0;
  }
  const std::vector<std::pair<int, int>> expected = {{99, 80}, {98, 2},  {6, 64},  {98, 19},  {6, 't'}, {98, 20},
                                                     {6, 'S'}, {98, 21}, {6, 'i'}, {98, 127}, {6, 127}};
  EXPECT_EQ(controllers, expected);
  EXPECT_FALSE(noteOn);
}

// ---- chantera-render, the program ----------------------------------------------------------

struct RunResult {
  int status = -1;
  std::string output;
};

RunResult RunRender(const std::string& arguments) {
  RunResult run;
  FILE* pipe = popen((std::string(CHANTERA_RENDER_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Interleaved 16-bit stereo frames of a WAV file written by the renderer.
std::vector<int16_t> WavFrames(const std::string& wav) {
  const size_t data = wav.find("data");
  std::vector<int16_t> values;
  if (data == std::string::npos) return values;
  for (size_t i = data + 8; i + 1 < wav.size(); i += 2)
    values.push_back(static_cast<int16_t>(static_cast<uint8_t>(wav[i]) | (static_cast<uint8_t>(wav[i + 1]) << 8)));
  return values;
}

// Frequency of the left channel around a frame, by the zero crossings of a pure tone.
double ToneFrequency(const std::vector<int16_t>& frames, size_t from, size_t count, double rate) {
  int crossings = 0;
  size_t first = 0, last = 0;
  for (size_t f = from + 1; f < from + count && 2 * f < frames.size(); ++f)
    if (frames[2 * (f - 1)] < 0 && frames[2 * f] >= 0) {
      if (crossings == 0) first = f;
      last = f;
      ++crossings;
    }
  return crossings > 1 ? rate * (crossings - 1) / static_cast<double>(last - first) : 0.0;
}

class Renderer : public ::testing::Test {
 protected:
  void SetUp() override {
    // A plug-in folder of its own: the built plug-in beside a voice of one pure tone.
    WriteSingleSampleVoice(dir, Sine(200000, 440.0 / 44100.0), 69);
    std::filesystem::copy_file(CHANTERA_PLUGIN_PATH, dir.path() / "Chantera.so");
    plugin = (dir.path() / "Chantera.so").string();
  }
  std::string Song(const std::string& name, const std::string& source) {
    std::string midi, error;
    EXPECT_TRUE(CompileSong(source, midi, error)) << error;
    return dir.Write(name, midi).string();
  }
  TempDir dir;
  std::string plugin;
};

TEST_F(Renderer, PlaysEachNoteInTuneAndTheSameEveryTime) {
  const std::string song = Song("tune.mid", "tempo 60\nA4 1 a\nA5 1 a\nE5 1 a\n");
  const std::string out = (dir.path() / "tune.wav").string();
  RunResult run = RunRender(song + " -o " + out + " --plugin " + plugin + " --tail 0 -q");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string first = ReadFile(out);
  const std::vector<int16_t> frames = WavFrames(first);
  ASSERT_EQ(frames.size(), 2u * 3 * 44100);
  EXPECT_NEAR(ToneFrequency(frames, 10000, 20000, 44100), 440.0, 1.0);
  EXPECT_NEAR(ToneFrequency(frames, 54100, 20000, 44100), 880.0, 2.0);
  EXPECT_NEAR(ToneFrequency(frames, 98200, 20000, 44100), 659.26, 2.0);
  run = RunRender(song + " -o " + out + " --plugin " + plugin + " --tail 0 -q");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadFile(out), first);
}

// A voice whose syllables さ, く and ら each sound a tone of their own on every key, so
// that the pitch heard tells which program sang.
class LyricRenderer : public Renderer {
 protected:
  void SetUp() override {
    VoiceFolder voice;
    voice.folder = "tones";
    const std::map<int, std::pair<std::string, double>> tones = {
        {10, {"sa.wav", 300.0}}, {7, {"ku.wav", 400.0}}, {38, {"ra.wav", 500.0}}};
    voice.sampleLines = {"other.wav,other,69"};
    voice.files = {{"other.wav", MakeWav(Pcm16(Sine(200000, 200.0 / 44100.0)))}};
    for (const auto& [program, tone] : tones) {
      voice.sampleLines.push_back(tone.first + "," + tone.first + ",69");
      voice.files.emplace_back(tone.first, MakeWav(Pcm16(Sine(200000, tone.second / 44100.0))));
    }
    for (int program = 0; program <= 38; ++program) {
      const auto tone = tones.find(program);
      const std::string file = tone != tones.end() ? tone->second.first : "other.wav";
      voice.programLines.insert(voice.programLines.end(),
                                {"Program", "P,1.0,2,p" + std::to_string(program), "S,0,127," + file, "End"});
    }
    WriteVoiceLibrary(dir, {{"Tones", voice}});
    std::filesystem::copy_file(CHANTERA_PLUGIN_PATH, dir.path() / "Chantera.so");
    plugin = (dir.path() / "Chantera.so").string();
  }
};

// Kana lyrics in Shift-JIS sing their syllables (romaji and UTF-8 lyrics reach the same
// programs, as the lyric tests show).
TEST_F(LyricRenderer, KanaLyricsSingTheirSyllables) {
  const std::string song = Song("lyric.mid", "tempo 60\nencoding shift-jis\nA4 1 さ\nA4 1 く\nA4 1 ら\n");
  const std::string out = (dir.path() / "lyric.wav").string();
  const RunResult run = RunRender(song + " -o " + out + " --plugin " + plugin + " --tail 0 -q");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::vector<int16_t> frames = WavFrames(ReadFile(out));
  EXPECT_NEAR(ToneFrequency(frames, 5000, 30000, 44100), 300.0, 1.0);
  EXPECT_NEAR(ToneFrequency(frames, 49100, 30000, 44100), 400.0, 1.0);
  EXPECT_NEAR(ToneFrequency(frames, 93200, 30000, 44100), 500.0, 1.0);
}

// The Chorus rebuild runs on a thread of its own; the renderer waits for it before the
// song starts, so a Chorus render is as repeatable as any other.
TEST_F(Renderer, ChorusRendersAreTheSameEveryTime) {
  const std::string song = Song("chorus.mid", "tempo 120\nA4 1 a\nE5 1 a\n");
  const std::string out = (dir.path() / "chorus.wav").string();
  RunResult run = RunRender(song + " -o " + out + " --plugin " + plugin + " --chorus --tail 1 -q");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string first = ReadFile(out);
  run = RunRender(song + " -o " + out + " --plugin " + plugin + " --chorus --tail 1 -q");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadFile(out), first);
  // The rebuilt sample, not the recording: the Chorus layers lower copies and echoes.
  run = RunRender(song + " -o " + out + " --plugin " + plugin + " --tail 1 -q");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(ReadFile(out), first);
}

TEST_F(Renderer, TailRunsUntilTheSoundDiesAway) {
  const std::string song = Song("short.mid", "tempo 60\nA4 1 a\n");
  const std::string out = (dir.path() / "short.flac").string();
  const RunResult run = RunRender(song + " -o " + out + " --plugin " + plugin + " --tail 3 -q");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadFile(out).substr(0, 4), "fLaC");
}

// A chord at full velocity goes beyond full scale: a 16-bit file says how much it clipped
// and which gain keeps it whole; --gain lowers the level by exactly its dB; a float file
// keeps the values beyond full scale.
TEST_F(Renderer, ClippingIsReportedAndGainOrFloatAvoidsIt) {
  const std::string chord =
      Bytes({0, 0x90, 57, 127, 0, 60, 127, 0, 64, 127, 0x60, 0x80, 57, 0, 0, 60, 0, 0, 64, 0, 0, 0xFF, 0x2F, 0});
  const std::string song = dir.Write("chord.mid", Smf(0, 96, {chord})).string();
  const auto peakOf = [](const std::string& output) {
    const size_t at = output.find("peak ");
    return at == std::string::npos ? 0.0 : std::strtod(output.c_str() + at + 5, nullptr);
  };
  const std::string base = song + " --plugin " + plugin + " --tail 0 -q -o ";
  const RunResult loud = RunRender(base + (dir.path() / "loud.wav").string());
  ASSERT_EQ(loud.status, 0) << loud.output;
  EXPECT_GT(peakOf(loud.output), 0.0) << loud.output;
  EXPECT_NE(loud.output.find("samples clipped at full scale, the first at "), std::string::npos) << loud.output;
  EXPECT_NE(loud.output.find("--gain -"), std::string::npos) << loud.output;

  const RunResult lowered = RunRender(base + (dir.path() / "lowered.wav").string() + " --gain -12");
  ASSERT_EQ(lowered.status, 0) << lowered.output;
  EXPECT_NEAR(peakOf(lowered.output), peakOf(loud.output) - 12.0, 0.11) << lowered.output;
  EXPECT_EQ(lowered.output.find("clipped"), std::string::npos) << lowered.output;

  const std::string floatPath = (dir.path() / "float.wav").string();
  const RunResult kept = RunRender(base + floatPath + " --format float");
  ASSERT_EQ(kept.status, 0) << kept.output;
  EXPECT_EQ(kept.output.find("samples clipped"), std::string::npos) << kept.output;
  const std::string wav = ReadFile(floatPath);
  float largest = 0.0f;
  for (size_t i = wav.find("data") + 8; i + 4 <= wav.size(); i += 4) {
    float v = 0.0f;
    std::memcpy(&v, wav.data() + i, 4);
    largest = std::max(largest, std::fabs(v));
  }
  EXPECT_NEAR(20.0 * std::log10(largest), peakOf(loud.output), 0.06);
}

// A folder of songs rendered several at once gives the files that renders of each song
// alone give, also for songs that spell syllables with the phonetic protocol (whose state
// the instrument keeps for all its instances); shares split the songs without overlap.
TEST_F(Renderer, ManySongsAtOnceMatchOneAtATime) {
  std::filesystem::create_directories(dir.path() / "songs" / "more");
  const std::vector<std::pair<std::string, std::string>> songs = {
      {"songs/a.mid", "tempo 120\nA4 1 a\nE5 0.5 a\n"},
      {"songs/more/b.mid", "tempo 90\nmode phonetic\nC5 1 a\nr 0.5\nA4 1 a\n"},
      {"songs/c.mid", "tempo 200\nmode phonetic\nA5 0.5 a\nE5 0.5 a\nA5 2 a\n"}};
  for (const auto& [name, source] : songs) Song(name, source);
  const std::string base = " --plugin " + plugin + " --tail 0.5 -q";
  const std::string songsDir = (dir.path() / "songs").string();
  RunResult run = RunRender(songsDir + " -o " + (dir.path() / "all").string() + " --jobs 2" + base);
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* share : {"1/2", "2/2"}) {
    run = RunRender(songsDir + " -o " + (dir.path() / "shares").string() + " --shard " + share + base);
    ASSERT_EQ(run.status, 0) << run.output;
  }
  for (const auto& [name, source] : songs) {
    const std::filesystem::path wav = std::filesystem::path(name.substr(6)).replace_extension(".wav");
    run = RunRender((dir.path() / name).string() + " -o " + (dir.path() / "alone.wav").string() + base);
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string alone = ReadFile(dir.path() / "alone.wav");
    EXPECT_EQ(ReadFile(dir.path() / "all" / wav), alone) << name;
    EXPECT_EQ(ReadFile(dir.path() / "shares" / wav), alone) << name;
  }
  // Two shares of three songs: the first share writes the first and third in sorted order.
  run = RunRender(songsDir + " -o " + (dir.path() / "first").string() + " --shard 1/2" + base);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "first" / "a.wav"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "first" / "c.wav"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "first" / "more" / "b.wav"));
}

TEST_F(Renderer, ClearErrorsAndNoCrash) {
  const std::string out = " -o " + (dir.path() / "x.wav").string();
  const std::string song = Song("ok.mid", "A4 1 a\n");
  const std::string garbage = dir.Write("garbage.mid", std::string("MThd\x00\x00", 6)).string();
  const std::pair<std::string, std::string> rows[] = {
      {"/nonexistent.mid" + out + " --plugin " + plugin, "/nonexistent.mid: cannot open"},
      {garbage + out + " --plugin " + plugin, "garbage.mid: truncated MThd header"},
      {song + out + " --plugin /nonexistent/plugin.so", "/nonexistent/plugin.so: cannot load"},
      {song + out + " --plugin " + plugin + " --rate banana", "--rate: not a number"}};
  for (const auto& [arguments, error] : rows) {
    const RunResult run = RunRender(arguments);
    EXPECT_EQ(run.status, 1) << arguments;
    EXPECT_NE(run.output.find(error), std::string::npos) << run.output;
  }
}

TEST_F(Renderer, WorksWithAThirdPartyInstrument) {
  const char* amsynth = "/usr/lib/vst/amsynth_vst.so";
  if (!std::filesystem::exists(amsynth)) GTEST_SKIP() << "amsynth's VST 2 build is not installed";
  const std::string song = Song("third.mid", "tempo 120\nA3 1 a\nC4 1 a\n");
  const std::string out = (dir.path() / "third.wav").string();
  // amsynth leaks a few objects of its own, which LeakSanitizer reports at the renderer's
  // exit in the sanitizer stage: not the renderer's to answer for.
  const char* asanOptions = std::getenv("ASAN_OPTIONS");
  const std::string savedOptions = asanOptions != nullptr ? asanOptions : "";
  setenv("ASAN_OPTIONS", (savedOptions + (savedOptions.empty() ? "" : ":") + "detect_leaks=0").c_str(), 1);
  const RunResult run = RunRender(song + " -o " + out + " --plugin " + amsynth + " --tail 1 -q");
  setenv("ASAN_OPTIONS", savedOptions.c_str(), 1);
  ASSERT_EQ(run.status, 0) << run.output;
  int peak = 0;
  for (int16_t v : WavFrames(ReadFile(out))) peak = std::max(peak, std::abs(static_cast<int>(v)));
  EXPECT_GT(peak, 100);
}

}  // namespace
}  // namespace chantera::test
