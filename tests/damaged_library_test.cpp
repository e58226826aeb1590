// A voice library with every kind of damage a user's disk can hold (files missing,
// unreadable, empty or binary garbage, directories, lines of megabytes, impossible WAV files,
// more entries than any list holds) loads with exactly the messages a user is owed, never
// crashes or overruns, and stays a working instrument.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/sampler.h"
#include "host/sampler_plugin.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

using namespace vst2;

constexpr char kWaveFailed[] = "Error: Wave file load failed.";

// Bytes of every value, NULs and line ends included; withoutCommas keeps a text line to a
// single field, so that which lines count stays known.
std::string Garbage(size_t n, uint32_t seed, bool withoutCommas = false) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
    if (withoutCommas && c == ',') c = ';';
  }
  return s;
}

class DamagedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string ok = MakeWav(Pcm16(Sine(800, 0.02)));

    std::vector<std::string> samples = {
        "ok.wav,ok,60",
        "missing.wav,missing,60",                // message
        "unreadable.wav,unreadable,60",          // message, unless permissions do not stop reads
        "adir.wav,adir,60",                      // a directory: message
        "empty.wav,empty,60",                    // message
        "garbage.wav,garbage,60",                // message
        "claims4g.wav,claims4g,60",              // data chunk claims 4 GB: what is there, no message
        "riffonly.wav,riffonly,60",              // chunk sizes of 4 GB, no data chunk: message
        "float32.wav,float32,60",                // loads: NaNs as 0, huge values clipped
        "pcm24.wav,pcm24,60",                    // loads, as 16-bit values
        "align0.wav,align0,60",                  // blockAlign 65535: loads, reads nothing
        std::string(3 << 20, 'x') + ",long,60",  // a line of megabytes: cut, one field, skipped
        Garbage(4000, 1, true),                  // binary garbage with NULs and line ends
        "ok.wav,,",                              // too few fields: skipped
        "ok.wav,root,99999999999999999999",      // root note far out of range: silent, no crash
    };
    while (samples.size() < 1200) samples.push_back("ok.wav,more," + std::to_string(samples.size() % 128));

    std::vector<std::string> programs;
    for (int p = 0; p < 140; ++p) {
      programs.push_back("Program");
      programs.push_back("P,0.8," + std::to_string(p % 24) + ",name of program " + std::to_string(p) +
                         " that runs long");
      if (p == 5) {
        for (int r = 0; r < 200; ++r)  // beyond the 128 pending ranges, keys beyond 0..127
          programs.push_back("S," + std::to_string(r * 3 - 100) + "," + std::to_string(r * 3 - 90) + ",ok.wav");
        programs.push_back(std::string(2 << 20, 'S'));
        programs.push_back(Garbage(3000, 2, true));
        programs.push_back("S,1");
        programs.push_back("P");
      } else {
        programs.push_back("S,0,127,OK.WAV");
      }
      programs.push_back("End");
    }
    programs.push_back("End");  // an "End" without its program
    const VoiceFolder bad{
        "bad",
        samples,
        programs,
        {{"ok.wav", ok},
         {"unreadable.wav", ok},
         {"empty.wav", ""},
         {"garbage.wav", Garbage(5000, 3)},
         {"claims4g.wav", MakeWav(Pcm16(Sine(500, 0.02)), WavLayout{.claimedDataSize = 0xFFFFFFF0})},
         {"riffonly.wav", std::string("RIFF\xFF\xFF\xFF\xFFWAVEfmt \xFF\xFF\xFF\xFF", 20) + std::string(16, '\x01')},
         {"float32.wav", MakeWav(Garbage(4000, 4), WavLayout{.formatTag = 3, .bitsPerSample = 32})},
         {"pcm24.wav", MakeWav(Garbage(3000, 5), WavLayout{.channels = 2, .bitsPerSample = 24})},
         {"align0.wav", MakeWav(Pcm16(Sine(100, 0.1)), WavLayout{.blockAlign = 0xFFFF})}}};

    const VoiceFolder good{"good",
                           {"g.wav,g,60"},
                           {"Program", "P,1.0,2,g", "S,0,127,g.wav", "End"},
                           {{"g.wav", MakeWav(Pcm16(Sine(20000, 0.01)))}}};

    WriteVoiceLibrary(dir, {{"Bad", bad}, {"Good", good}});
    std::filesystem::create_directories(dir.path() / "bad" / "adir.wav");
    const auto unreadable = dir.path() / "bad" / "unreadable.wav";
    chmod(unreadable.c_str(), 0);
    unreadableLoads = access(unreadable.c_str(), R_OK) == 0;  // the superuser (CI runs as root) reads it
    // Voice 2 names a folder that does not exist, voice 3 a file; then 26 more entries
    // than the list holds, and a line of megabytes.
    std::string csv = "Bad,bad\r\nGood,good\r\nGone,gone\r\nFile,voice.csv\r\n";
    for (int v = 4; v < 30; ++v) csv += "Extra " + std::to_string(v) + "," + (v % 2 ? "good" : "bad") + "\r\n";
    csv += std::string(1 << 20, 'v') + "\r\n";
    dir.Write("voice.csv", csv);
  }

  void TearDown() override {
    chmod((dir.path() / "bad" / "unreadable.wav").c_str(), 0600);  // so the folder can be removed
  }

  size_t BadVoiceMessages() const { return unreadableLoads ? 5 : 6; }

  // Sends messages at frame 0, then renders frames: false when a frame is not finite.
  bool Play(const std::vector<Midi3>& messages, int32_t frames) {
    EventList().Add(0, messages).Send(plugin->getAeffect());
    return RenderFinite(plugin->getAeffect(), frames, out);
  }

  TempDir dir;
  bool unreadableLoads = false;
  std::unique_ptr<SamplerPlugin> plugin;
  Rendered out;
};

