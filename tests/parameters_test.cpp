// The five parameters as a host sees them through the instrument's VST 2 overrides:
// names, labels and display texts in buffers guarded by canary bytes, the value
// conversions, and the Effect switch with its reload.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/sampler.h"
#include "host/sampler_plugin.h"
#include "library/chorus_builder.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

// A text buffer with canary bytes: the host hands in room for 8 characters and a zero.
struct Guarded {
  char bytes[32];
  Guarded() { std::memset(bytes, 0x5A, sizeof bytes); }
  std::string str() const { return std::string(bytes, strnlen(bytes, 9)); }
  bool untouchedFrom(size_t from) const {
    for (size_t i = from; i < sizeof bytes; ++i)
      if (bytes[i] != 0x5A) return false;
    return true;
  }
};

const std::vector<int16_t> kRecording = Sine(300, 0.01);

class Parameters : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteSingleSampleVoice(dir, kRecording);
    plugin = std::make_unique<SamplerPlugin>(QuietHost, dir.str().c_str());
  }
  void TearDown() override { plugin.reset(); }
  Sampler& engine() { return plugin->engine(); }
  SampleBank& bank() { return *engine().Bank(); }
  std::string Display(int32_t index) {
    Guarded g;
    plugin->getParameterDisplay(index, g.bytes);
    EXPECT_TRUE(g.untouchedFrom(9)) << index;
    return g.str();
  }
  bool WaitForLoader() {
    return WaitUntil([this] { return !bank().loaderBusy.load(); });
  }

  TempDir dir;
  MessageCounter messages;
  std::unique_ptr<SamplerPlugin> plugin;
};

TEST_F(Parameters, NamesAndLabelsAreEightCharactersAndAZero) {
  const char* names[] = {"Volume", "PB.Range", "Effect", "ReleaseF", "ReleaseL"};
  const char* labels[] = {"dB", "semitone", "effect", "point", "point"};
  for (int32_t i = 0; i < 5; ++i) {
    Guarded name, label;
    plugin->getParameterName(i, name.bytes);
    plugin->getParameterLabel(i, label.bytes);
    EXPECT_STREQ(name.bytes, names[i]);
    EXPECT_STREQ(label.bytes, labels[i]);
    // Zero-padded to 8, a zero at 8, nothing after.
    for (size_t k = std::strlen(names[i]); k <= 8; ++k) EXPECT_EQ(name.bytes[k], 0);
    EXPECT_TRUE(name.untouchedFrom(9));
    EXPECT_TRUE(label.untouchedFrom(9));
  }
  for (int32_t index : {5, -1}) {  // outside the five: ignored
    Guarded name, label, display;
    plugin->getParameterName(index, name.bytes);
    plugin->getParameterLabel(index, label.bytes);
    plugin->getParameterDisplay(index, display.bytes);
    EXPECT_TRUE(name.untouchedFrom(0));
    EXPECT_TRUE(label.untouchedFrom(0));
    EXPECT_EQ(display.bytes[0], 0);
    EXPECT_TRUE(display.untouchedFrom(1));
    EXPECT_EQ(plugin->getParameter(index), 0.0f);
    plugin->setParameter(index, 1.0f);  // nothing to see, nothing to break
  }
}

TEST_F(Parameters, ValuesAndTheirDisplays) {
  const std::pair<int32_t, const char*> defaults[] = {{2, "None"}, {3, "0.000009"}, {4, "0.001000"}};
  for (const auto& [index, text] : defaults) EXPECT_EQ(Display(index), text) << index;
  EXPECT_EQ(plugin->getParameter(3), static_cast<float>(1.0 / 110000.0));
  EXPECT_EQ(plugin->getParameter(4), 0.001f);
  struct Row {
    int32_t index;
    float value;
    const char* display;
  };
  const Row rows[] = {{0, 0.0f, "-oo"},       {0, 3.5f, "10.88136"},     // not limited to 0..1
                      {1, 0.5f, "6"},         {1, 0.4f, "4"},            // twelfths, truncated toward zero,
                      {1, 7.0f / 12.0f, "7"}, {1, 10.0f / 12.0f, "10"},  // but the float nearest r/12 is r
                      {1, -0.25f, "-3"},      {1, -1.0e9f, "-2147483"},
                      {3, 0.25f, "0.250000"}, {4, -123456.0f, "-123456."},
                      {2, 0.5f, "None"}};
  for (const Row& row : rows) {
    plugin->setParameter(row.index, row.value);
    EXPECT_EQ(Display(row.index), row.display) << row.index << " = " << row.value;
    if (row.index != 1) {
      EXPECT_EQ(plugin->getParameter(row.index), row.index == 2 ? 0.0f : row.value);
    } else if (std::strlen(row.display) < 8) {
      EXPECT_EQ(engine().PitchBendRange(), std::atoi(row.display));
    }
  }
  plugin->setParameter(1, 0.5f);
  EXPECT_EQ(plugin->getParameter(1), 0.5f);
  plugin->setParameter(3, 1.0e20f);
  EXPECT_EQ(Display(3).size(), 8u);
}

TEST_F(Parameters, RangeFromDataEntryReadsBackAboveOne) {
  for (Midi3 m : std::vector<Midi3>{{0xB0, 101, 0}, {0xB0, 100, 0}, {0xB0, 6, 24}, {0xB0, 38, 0}})
    engine().HandleMidiMessage(static_cast<int8_t>(m.status), m.data1, m.data2);
  EXPECT_EQ(engine().PitchBendRange(), 24);
  EXPECT_EQ(plugin->getParameter(1), 2.0f);
}

