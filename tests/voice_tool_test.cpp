// chantera-voice: the check finds each kind of mistake at its file and line; the readers of
// an UTAU bank's files take what banks in use hold; a generated CV bank imports, checks
// clean and sings in tune through the plug-in.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "library/pitch.h"
#include "library/sample.h"
#include "library/sample_bank.h"
#include "library/wave_writer.h"
#include "support/fixtures.h"
#include "tools/render/partial_file.h"
#include "tools/render/plugin_host.h"
#include "tools/voice/check.h"
#include "tools/voice/import.h"
#include "tools/voice/loop.h"
#include "tools/voice/utau.h"
#include "tools/voice/voice_files.h"

namespace chantera::test {
namespace {

namespace fs = std::filesystem;
using voice::CheckLibrary;
using voice::CheckResult;

double Hz(double note) {
  return 440.0 * std::pow(2.0, (note - 69.0) / 12.0);
}

// A sung syllable: 100 ms of silence, 50 ms of noise (the consonant), 800 ms of a vowel at
// hz (harmonics falling off as 1/k), 100 ms of silence.
std::vector<int16_t> Sung(double hz, double rate = 44100.0) {
  std::mt19937 noise(7);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const auto at = [&](double s) { return size_t(s * rate); };
  std::vector<int16_t> v(at(1.05), 0);
  for (size_t i = at(0.1); i < at(0.15); ++i) v[i] = int16_t(3000 * uniform(noise));
  for (size_t i = at(0.15); i < at(0.95); ++i) {
    double x = 0.0;
    for (int k = 1; k <= 8; ++k) x += std::sin(2.0 * std::numbers::pi * hz * k * double(i) / rate) / k;
    v[i] = int16_t(7000 * x * std::min(1.0, double(i - at(0.15)) / at(0.01)));
  }
  return v;
}

std::string Wav(const std::vector<int16_t>& v, uint32_t rate = 44100, uint16_t channels = 1) {
  return WaveFileBytes(v.data(), v.size() / channels, channels, rate);
}

// A clean voice: a.wav (root 57) and b.wav (root 69) share the keys of all 103 programs.
VoiceFolder CleanVoice() {
  VoiceFolder v;
  v.folder = "v";
  v.sampleLines = {"a.wav,a,57", "b.wav,b,69"};
  v.files = {{"a.wav", Wav(Sung(Hz(57)))}, {"b.wav", Wav(Sung(Hz(69)))}};
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
  const std::vector<int16_t> sung = Sung(Hz(69));
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
      {b(Wav(Sung(Hz(69), 22050), 22050)), "samples.txt", 2, "recorded at 22050 Hz", 1},
      {b(WaveFileBytes(sung.data(), sung.size(), 1, 44100, &inverted)), "samples.txt", 2,
       "sustain loop (frames 9000-8000) is unusable", 1},
      {[](auto& v, auto&) { v.files.emplace_back("spare.wav", Wav(Sung(Hz(60)))); }, "spare.wav", 0, "not listed", 1},
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
  const std::vector<int16_t> sung = Sung(Hz(60));
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

std::string Raw(double value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// A .frq file: 256 samples per frame, the average, 16 unused bytes, the frame count, then
// frequency and amplitude per frame (unvoiced, 0 Hz, before voicedFrom).
std::string Frq(double hz, size_t frames, size_t voicedFrom = 0) {
  std::string b = "FREQ0003" + Le32(256) + Raw(hz) + std::string(16, '\0') + Le32(uint32_t(frames));
  for (size_t i = 0; i < frames; ++i) b += Raw(i < voicedFrom ? 0.0 : hz) + Raw(1000.0);
  return b;
}

TEST(UtauFiles, ReadWhatBanksHold) {
  // oto.ini: Shift-JIS by default, UTF-8 with or without a byte order mark; CR LF, LF or
  // CR; fields the line leaves out (or leaves empty) are 0; an entry without a file name,
  // or with a number that is none, is skipped. Each entry read is written back by
  // FormatOtoLine as a line that reads as the same entry.
  using Entry = std::tuple<std::string, std::string, double, double, double, double, double>;
  const std::pair<std::string, Entry> otos[] = {
      {"\x82\xA9.wav=\x82\xA9,10,20,-300,5,1", {"\xE3\x81\x8B.wav", "\xE3\x81\x8B", 10, 20, -300, 5, 1}},
      {"\xEF\xBB\xBF\xE3\x81\x8B.wav=- \xE3\x81\x8B,1.5,,30\r\n",
       {"\xE3\x81\x8B.wav", "- \xE3\x81\x8B", 1.5, 0, 30, 0, 0}},
      {"\xE3\x81\x8B.wav=\xE3\x81\x8B,1,2,3,4.25,-5\r", {"\xE3\x81\x8B.wav", "\xE3\x81\x8B", 1, 2, 3, 4.25, -5}},
      {"\r\n sub\\a.wav =,1,2,3,4,5\n", {"sub/a.wav", "a", 1, 2, 3, 4, 5}},
      {"\xE3\x81\x8B\xE3\x82\x99.wav=x,0,0,0", {"\xE3\x81\x8C.wav", "x", 0, 0, 0, 0, 0}},  // decomposed が composes
      {"a.wav=a, +0.0004 ,1e3,2,3,4", {"a.wav", "a", 0.0004, 1000, 2, 3, 4}},
      {"a.wav=a", {"a.wav", "a", 0, 0, 0, 0, 0}},
      {"a.wav=a,abc,1,2", {}},
      {"a.wav=a,1,2,3,4,5x", {}},
      {"a.wav=a,1,2,3,nan,5", {}},
      {"=a,1,2,3", {}},
      {"no equals sign", {}}};
  for (const auto& [bytes, entry] : otos) {
    const voice::OtoFile oto = voice::ParseOto(bytes);
    const bool skipped = std::get<0>(entry).empty();
    ASSERT_EQ(oto.entries.size(), skipped ? 0u : 1u) << bytes;
    EXPECT_EQ(oto.skipped.size(), skipped ? 1u : 0u) << bytes;
    if (skipped) continue;
    const voice::OtoEntry& e = oto.entries[0];
    const auto fields = [](const voice::OtoEntry& o) {
      return Entry(o.file, o.alias, o.offset, o.consonant, o.cutoff, o.preutterance, o.overlap);
    };
    EXPECT_EQ(fields(e), entry) << bytes;
    const std::string line = FormatOtoLine(e);
    const voice::OtoFile again = voice::ParseOto(line);
    ASSERT_EQ(again.entries.size(), 1u) << line;
    Entry rounded = entry;
    std::get<2>(rounded) = std::round(std::get<2>(rounded) * 1000) / 1000;  // three decimals at most
    EXPECT_EQ(fields(again.entries[0]), rounded) << line;
  }
  EXPECT_EQ(FormatOtoLine({"a.wav", "a", 0.0004, 1000, -20.5, 1.0 / 3, -0.0001}), "a.wav=a,0,1000,-20.5,0.333,0");
  const voice::OtoFile lines = voice::ParseOto("a.wav=a,1\r\n\r\nb.wav=b,2\rc.wav=c,3\nbad\r\n");
  ASSERT_EQ(lines.entries.size(), 3u);
  EXPECT_EQ(std::tuple(lines.entries[1].line, lines.entries[2].line, lines.skipped.at(0).line), std::tuple(3, 4, 5));

  std::string huge = Frq(220.0, 2);
  huge[36] = '\xFF';  // the frame count
  const std::pair<std::string, bool> frqs[] = {{Frq(220.0, 3), true},
                                               {Frq(220.0, 3).substr(0, 30), false},
                                               {"FREQ0002" + Frq(220.0, 3).substr(8), false},
                                               {huge, false}};
  for (const auto& [bytes, ok] : frqs) {
    voice::FrqFile frq;
    std::string error;
    EXPECT_EQ(voice::ParseFrq(bytes, frq, error), ok) << error;
    if (ok) {
      EXPECT_EQ(frq.frequency, std::vector<double>(3, 220.0));
    }
  }

  const auto map = voice::ParsePrefixMap("C4\t\t_H\r\nA#3\tx\t\r\nbad\t\t\r\n");
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(std::tie(map[0].note, map[0].prefix, map[0].suffix), std::tuple(60, "", "_H"));
  EXPECT_EQ(std::tie(map[1].note, map[1].prefix, map[1].suffix), std::tuple(58, "x", ""));
  EXPECT_EQ(voice::ParseCharacterName("\x96\xBC\x91\x4F=\x83\x65\x83\x58\x83\x67\r\n"),
            "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88");  // 名前=テスト

  // An entry's file, from the folder of its oto.ini: what lies outside the bank.
  const std::tuple<const char*, const char*, bool> files[] = {
      {"", "a.wav", false},          {"", "../a.wav", true},        {"high", "../a.wav", false},
      {"high", "../../a.wav", true}, {"", "sub/../../a.wav", true}, {"", "/etc/a.wav", true},
      {"", "C:/voice/a.wav", true},  {"", "..a.wav", false}};
  for (const auto& [folder, file, outside] : files)
    EXPECT_EQ(voice::LeadsOutsideBank(folder, file), outside) << folder << " " << file;
}

// A CV bank of two pitches: the top folder (Shift-JIS oto.ini, positive cutoffs, .frq
// files, a subfolder reached by a backslash, a name stored decomposed and one stored in
// Shift-JIS, damaged entries, an entry that leads outside the bank) at
// note 57 + 15 cents, and high/ (UTF-8 oto.ini with a byte order mark, negative cutoffs, no
// .frq) at note 67 - 20 cents; prefix.map gives keys from 62 up to the high one.
constexpr double kLow = 57.15, kHigh = 66.80;
void WriteBank(const TempDir& dir) {
  // kana (UTF-8), kana (Shift-JIS)
  const std::vector<std::pair<std::string, std::string>> kana = {
      {"\xE3\x81\x82", "\x82\xA0"}, {"\xE3\x81\x84", "\x82\xA2"}, {"\xE3\x81\x86", "\x82\xA4"},
      {"\xE3\x81\x88", "\x82\xA6"}, {"\xE3\x81\x8A", "\x82\xA8"}, {"\xE3\x81\x8B", "\x82\xA9"},
      {"\xE3\x81\x8F", "\x82\xAD"}, {"\xE3\x81\x95", "\x82\xB3"}, {"\xE3\x82\x89", "\x82\xE7"},
      {"\xE3\x81\x8C", "\x82\xAA"}, {"\xE3\x82\x93", "\x82\xF1"}};
  std::string low, high = "\xEF\xBB\xBF";
  for (const auto& [utf8, sjis] : kana) {
    std::string file = utf8 + ".wav";
    if (utf8 == "\xE3\x81\x8C") file = "\xE3\x81\x8B\xE3\x82\x99.wav";  // が stored as か + U+3099
    if (utf8 == "\xE3\x81\x8F") file = sjis + ".wav";                   // く unpacked without converting its name
    const std::string sub = utf8 == "\xE3\x82\x89" ? "sub/" : "";       // ら in a subfolder
    if (utf8 != "\xE3\x81\x88") dir.Write("bank/" + sub + file, Wav(Sung(Hz(kLow))));  // え's file is missing
    const size_t frames = Sung(Hz(kLow)).size() / 256;
    dir.Write("bank/" + sub + file.substr(0, file.size() - 4) + "_wav.frq", Frq(Hz(kLow), frames, 36));
    dir.Write("bank/high/" + utf8 + ".wav", Wav(Sung(Hz(kHigh))));
    const std::string alias = utf8 == "\xE3\x81\x95" ? "- " + sjis : sjis;  // さ in its word-initial form
    const std::string offset = utf8 == "\xE3\x81\x8A" ? "5000" : "80";      // お's offset is past its end
    const std::string number = utf8 == "\xE3\x81\x84" ? "abc" : "90";       // い's consonant is no number
    low += (sub.empty() ? "" : "sub\\") + sjis + ".wav=" + alias + "," + offset + "," + number + ",120,70,\r\n";
    high += utf8 + ".wav=" + utf8 + "_H,80,90,-850,70,90\r\n";  // the overlap past the vowel is cut to it
  }
  dir.Write("outside.wav", Wav(Sung(Hz(kLow))));
  dir.Write("bank/oto.ini", low + "broken line\r\n..\\outside.wav=\x82\xAB,80,90,120,60,\r\n");  // き
  dir.Write("bank/high/oto.ini", high);
  dir.Write("bank/prefix.map", "C#4\t\t_H\r\nD4\t\t_H\r\nC4\t\t\r\nC3\t\t\r\n");
  dir.Write("bank/character.txt", "name=Test singer\r\n");
}

// Renders notes (key, program) of 0.6 s each through the plug-in in dir, voice 1; returns
// the pitch of each note 250 ms after its start, in cents from its key.
std::vector<double> SingThrough(const fs::path& plugin, const std::vector<std::pair<int, int>>& notes) {
  render::PluginHost host;
  std::string error;
  EXPECT_TRUE(host.Load(plugin.string(), error)) << error;
  EXPECT_TRUE(host.Start(44100.0, 441, error)) << error;
  host.SendEvents({{0, {0xB0, 0, 100}}, {0, {0xB0, 32, 1}}});
  host.Process(441);
  std::vector<double> cents;
  for (const auto& [key, program] : notes) {
    host.SetProgram(program);
    host.SendEvents({{0, {0x90, uint8_t(key), 100}}});
    std::vector<double> sung;
    for (int block = 0; block < 60; ++block) {
      if (block == 59) host.SendEvents({{440, {0x80, uint8_t(key), 0}}});
      host.Process(441);
      sung.insert(sung.end(), host.Left(), host.Left() + 441);
    }
    const double hz = PitchHz(sung, size_t(0.25 * 44100), size_t(0.1 * 44100), 44100.0);
    cents.push_back(hz > 0 ? CentsBetween(hz, Hz(key)) : 1e9);
  }
  return cents;
}

TEST(ImportUtau, ABankImportsChecksCleanAndSingsInTune) {
  TempDir dir;
  WriteBank(dir);
  WriteSingleSampleVoice(dir, Sine(1000, 0.01));  // voice.csv already lists a voice
  fs::copy_file(CHANTERA_PLUGIN_PATH, dir.path() / "Chantera.so");

  const voice::ImportOutcome outcome = voice::ImportUtau({dir.path() / "bank", dir.path(), ""});
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_NE(outcome.report.find("voice.csv: added voice 1 \"Test singer\""), std::string::npos) << outcome.report;
  EXPECT_EQ(outcome.voiceIndex, 1);
  EXPECT_EQ(outcome.folder, "test-singer");
  EXPECT_EQ(outcome.mapped, 11);    // あ い う え お か く さ ら が ん, each in at least one pitch
  EXPECT_EQ(outcome.missing, 92);   // sung with their vowel's recordings
  EXPECT_EQ(outcome.fromFrq, 8);    // the top folder's, less い, え and お
  EXPECT_EQ(outcome.measured, 11);  // high/ has no .frq
  EXPECT_EQ(outcome.skipped, 2);    // え points nowhere, お's offset lies past its end
  for (const char* says : {"oto.ini:2: \"abc\" is not a number", "no such file", "lies beyond the end",
                           "oto.ini:12: no '='", "oto.ini:13: ../outside.wav lies outside the bank", "check: clean"})
    EXPECT_NE(outcome.report.find(says), std::string::npos) << says << "\n" << outcome.report;

  const CheckResult check = CheckLibrary(dir.path() / "test-singer");
  EXPECT_EQ(check.ExitStatus(), 0) << voice::FormatText(check);
  EXPECT_EQ(check.voices.at(0).looped, 19);  // every recording sustains its vowel

  // Every recording has its timing: the bank's vowel (70 ms after the offset, where the
  // tone starts) at the same place in the cut, which the tuning read 1/step as fast.
  SampleBank imported;
  imported.LoadSampleList(dir.str().c_str(), "/test-singer/");
  ASSERT_EQ(imported.sampleCount.load(), 19);
  for (int32_t n = 0; n < 19; ++n) {
    const Sample& s = *imported.slot(n);
    const bool low = s.rootFrequency < Hz(62);
    const double step = s.rootFrequency / Hz(low ? kLow : kHigh);
    EXPECT_TRUE(s.timing.known) << s.fileName;
    EXPECT_EQ(s.timing.offset, 0u) << s.fileName;
    EXPECT_NEAR(s.timing.preutterance, 0.070 * s.sampleRate / step, 3.0) << s.fileName;
    // The top folder gives no overlap; high/'s, past the vowel, is cut to it.
    EXPECT_EQ(s.timing.overlap, low ? 0 : int32_t(s.timing.preutterance)) << s.fileName;
  }

  // Keys of both pitches and between them: さ く ら あ が; い and え on low keys take the high
  // recording (their low one was damaged); ち (program 16, not in the bank) sings い.
  const std::vector<std::pair<int, int>> notes = {{57, 10}, {60, 7}, {64, 38}, {69, 0},  {55, 45},
                                                  {52, 1},  {59, 3}, {62, 5},  {71, 16}, {66, 44}};
  const std::vector<double> cents = SingThrough(dir.path() / "Chantera.so", notes);
  for (size_t i = 0; i < notes.size(); ++i) EXPECT_NEAR(cents[i], 0.0, 10.0) << "key " << notes[i].first;

  // A second import of the same bank replaces its voice; another bank of the same name
  // gets a voice of its own.
  const voice::ImportOutcome again = voice::ImportUtau({dir.path() / "bank", dir.path(), ""});
  EXPECT_EQ(again.voiceIndex, 1);
  EXPECT_NE(again.report.find("voice.csv: replaced voice 1 \"Test singer\""), std::string::npos) << again.report;
  // Under a new name the same bank is a voice of its own, and the summary says which
  // voice holds it already.
  const voice::ImportOutcome renamed = voice::ImportUtau({dir.path() / "bank", dir.path(), "Renamed"});
  EXPECT_NE(renamed.report.find("added voice 2 \"Renamed\""), std::string::npos) << renamed.report;
  EXPECT_NE(renamed.report.find("the same bank is also voice 1 \"Test singer\" (folder test-singer)"),
            std::string::npos)
      << renamed.report;
  fs::copy(dir.path() / "bank", dir.path() / "other", fs::copy_options::recursive);
  const voice::ImportOutcome other = voice::ImportUtau({dir.path() / "other", dir.path(), ""});
  EXPECT_EQ(other.voiceIndex, 3);
  EXPECT_EQ(other.folder, "test-singer-2");
}

// The rename that fails once (by the name it would give), wherever the import meets it.
std::string failingRename;
void FailingRename(const fs::path& from, const fs::path& to, std::error_code& error) {
  if (to.filename() != failingRename) return fs::rename(from, to, error);
  failingRename.clear();
  error = std::make_error_code(std::errc::io_error);
}

// Whatever fails on the way, the voice imported before and voice.csv stay as they were,
// and nothing half-made is left beside them: a full disk that shows only once voice.csv's
// bytes leave the buffer, a rename that fails at each step of replacing the voice or of
// listing a new one, and an import that ended between the two renames of a replacement.
TEST(ImportUtau, NeverLosesAVoice) {
  TempDir dir;
  WriteBank(dir);
  fs::copy(dir.path() / "bank", dir.path() / "other", fs::copy_options::recursive);
  const fs::path plugin = dir.path() / "plugin", singer = plugin / "test-singer";
  ASSERT_TRUE(voice::ImportUtau({dir.path() / "bank", plugin, ""}).ok);
  dir.Write("plugin/test-singer/old.txt", "the voice imported before");
  const std::string list = ReadFile(plugin / "voice.csv");
  const auto intact = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(plugin)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"test-singer", "voice.csv"}));
    EXPECT_EQ(ReadFile(plugin / "voice.csv"), list);
  };

  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit full = saved;
  full.rlim_cur = 64;
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &full);
  std::string error;
  const bool written = render::WriteWholeFile(plugin / "voice.csv", list + std::string(500, ' '), error);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, handler);
  EXPECT_FALSE(written);
  EXPECT_NE(error.find("voice.csv: cannot be written (File too large)"), std::string::npos) << error;
  intact();

  // Bank, and the rename that fails: the old voice's aside, the new one's into its place,
  // and a new voice's voice.csv.
  const std::pair<const char*, const char*> failures[] = {
      {"bank", ".test-singer.replaced"}, {"bank", "test-singer"}, {"other", "voice.csv"}};
  for (const auto& [bank, rename] : failures) {
    SCOPED_TRACE(rename);
    failingRename = rename;
    const render::RenameFunction previous = render::SetRenameHook(&FailingRename);
    const voice::ImportOutcome outcome = voice::ImportUtau({dir.path() / bank, plugin, ""});
    render::SetRenameHook(previous);
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(outcome.error.find("unchanged"), std::string::npos) << outcome.error;
    EXPECT_EQ(ReadFile(singer / "old.txt"), "the voice imported before");
    intact();
  }

  // The old voice aside, the new one not yet in place: the next import finds the voice.
  fs::rename(singer, plugin / ".test-singer.replaced");
  const voice::ImportOutcome again = voice::ImportUtau({dir.path() / "bank", plugin, ""});
  EXPECT_EQ(again.voiceIndex, 0) << again.error;
  EXPECT_FALSE(fs::exists(singer / "old.txt"));
  intact();
}

TEST(ImportUtau, BadBanksAreRefusedWithoutTouchingVoiceCsv) {
  TempDir dir;
  dir.Write("empty/readme.txt", "no oto.ini here");
  dir.Write("vcv/oto.ini", "a.wav=a ka,0,0,0\r\n");
  dir.Write("vcv/a.wav", Wav(Sung(Hz(60))));
  for (const char* bank : {"missing", "empty", "vcv"}) {
    const voice::ImportOutcome outcome = voice::ImportUtau({dir.path() / bank, dir.path() / "plugin", ""});
    EXPECT_FALSE(outcome.ok) << bank;
    EXPECT_FALSE(outcome.error.empty()) << bank;
    EXPECT_FALSE(fs::exists(dir.path() / "plugin" / "voice.csv")) << bank;
  }
}

}  // namespace
}  // namespace chantera::test