TEST_F(DamagedLibrary, LoadsWithTheMessagesOwedStaysLimitedAndStaysUsable) {
  MessageCounter messages;
  plugin = std::make_unique<SamplerPlugin>(QuietHost, dir.str().c_str());
  std::vector<std::string> shown = messages.messages();
  EXPECT_EQ(shown.size(), BadVoiceMessages());
  EXPECT_EQ(size_t(std::count(shown.begin(), shown.end(), kWaveFailed)), BadVoiceMessages());

  const Sampler& engine = plugin->engine();
  EXPECT_EQ(engine.Voices().voiceCount, 24);
  EXPECT_EQ(engine.Bank()->sampleCount.load(), 1088);
  const ProgramRecord& many = engine.Programs().records[5];
  EXPECT_EQ(many.rangeCount, 128);
  for (const ProgramRecord& record : engine.Programs().records) {
    EXPECT_LE(record.rangeCount, 128);
    EXPECT_EQ(record.name[24], '\0');
  }

  plugin->setSampleRate(44100.0f);
  plugin->dispatcher(effMainsChanged, 0, 1, nullptr, 0.0f);

  // Every program, with notes across the keyboard (several land on the damaged samples).
  for (int32_t program = -1; program <= 130; ++program) {
    plugin->setProgram(program);
    EventList()
        .Add(0, 0x90, static_cast<uint8_t>(program & 0x7F), 100)
        .Add(0, 0x90, 60, 100)
        .Add(200, 0xB0, 123, 0)
        .Send(plugin->getAeffect());
    ASSERT_TRUE(RenderFinite(plugin->getAeffect(), 256, out)) << "program " << program;
  }
  plugin->setProgram(0);
  ASSERT_TRUE(Play({{0x90, 60, 127}}, 512));
  EXPECT_GT(out.peak, 0.01f);  // slot 0 is the good sample

  // Bank select state is module-wide: start from a voice number no earlier test left, a
  // number beyond the list, which loads voice 0 (the damaged one) again.
  ASSERT_TRUE(Play({{0xB0, 123, 0}, {0xB0, 0, 100}, {0xB0, 32, 127}}, 64));

  // To the healthy voice: no message, and it sings.
  const size_t before = messages.count();
  ASSERT_TRUE(Play({{0xB0, 32, 1}, {0x90, 60, 127}}, 1024));
  EXPECT_EQ(messages.count(), before);
  EXPECT_GT(out.peak, 0.01f);

  // A voice folder that does not exist, and one that is a file: the program file's
  // message each, silence, no crash.
  ASSERT_TRUE(Play({{0xB0, 123, 0}, {0xB0, 32, 2}, {0x90, 60, 127}}, 512));
  ASSERT_TRUE(Play({{0xB0, 123, 0}, {0xB0, 32, 3}, {0x90, 60, 127}}, 512));
  shown = messages.messages();
  ASSERT_EQ(shown.size(), before + 2);
  for (size_t i = before; i < shown.size(); ++i)
    EXPECT_NE(shown[i].find("programs.txt Program file load failed."), std::string::npos) << shown[i];

  // A voice number beyond the list: voice 0, the damaged one, with its messages again.
  ASSERT_TRUE(Play({{0xB0, 32, 29}}, 64));
  EXPECT_EQ(messages.count(), before + 2 + BadVoiceMessages());

  // And back to the healthy voice, which still sings.
  ASSERT_TRUE(Play({{0xB0, 123, 0}, {0xB0, 32, 1}, {0x90, 64, 127}}, 1024));
  EXPECT_GT(out.peak, 0.01f);
}

}  // namespace
}  // namespace chantera::test
