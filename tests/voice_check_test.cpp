// chantera-voice check and loop: the check finds each kind of mistake at its file and line,
// groups repeats and writes valid JSON; the loop command sets only loops the instrument plays.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "library/pitch.h"
#include "library/sample.h"
#include "library/wave_writer.h"
#include "support/fixtures.h"
#include "support/sung.h"
#include "tools/voice/check.h"
#include "tools/voice/loop.h"

namespace chantera::test {
namespace {

namespace fs = std::filesystem;
using voice::CheckLibrary;
using voice::CheckResult;

// A clean voice: a.wav (root 57) and b.wav (root 69) share the keys of all 103 programs.
VoiceFolder CleanVoice() {
  VoiceFolder v;
  v.folder = "v";
  v.sampleLines = {"a.wav,a,57", "b.wav,b,69"};
  v.files = {{"a.wav", Wav(Sung(NoteToHz(57)))}, {"b.wav", Wav(Sung(NoteToHz(69)))}};
  for (int p = 0; p < 103; ++p)
    v.programLines.insert(v.programLines.end(),
                          {"Program", "P,1.0,2,p" + std::to_string(p), "S,0,63,a.wav", "S,64,127,b.wav", "End"});
  return v;
}

TEST(VoiceCheck, FindsEachKindOfMistakeAtItsFileAndLine) {
  struct Case {
    std::function<void(VoiceFolder&, std::string& voiceCsv)> damage;  // voiceCsv replaces voice.csv
    const char* file;                                                 // ends the finding's file
    int line;
    const char* says;
    int status;
  };
  // Damage that replaces b.wav's bytes, or one line of samples.txt or programs.txt.
  const auto b = [](const std::string& bytes) {
    return [bytes](VoiceFolder& v, std::string&) { v.files[1].second = bytes; };
  };
  const auto set = [](std::vector<std::string> VoiceFolder::*lines, size_t i, const std::string& text) {
    return [=](VoiceFolder& v, std::string&) { (v.*lines)[i] = text; };
  };
  const std::vector<int16_t> sung = Sung(NoteToHz(69));
  std::string eightBit;
  std::vector<int16_t> stereo;
  std::vector<int64_t> deep;
  for (int16_t s : sung) {
    eightBit.push_back(char((s >> 8) + 128));
    stereo.insert(stereo.end(), {s, s});
    deep.push_back(int64_t{s} << 8);
  }
  // Damage that gives the voice an oto.ini; a.wav and b.wav sing their vowel from 150 ms.
  const auto oto = [](const std::string& text) {
    return [text](VoiceFolder& v, std::string&) { v.files.emplace_back("oto.ini", text); };
  };
  const std::string otoA = "a.wav=a,100,60,0,50,20\r\n", otoB = "b.wav=b,100,60,0,50,20\r\n";
  const WaveLoop inverted{9000, 8000};
  const std::string sjisA = "\x82\xA0.wav";  // あ.wav in Shift-JIS
  const auto samples = &VoiceFolder::sampleLines, programs = &VoiceFolder::programLines;
  const std::vector<Case> cases = {
      {[](auto&, auto&) {}, "", 0, "", 0},
      {[](auto& v, auto&) { v.sampleLines.push_back("c.wav,,60"); }, "samples.txt", 3, "three fields", 1},
      {[](auto& v, auto&) { v.sampleLines.push_back("a.wav,a," + std::string(260, '7')); }, "samples.txt", 3,
       "longer than 253", 2},
      {set(samples, 1, "gone.wav,b,69"), "samples.txt", 2, "\"Wave file load failed.\"", 2},
      {b("RIFF junk"), "samples.txt", 2, "not a RIFF/WAVE", 2},
      {set(samples, 0, "a.wav,a,60"), "samples.txt", 1, "but its root note is 60", 1},
      {b(MakeWav(eightBit, {.bitsPerSample = 8})), "samples.txt", 2, "8-bit", 1},
      {b(MakeWav(PcmBytes(deep, 3), {.bitsPerSample = 24})), "", 0, "", 0},  // read as it sounds: clean
      {b(MakeWav(eightBit, {.formatTag = 2, .bitsPerSample = 4})), "samples.txt", 2, "\"Wave file load failed.\"", 2},
      {b(Wav(stereo, 44100, 2)), "samples.txt", 2, "stereo", 1},
      {b(Wav(Sung(NoteToHz(69), 22050), 22050)), "samples.txt", 2, "recorded at 22050 Hz", 1},
      {b(WaveFileBytes(sung, 1, 44100, &inverted)), "samples.txt", 2, "sustain loop (frames 9000-8000) is unusable", 1},
      {[](auto& v, auto&) { v.files.emplace_back("spare.wav", Wav(Sung(NoteToHz(60)))); }, "spare.wav", 0, "not listed",
       1},
      {[](auto& v, auto&) { v.files[0].first = "A.WAV"; }, "samples.txt", 1, "case-insensitive", 1},
      {[&](auto& v, auto&) {
         v.sampleLines[0] = sjisA + ",a,57";
         v.files[0].first = "\xE3\x81\x82.wav";  // あ.wav in UTF-8
         for (auto& l : v.programLines)
           if (l == "S,0,63,a.wav") l = "S,0,63," + sjisA;
       },
       "samples.txt", 1, "Shift-JIS look-up", 1},
      {set(programs, 2, "S,0,63,x.wav"), "programs.txt", 3, "falls back to sample slot 0", 2},
      {set(programs, 3, "S,64,100,b.wav"), "programs.txt", 1, "keys 101-127 uncovered", 1},
      {[](auto& v, auto&) {
         v.programLines[2] = "S,0,81,a.wav";
         v.programLines[3] = "S,82,127,b.wav";
       },
       "programs.txt", 3, "keys 70-81 play \"a.wav\" more than an octave", 1},
      {[](auto& v, auto&) { v.programLines.erase(v.programLines.begin() + 2, v.programLines.begin() + 4); },
       "programs.txt", 1, "(\xE3\x81\x82) \"p0\" has no key range", 1},
      {[](auto& v, auto&) { v.programLines.resize(5 * 100); }, "programs.txt", 0,
       "no program for 3 syllables that lyrics and phonetic input reach: \xE3\x81\xBF\xE3\x82\x83", 1},
      // What silences a syllable or shifts recordings between syllables is an error at
      // the line that causes it.
      {set(programs, 1, "P,abc,2,p0"), "programs.txt", 2, "the gain \"abc\" is not a number", 2},
      {set(programs, 2, "S,abc,63,a.wav"), "programs.txt", 3, "the key \"abc\" is not a number", 2},
      {[](auto& v, auto&) { v.programLines.erase(v.programLines.begin() + 4); }, "programs.txt", 5,
       "the program begun on line 1 has no \"End\" before this line", 2},
      {[](auto& v, auto&) { v.programLines.clear(); }, "programs.txt", 0, "defines no program", 2},
      {set(samples, 0, "a.wav,a,abc"), "samples.txt", 1, "the root note \"abc\" is not a number", 2},
      {[](auto&, auto& csv) { csv = "Voice,v\r\nSecond\r\n"; }, "voice.csv", 2, "\"Second\" has no comma", 2},
      {[](auto&, auto& csv) { csv = "Voice;v\r\n"; }, "voice.csv", 1, "\"Voice;v\" has no comma", 2},
      {[](auto&, auto& csv) { csv = "Voice,v\r\nOther,v\r\n"; }, "voice.csv", 2,
       "voice 1 names the folder \"v\" of voice 0", 1},
      {[](auto& v, auto&) { v.programLines.pop_back(); }, "programs.txt", 511, "no \"End\"", 2},
      {[](auto& v, auto&) {
         for (int p = 103; p < 130; ++p)
           v.programLines.insert(v.programLines.end(), {"Program", "S,0,127,a.wav", "End"});
       },
       "programs.txt", 5 * 103 + 3 * 27, "more than 129 programs", 2},
      {[](auto&, auto& csv) { csv = "Voice,v\r\nSecond,w"; }, "voice.csv", 2, "no line end", 2},
      // oto.ini: the recordings' timing. What it gets wrong still loads: warnings.
      {oto(otoA + otoB), "", 0, "", 0},
      {oto(otoA + otoB + "broken line\r\n"), "oto.ini", 3, "\"broken line\" is not file.wav=alias", 1},
      {oto("a.wav=a,100,x,0,50,20\r\n" + otoB), "oto.ini", 1, "\"x\" is not a number", 1},
      {oto(otoA + otoB + "c.wav=c,0,0,0,10,0\r\n"), "oto.ini", 3, "\"c.wav\" is not in samples.txt", 1},
      {oto(otoA + "b.wav=b,1000,0,0,100,0\r\n"), "oto.ini", 2, "\"b.wav\": offset and preutterance reach past", 1},
      {oto("a.wav=a,100,0,-40,50,0\r\n" + otoB), "oto.ini", 1, "\"a.wav\": offset and preutterance reach past", 1},
      {oto("a.wav=a,100,0,0,50,60\r\n" + otoB), "oto.ini", 1, "overlap is longer than the preutterance", 1},
      {oto(otoA + otoB + "A.wav=a,0,0,0,1,0\r\n"), "oto.ini", 3, "a second entry of the file and alias of line 1", 1},
      {oto("a.wav=a,-1,0,0,50,0\r\n" + otoB), "oto.ini", 1, "negative offset or preutterance", 1},
      {oto(otoB), "oto.ini", 0, "1 recording without an entry: \"a.wav\"", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    TempDir dir;
    VoiceFolder v = CleanVoice();
    std::string csv;
    c.damage(v, csv);
    WriteVoiceLibrary(dir, {{"Voice", v}});
    if (!csv.empty()) dir.Write("voice.csv", csv);
    const CheckResult r = CheckLibrary(dir.path());
    EXPECT_EQ(r.ExitStatus(), c.status) << voice::FormatText(r);
    if (c.status == 0) {
      EXPECT_EQ(voice::FormatText(r), "voice \"Voice\" (v): 2 recordings, 103 programs: clean\n");
      continue;
    }
    bool found = false;
    for (const voice::Finding& f : r.findings) {
      const std::string text = f.what + "; " + f.consequence;
      found |= f.file.ends_with(c.file) && f.line == c.line && text.find(c.says) != std::string::npos;
    }
    EXPECT_TRUE(found) << voice::FormatText(r);
  }
}

// One systematic mistake is told with its first few lines and a count, and a voice that
// cannot sing says so once instead of through each recording; the JSON output holds
// every finding and is valid UTF-8 whatever bytes the files hold.
TEST(VoiceCheck, RepeatsAreGroupedAndJsonIsValidUtf8) {
  TempDir dir;
  VoiceFolder v = CleanVoice();
  for (std::string& line : v.programLines)
    if (line == "S,64,127,b.wav") line = "S,64,127,bb.wav";  // 103 ranges name no sample
  v.sampleLines.push_back("\xFF\xFE.wav,junk,60");           // bytes neither UTF-8 nor Shift-JIS
  WriteVoiceLibrary(dir, {{"Voice", v}});
  const CheckResult r = CheckLibrary(dir.path());
  const std::string text = voice::FormatText(r);
  // The junk file's line, three of the 103 ranges and a count, two unplayed recordings, the summary.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 3 + 1 + 2 + 1) << text;
  EXPECT_NE(text.find("programs.txt: error: 100 more of the kind above (lines 19-514)"), std::string::npos) << text;
  const std::string json = voice::FormatJson(r);
  size_t notFound = 0;
  for (size_t at = json.find("\"kind\": \"sample-not-found\""); at != std::string::npos;
       at = json.find("\"kind\": \"sample-not-found\"", at + 1))
    ++notFound;
  EXPECT_EQ(notFound, 103u);
  EXPECT_NE(json.find("\\\"\xEF\xBF\xBD\xEF\xBF\xBD.wav\\\": no such file"), std::string::npos) << json;
  for (const unsigned char byte : json) EXPECT_TRUE(byte < 0xC0 || (byte >= 0xE0 && byte < 0xF5)) << int(byte);

  v = CleanVoice();
  v.programLines.clear();
  WriteVoiceLibrary(dir, {{"Voice", v}});
  EXPECT_EQ(
      voice::FormatText(CheckLibrary(dir.path())),
      dir.path().string() +
          "/v/programs.txt: error: defines no program (a program ends with an \"End\" line); the instrument keeps "
          "the programs of the voice selected before (at start, none): every syllable plays sample slot 0 "
          "(\"a.wav\")\nvoice \"Voice\" (v): 2 recordings, 0 programs: 1 error, 0 warnings\n");
}

TEST(VoiceCheck, TheDemoVoiceChecksClean) {
  const CheckResult r = CheckLibrary(fs::path(CHANTERA_PLUGIN_PATH).parent_path());
  EXPECT_EQ(r.ExitStatus(), 0) << voice::FormatText(r);
  EXPECT_NE(voice::FormatJson(r).find("\"errors\": 0, \"warnings\": 0"), std::string::npos);
}

TEST(VoiceLoop, SetsALoopTheInstrumentPlaysAndRefusesOthers) {
  TempDir dir;
  const std::vector<int16_t> sung = Sung(NoteToHz(60));
  const fs::path file = dir.Write("a.wav", Wav(sung));
  const uint32_t frames = uint32_t(sung.size());
  // Backwards, past the end, shorter than the instrument plays, and one it plays.
  for (const auto& [first, last, ok] : {std::tuple{100u, 50u, false}, std::tuple{0u, frames, false},
                                        std::tuple{10u, 24u, false}, std::tuple{8000u, 30000u, true}}) {
    std::string done, error;
    EXPECT_EQ(voice::SetSustainLoop(file, first, last, done, error), ok) << error;
    Sample sample;
    ASSERT_TRUE(sample.LoadFromWav(file.string().c_str()));
    EXPECT_EQ(sample.HasLoop(), ok) << done << error;
    EXPECT_EQ(sample.ReadableFrames(), frames);
  }
}

}  // namespace
}  // namespace chantera::test
