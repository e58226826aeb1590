// The five parameters as a host sees them through the instrument's VST 2 overrides:
// names, labels and display texts in buffers guarded by canary bytes, the value
// conversions, and the Effect switch with its wait, beep and reload.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "engine/module_state.h"
#include "engine/sampler.h"
#include "host/sampler_plugin.h"
#include "library/chorus_builder.h"
#include "platform/platform.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

vst2::VstIntPtr VSTCALLBACK HostCallback(vst2::AEffect*, int32_t opcode, int32_t, vst2::VstIntPtr, void*, float) {
  return opcode == vst2::audioMasterVersion ? 2400 : 0;
}

// A text buffer with canary bytes: the host hands in room for 8 characters and a zero.
struct Guarded {
  char bytes[32];
  Guarded() { std::memset(bytes, 0x5A, sizeof bytes); }
  char* text() { return bytes; }
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
    plugin = std::make_unique<SamplerPlugin>(HostCallback, dir.str().c_str());
  }
  void TearDown() override {
    plugin.reset();
    // Leave the module-wide registered-parameter state as a fresh library has it.
    Module().rpnMsb.store(-1);
    Module().rpnLsb.store(-1);
    Module().dataEntryMsb.store(-1);
    Module().dataEntryLsb.store(-1);
  }
  Sampler& engine() { return plugin->engine(); }
  SampleBank& bank() { return *engine().Bank(); }
  std::string Display(int32_t index) {
    Guarded g;
    plugin->getParameterDisplay(index, g.text());
    EXPECT_TRUE(g.untouchedFrom(9)) << index;
    return g.str();
  }
  bool WaitForLoader() {
    for (int i = 0; i < 2000; ++i) {
      if (bank().loaderBusy.load() == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
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
    plugin->getParameterName(i, name.text());
    plugin->getParameterLabel(i, label.text());
    EXPECT_STREQ(name.text(), names[i]);
    EXPECT_STREQ(label.text(), labels[i]);
    // Zero-padded to 8, a zero at 8, nothing after.
    for (size_t k = std::strlen(names[i]); k <= 8; ++k) EXPECT_EQ(name.bytes[k], 0);
    EXPECT_TRUE(name.untouchedFrom(9));
    EXPECT_TRUE(label.untouchedFrom(9));
  }
}

TEST_F(Parameters, IndexesOutsideTheFiveAreIgnored) {
  for (int32_t index : {5, -1}) {
    Guarded name, label, display;
    plugin->getParameterName(index, name.text());
    plugin->getParameterLabel(index, label.text());
    plugin->getParameterDisplay(index, display.text());
    EXPECT_TRUE(name.untouchedFrom(0));
    EXPECT_TRUE(label.untouchedFrom(0));
    EXPECT_EQ(display.bytes[0], 0);
    EXPECT_TRUE(display.untouchedFrom(1));
    EXPECT_EQ(plugin->getParameter(index), 0.0f);
    plugin->setParameter(index, 1.0f);  // nothing to see, nothing to break
  }
}

TEST_F(Parameters, PitchBendRangeIsTwelfthsTruncated) {
  plugin->setParameter(1, 0.5f);
  EXPECT_EQ(engine().PitchBendRange(), 6);
  EXPECT_EQ(plugin->getParameter(1), 0.5f);
  EXPECT_EQ(Display(1), "6");
  plugin->setParameter(1, 5.0f / 12.0f);  // the nearest float lies below 5/12
  EXPECT_EQ(engine().PitchBendRange(), 4);
  plugin->setParameter(1, 7.0f / 12.0f);
  EXPECT_EQ(engine().PitchBendRange(), 6);
  plugin->setParameter(1, 10.0f / 12.0f);
  EXPECT_EQ(engine().PitchBendRange(), 9);
  plugin->setParameter(1, -0.25f);
  EXPECT_EQ(engine().PitchBendRange(), -3);
  EXPECT_EQ(Display(1), "-3");
}

TEST_F(Parameters, RangeFromDataEntryReadsBackAboveOne) {
  const int32_t cc = static_cast<int8_t>(0xB0);
  engine().HandleMidiMessage(cc, 101, 0);
  engine().HandleMidiMessage(cc, 100, 0);
  engine().HandleMidiMessage(cc, 6, 24);
  engine().HandleMidiMessage(cc, 38, 0);
  EXPECT_EQ(engine().PitchBendRange(), 24);
  EXPECT_EQ(plugin->getParameter(1), 2.0f);
}

TEST_F(Parameters, LongNumberTextsAreCutAtEightCharacters) {
  plugin->setParameter(1, -1.0e9f);
  EXPECT_EQ(Display(1), "-2147483");
  plugin->setParameter(3, 1.0e20f);
  EXPECT_EQ(Display(3).size(), 8u);
  plugin->setParameter(4, -123456.0f);
  EXPECT_EQ(Display(4), "-123456.");
}

TEST_F(Parameters, DefaultsAndTheirTexts) {
  EXPECT_EQ(Display(2), "None");
  EXPECT_EQ(Display(3), "0.000009");
  EXPECT_EQ(Display(4), "0.001000");
  EXPECT_EQ(plugin->getParameter(3), static_cast<float>(1.0 / 110000.0));
  EXPECT_EQ(plugin->getParameter(4), 0.001f);
  EXPECT_EQ(plugin->getParameter(2), 0.0f);
}

TEST_F(Parameters, VolumeZeroDisplaysMinusInfinity) {
  plugin->setParameter(0, 0.0f);
  EXPECT_EQ(plugin->getParameter(0), 0.0f);
  EXPECT_EQ(Display(0), "-oo");
  plugin->setParameter(0, 3.5f);  // not limited to 0..1
  EXPECT_EQ(plugin->getParameter(0), 3.5f);
}

TEST_F(Parameters, ReleaseConstantsAreStoredUnscaled) {
  plugin->setParameter(3, 0.25f);
  plugin->setParameter(4, 0.75f);
  EXPECT_EQ(Module().releaseFactor.load(), 0.25);
  EXPECT_EQ(Module().releaseLimit.load(), 0.75);
}

TEST_F(Parameters, SecondInstanceResetsTheReleaseConstantsOfTheFirst) {
  plugin->setParameter(3, 0.25f);
  plugin->setParameter(4, 0.75f);
  SamplerPlugin second(HostCallback, dir.str().c_str());
  EXPECT_EQ(plugin->getParameter(3), static_cast<float>(1.0 / 110000.0));
  EXPECT_EQ(plugin->getParameter(4), 0.001f);
}

TEST_F(Parameters, HalfLeavesTheChorusOffAndJustAboveTurnsItOn) {
  plugin->setParameter(2, 0.5f);
  EXPECT_EQ(plugin->getParameter(2), 0.0f);
  plugin->setParameter(2, 0.51f);
  EXPECT_EQ(plugin->getParameter(2), 1.0f);
  EXPECT_EQ(Display(2), "Chorus");
  ASSERT_TRUE(WaitForLoader());
  EXPECT_EQ(bank().loaderProgress.load(), 0);
  EXPECT_EQ(bank().slot(0)->dataSize, ChorusLength(300) * 2);
}

TEST_F(Parameters, SwitchingOffReadsTheRecordingAgain) {
  plugin->setParameter(2, 1.0f);
  ASSERT_TRUE(WaitForLoader());
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

// Stands in for a loader that reacts to a stop request at its next pause.
std::atomic<SampleBank*> reactingBank{nullptr};
void SleepThatStopsTheRun(uint32_t) {
  SampleBank* bank = reactingBank.load();
  if (bank->loaderStop.load() == 1) bank->loaderBusy.store(0);
}

TEST_F(Parameters, SameStateStopsARunningLoaderWithoutReload) {
  FakeClock clock;
  reactingBank = &bank();
  platform::SetSleepHook(SleepThatStopsTheRun);
  bank().loaderBusy.store(1);
  plugin->setParameter(2, 0.0f);
  EXPECT_EQ(bank().loaderBusy.load(), 0);
  EXPECT_EQ(bank().loaderStop.load(), 0);  // withdrawn once the run ended
  EXPECT_EQ(plugin->getParameter(2), 0.0f);
  EXPECT_EQ(FakeClock::beeps(), 0u);
}

TEST_F(Parameters, RealRunStoppedBySameStateLeavesTheRestRecorded) {
  // Twelve samples: the run is stopped after the one it is working on.
  VoiceFolder voice;
  voice.folder = "many";
  for (int i = 0; i < 12; ++i) {
    const std::string name = "s" + std::to_string(i) + ".wav";
    voice.sampleLines.push_back(name + ",s,60");
    voice.files.emplace_back(name, MakeWav(Pcm16(Sine(20000, 0.01))));
  }
  voice.programLines = {"Program", "P,1.0,2,a", "S,0,127,s0.wav", "End"};
  TempDir many;
  WriteVoiceLibrary(many, {{"Many", voice}});
  SamplerPlugin instrument(HostCallback, many.str().c_str());
  instrument.setParameter(2, 1.0f);
  instrument.setParameter(2, 1.0f);
  SampleBank& b = *instrument.engine().Bank();
  EXPECT_EQ(b.loaderBusy.load(), 0);
  EXPECT_EQ(b.loaderStop.load(), 0);
  EXPECT_EQ(instrument.getParameter(2), 1.0f);
  const int32_t progress = b.loaderProgress.load();
  for (int32_t i = progress + 1; i < 12; ++i) EXPECT_EQ(b.slot(i)->dataSize, 40000u) << i;
}

TEST_F(Parameters, LoaderThatDoesNotStopMeansOneBeepAndNoChange) {
  FakeClock clock;
  bank().loaderBusy.store(1);  // a run that never ends
  std::filesystem::remove(dir.path() / "v" / "a.wav");
  plugin->setParameter(2, 1.0f);
  EXPECT_EQ(FakeClock::sleeps(), 601u);
  EXPECT_EQ(FakeClock::beeps(), 1u);
  EXPECT_EQ(FakeClock::lastBeepHz(), 1000u);
  EXPECT_EQ(FakeClock::lastBeepMs(), 1000u);
  EXPECT_EQ(plugin->getParameter(2), 0.0f);
  EXPECT_EQ(bank().loaderStop.load(), 0);  // withdrawn: the run goes on to its end
  EXPECT_EQ(messages.count(), 0u);         // no reload was tried
  bank().loaderBusy.store(0);
}

TEST_F(Parameters, DestructorWithNothingRunningDoesNotSleep) {
  FakeClock clock;
  plugin.reset();
  EXPECT_EQ(FakeClock::sleeps(), 0u);
}

TEST_F(Parameters, DestructorGivesUpAfter601SleepsAndKeepsTheBankForTheLoader) {
  FakeClock clock;
  const int32_t before = SampleBank::LiveCount();
  std::shared_ptr<SampleBank> loaderReference = engine().Bank();  // what a running loader holds
  loaderReference->loaderBusy.store(1);
  plugin.reset();
  EXPECT_EQ(FakeClock::sleeps(), 601u);
  EXPECT_EQ(FakeClock::beeps(), 1u);
  EXPECT_EQ(loaderReference->loaderStop.load(), 1);  // the request stands
  EXPECT_EQ(SampleBank::LiveCount(), before);        // still alive for the loader
  EXPECT_NE(loaderReference->slot(0), nullptr);
  loaderReference.reset();
  EXPECT_EQ(SampleBank::LiveCount(), before - 1);
}

}  // namespace
}  // namespace chantera::test
