// The command-line tools run as a user runs them: what is wrong is told in the user's terms
// with the exit status the usage gives, and nothing is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "render_support.h"

namespace chantera::test {
namespace {

using namespace chantera::render;

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

}  // namespace
}  // namespace chantera::test
