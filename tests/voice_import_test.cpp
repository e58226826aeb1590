// chantera-voice import-utau: the readers of an UTAU bank's files take what banks in use
// hold; a generated CV bank imports, checks clean and sings in tune through the plug-in;
// whatever fails on the way, no voice is lost.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "library/pitch.h"
#include "library/sample_bank.h"
#include "support/fixtures.h"
#include "support/sung.h"
#include "tools/render/partial_file.h"
#include "tools/render/plugin_host.h"
#include "tools/voice/check.h"
#include "tools/voice/import.h"
#include "tools/voice/utau.h"
#include "tools/voice/voice_files.h"

namespace chantera::test {
namespace {

namespace fs = std::filesystem;
using voice::CheckLibrary;
using voice::CheckResult;

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
    if (utf8 != "\xE3\x81\x88") dir.Write("bank/" + sub + file, Wav(Sung(NoteToHz(kLow))));  // え's file is missing
    const size_t frames = Sung(NoteToHz(kLow)).size() / 256;
    dir.Write("bank/" + sub + file.substr(0, file.size() - 4) + "_wav.frq", Frq(NoteToHz(kLow), frames, 36));
    dir.Write("bank/high/" + utf8 + ".wav", Wav(Sung(NoteToHz(kHigh))));
    const std::string alias = utf8 == "\xE3\x81\x95" ? "- " + sjis : sjis;  // さ in its word-initial form
    const std::string offset = utf8 == "\xE3\x81\x8A" ? "5000" : "80";      // お's offset is past its end
    const std::string number = utf8 == "\xE3\x81\x84" ? "abc" : "90";       // い's consonant is no number
    low += (sub.empty() ? "" : "sub\\") + sjis + ".wav=" + alias + "," + offset + "," + number + ",120,70,\r\n";
    high += utf8 + ".wav=" + utf8 + "_H,80,90,-850,70,90\r\n";  // the overlap past the vowel is cut to it
  }
  dir.Write("outside.wav", Wav(Sung(NoteToHz(kLow))));
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
    cents.push_back(hz > 0 ? CentsBetween(hz, NoteToHz(key)) : 1e9);
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
    const bool low = s.rootFrequency < NoteToHz(62);
    const double step = s.rootFrequency / NoteToHz(low ? kLow : kHigh);
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
  dir.Write("vcv/a.wav", Wav(Sung(NoteToHz(60))));
  for (const char* bank : {"missing", "empty", "vcv"}) {
    const voice::ImportOutcome outcome = voice::ImportUtau({dir.path() / bank, dir.path() / "plugin", ""});
    EXPECT_FALSE(outcome.ok) << bank;
    EXPECT_FALSE(outcome.error.empty()) << bank;
    EXPECT_FALSE(fs::exists(dir.path() / "plugin" / "voice.csv")) << bank;
  }
}

}  // namespace
}  // namespace chantera::test
