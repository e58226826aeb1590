// What chantera-render writes: each syllable in tune and the same every time, in WAV and
// FLAC, clipping told and avoided, scores sung as their MIDI file, another instrument played.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "library/pitch.h"
#include "platform/platform.h"
#include "render_support.h"

namespace chantera::test {
namespace {

using namespace chantera::render;

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
  EXPECT_EQ(printed.find("rendering ["), std::string::npos) << "a progress bar, with no terminal to show it on";
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
