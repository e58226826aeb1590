// chantera-render and the instrument it plays: voices the instrument cannot read, named
// once; a plug-in's latency compensated; Chantera's own controllers sent to it only.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "library/pitch.h"
#include "render_support.h"

namespace chantera::test {
namespace {

using namespace chantera::render;

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

// When the instrument cannot read a file of the voice a song sings with, the song fails
// (status 1, no file) and the renderer names the file behind each of the instrument's
// messages, once per voice however many songs: a deleted recording, a missing voice.csv,
// a voice chosen with --voice. A voice the song does not sing with does not fail it.
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

}  // namespace
}  // namespace chantera::test