// A host that saves the value it reads and sets it again (a project saved and opened)
// gets the same range back, for every range a program may hold from -24 to 24.
TEST_F(Parameters, ARangeReadAndSetAgainStaysTheSame) {
  VoiceFolder voice{"v", {"a.wav,a,69"}, {}, {{"a.wav", MakeWav(Pcm16(kRecording))}}};
  for (int range = -24; range <= 24; ++range)
    voice.programLines.insert(voice.programLines.end(),
                              {"Program", "P,1.0," + std::to_string(range) + ",p", "S,0,127,a.wav", "End"});
  TempDir library;
  WriteVoiceLibrary(library, {{"Ranges", voice}});
  SamplerPlugin ranges(QuietHost, library.str().c_str());
  for (int32_t program = 0; program <= 48; ++program) {
    ranges.setProgram(program);
    ASSERT_EQ(ranges.engine().PitchBendRange(), program - 24);
    ranges.setParameter(1, ranges.getParameter(1));
    EXPECT_EQ(ranges.engine().PitchBendRange(), program - 24);
  }
  // A value that came back as its range before still does, where floats are far apart.
  ranges.setParameter(1, 16777216.0f);
  EXPECT_EQ(ranges.engine().PitchBendRange(), 201326592);
}

TEST_F(Parameters, JustAboveHalfTurnsTheChorusOnAndOffReadsTheRecordingAgain) {
  plugin->setParameter(2, 0.51f);
  EXPECT_EQ(plugin->getParameter(2), 1.0f);
  EXPECT_EQ(Display(2), "Chorus");
  ASSERT_TRUE(WaitForLoader());
  EXPECT_EQ(bank().loaderProgress.load(), 0);
  EXPECT_EQ(bank().slot(0)->dataSize, ChorusLength(300) * 2);
  plugin->setParameter(2, 0.0f);
  EXPECT_EQ(bank().slot(0)->dataSize, 600u);
  EXPECT_EQ(bank().slot(0)->GetValue(1, 0), kRecording[1]);
  EXPECT_EQ(Display(2), "None");
}

TEST_F(Parameters, SameStateWithNoLoaderDoesNothingAtAll) {
  plugin->setParameter(2, 1.0f);
  ASSERT_TRUE(WaitForLoader());
  const uint8_t* rebuilt = bank().slot(0)->pcm.get();
  // A reload would now fail loudly: the WAV file is gone.
  std::filesystem::remove(dir.path() / "v" / "a.wav");
  FakeClock clock;
  plugin->setParameter(2, 0.9f);
  EXPECT_EQ(messages.count(), 0u);
  EXPECT_EQ(bank().slot(0)->pcm.get(), rebuilt);
  EXPECT_EQ(FakeClock::sleeps(), 0u);
}

// The same state asked for while a run works changes nothing: the run goes on to its end
// and every sample is rebuilt (stopped, it would leave the bank half rebuilt).
TEST_F(Parameters, SameStateWhileARunWorksLetsItFinish) {
  VoiceFolder voice{"many", {}, {"Program", "P,1.0,2,a", "S,0,127,s0.wav", "End"}, {}};
  for (int i = 0; i < 12; ++i) {
    const std::string name = "s" + std::to_string(i) + ".wav";
    voice.sampleLines.push_back(name + ",s,60");
    voice.files.emplace_back(name, MakeWav(Pcm16(Sine(20000, 0.01))));
  }
  TempDir many;
  WriteVoiceLibrary(many, {{"Many", voice}});
  SamplerPlugin instrument(QuietHost, many.str().c_str());
  instrument.setParameter(2, 1.0f);
  instrument.setParameter(2, 1.0f);
  SampleBank& b = *instrument.engine().Bank();
  EXPECT_FALSE(b.loaderStop.load());
  ASSERT_TRUE(WaitUntil([&b] { return !b.loaderBusy.load(); }));
  EXPECT_EQ(b.loaderProgress.load(), 11);
  EXPECT_EQ(instrument.getParameter(2), 1.0f);
  for (int32_t i = 0; i < 12; ++i) EXPECT_EQ(b.slot(i)->dataSize, ChorusLength(20000) * 2) << i;
}

// A switch while a run still rebuilds the bank loads a fresh bank beside it: no wait for
// the run (none, a minute and a beep, when it would not stop). The run is asked to stop
// once the new bank has taken over and the old one is let go.
TEST_F(Parameters, SwitchWhileARunWorksLoadsBesideItWithoutWaiting) {
  FakeClock clock;
  const std::shared_ptr<SampleBank> running = engine().Bank();
  running->loaderBusy.store(true);  // a run that never ends
  plugin->setParameter(2, 1.0f);
  // Time, not sleep calls: the new bank's own Chorus run may already pace itself with
  // sleeps of 0 ms (the fake clock stands still).
  EXPECT_EQ(FakeClock::sleptMs(), 0u);
  EXPECT_EQ(FakeClock::beeps(), 0u);
  EXPECT_EQ(plugin->getParameter(2), 1.0f);
  EXPECT_NE(engine().Bank(), running);
  EXPECT_FALSE(running->loaderStop.load());  // still the bank that sings
  Rendered out;
  ASSERT_TRUE(RenderFinite(plugin->getAeffect(), 64, out));  // the new bank takes over
  EXPECT_TRUE(WaitUntil([&running] { return running->loaderStop.load(); }));
  running->loaderBusy.store(false);
  EXPECT_EQ(messages.count(), 0u);
  // The new bank's run times its pauses by the fake clock: it must end before the clock
  // goes, or its next pause would span the jump back to the real tick count (days).
  EXPECT_TRUE(WaitForLoader());
}

}  // namespace
}  // namespace chantera::test
