// What the renderer's tests share: MIDI file images written byte by byte, the song
// composer's files, a song's timeline in one line, a score in one line, and a plug-in folder
// of tones for running chantera-render as a user would run it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "tools/render/midi_file.h"
#include "tools/render/musicxml_reader.h"
#include "tools/render/score.h"
#include "tools/render/song.h"

namespace chantera::test {

// ---- MIDI files and songs --------------------------------------------------------------------

// The bytes of values, each 0 to 255.
std::string Bytes(std::initializer_list<int> values);
// A Standard MIDI File of the format and time division holding the track chunks' bytes.
std::string Smf(int format, int division, const std::vector<std::string>& tracks);
// An end-of-track event at delta time 0.
extern const std::string kEnd;
// Parses a file image into file.
bool Parse(render::MidiFile& file, const std::string& image, std::string& error);
// The MIDI file the song composer makes of source (which must compile).
render::MidiFile Compile(const std::string& source);
// The song's messages in order, each "frame:pN" (a program selection), "frame:SSKK" (a
// MIDI status and key, hex) or "frame:cN=V" (a controller, decimal).
std::string Timeline(const render::Song& song);

// ---- Scores ----------------------------------------------------------------------------------

// A score in one line: "T<tick>=<bpm>" per tempo, then per note "<tick>+<length>:<key>",
// "~" when it holds the vowel, ":<lyric>" when it has one, "@<velocity>" when not 96.
std::string Describe(const render::Score& score);

struct ScoreRow {
  std::string bytes;
  std::string expected;  // Describe() of the score, or what the error says
  render::ScoreChoices choices = {};
};
// Reads each row's bytes as the file "song": the score it describes, or the error.
void ExpectRows(const std::vector<ScoreRow>& rows,
                bool (*read)(const std::string&, const std::string&, const render::ScoreChoices&, render::Score&,
                             std::string&));

// ---- The program -----------------------------------------------------------------------------

struct RunResult {
  int status = -1;
  std::string output;
};

// The left channel of a 16-bit file the renderer wrote, read as the instrument reads samples.
std::vector<double> Left(const std::filesystem::path& wav);

// A plug-in folder of its own: the built plug-in beside a voice whose syllables さ, く and
// ら each sound a tone of their own (300, 400 and 500 Hz at their root, A4) and every other
// one 200 Hz, so that the pitch heard tells which program sang and on which key.
class Renderer : public ::testing::Test {
 protected:
  void SetUp() override;
  // Compiles source into the MIDI file name inside dir: its path.
  std::string Song(const std::string& name, const std::string& source);
  std::string Path(const std::string& name) const { return (dir.path() / name).string(); }
  // Runs a tool (chantera-render unless named) on arguments with paths inside dir, after
  // the shell commands before (limits, signals): its exit status (-1 when a signal ended
  // it) and what it printed (standard output and error, or standard output alone).
  RunResult Run(const std::string& arguments, const std::string& before = "",
                const std::string& tool = CHANTERA_RENDER_PATH, bool outputOnly = false);
  // Renders song into dir/out with this folder's plug-in: the file (and what it printed in printed).
  std::string Render(const std::string& song, const std::string& out, const std::string& options);

  VoiceFolder tones{"tones", {}, {}, {}};
  TempDir dir;
  std::string plugin, printed;
};

}  // namespace chantera::test
