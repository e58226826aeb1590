// The VST 2 base classes on their own: the text helpers, the calls into the host with and
// without a host, the flag setters, the speaker-arrangement tools, and the instance's
// lifetime (module state, the wait for a loader at close).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <tuple>
#include <vector>

#include "engine/sampler.h"
#include "host/audio_effect.h"
#include "host/sampler_plugin.h"
#include "host/text_format.h"
#include "support/fixtures.h"
#include "support/vst_host.h"

namespace chantera::test {
namespace {

using namespace vst2;

constexpr float kInf = std::numeric_limits<float>::infinity();

// A bare AudioEffectX, to reach the base-class behaviour.
class BareEffect : public AudioEffectX {
 public:
  explicit BareEffect(audioMasterCallback host) : AudioEffectX(host, 1, 1) {}
  void processReplacing(float**, float**, int32_t) override {}
  AEffect& record() { return cEffect; }
};

// A host whose answers a test chooses, recording what it was asked.
struct FakeHost {
  static inline VstIntPtr answer = 0;
  static inline std::vector<HostCall> calls;
  static VstIntPtr VSTCALLBACK Callback(AEffect*, int32_t opcode, int32_t index, VstIntPtr value, void*, float) {
    calls.push_back({opcode, index, value});
    return answer;
  }
};

TEST(TextHelpers, NumbersFillTheirBudgetAndNoMore) {
  struct Row {
    float value;
    int32_t maxLen;
    const char* text;
  };
  const Row floats[] = {
      {0.0f, 8, "0.000000"},     {-0.25f, 8, "-0.25000"},    {12.5f, 8, "12.50000"}, {1234567.0f, 8, "1234567."},
      {-6.0206f, 8, "-6.02059"}, {0.999999f, 8, "0.999998"}, {1e8f, 8, "Huge!"},     {-1e7f, 8, "Huge!"},
      {kInf, 8, "Huge!"},        {1e8f, 3, "Hug"},           {0.5f, 4, "0.50"}};
  for (const Row& row : floats) {
    char text[32];
    std::memset(text, '#', sizeof text);
    text::FloatToString(row.value, text, row.maxLen);
    EXPECT_STREQ(text, row.text) << row.value;
    EXPECT_EQ(text[row.maxLen + 1], '#') << "wrote past the terminator";
  }
  const std::tuple<int32_t, int32_t, const char*> ints[] = {
      {0, 8, "0"}, {-42, 8, "-42"}, {99999999, 8, "99999999"}, {100000000, 8, "Huge!"}, {INT32_MIN, 12, "-2147483648"}};
  for (const auto& [value, maxLen, expected] : ints) {
    char text[16];
    text::IntToString(value, text, maxLen);
    EXPECT_STREQ(text, expected);
  }
}

TEST(TextHelpers, DecibelsAndTimes) {
  using Format = void (AudioEffect::*)(float, char*, int32_t);
  const Format dB = &AudioEffect::dB2string, hz = &AudioEffect::Hz2string, ms = &AudioEffect::ms2string;
  const std::tuple<Format, float, const char*> rows[] = {
      {dB, 0.0f, "-oo"},        {dB, -1.0f, "-oo"},       {dB, std::numeric_limits<float>::quiet_NaN(), "-oo"},
      {dB, 1.0f, "0.000000"},   {dB, 0.5f, "-6.02059"},   {dB, 2.0f, "6.020599"},
      {hz, 0.0f, "0.000000"},   {hz, 441.0f, "100.0000"},  // 44100 / 441
      {ms, 4410.0f, "100.0000"}};
  BareEffect effect(nullptr);
  for (const auto& [format, value, expected] : rows) {
    char text[16];
    (effect.*format)(value, text, 8);
    EXPECT_STREQ(text, expected) << value;
  }
}

TEST(HostCallbacks, FallbacksWithoutAHost) {
  BareEffect effect(nullptr);
  EXPECT_EQ(effect.getMasterVersion(), 1);
  EXPECT_TRUE(effect.isInputConnected(0));
  EXPECT_TRUE(effect.isOutputConnected(1));
  EXPECT_EQ(effect.updateSampleRate(), 44100.0);
  EXPECT_EQ(effect.updateBlockSize(), 1024);
  EXPECT_EQ(effect.canHostDo(const_cast<char*>("sendVstEvents")), 0);
}

TEST(HostCallbacks, AnswersOfAHost) {
  BareEffect effect(FakeHost::Callback);
  FakeHost::calls.clear();
  FakeHost::answer = 0;
  EXPECT_EQ(effect.getMasterVersion(), 1);  // a host answering 0 still counts as version 1
  EXPECT_TRUE(effect.isInputConnected(3));  // 0 means connected
  EXPECT_FALSE(effect.ioChanged());
  EXPECT_EQ(effect.updateSampleRate(), 44100.0);  // 0 or less keeps the rate
  FakeHost::answer = 48000;
  EXPECT_EQ(effect.updateSampleRate(), 48000.0);
  EXPECT_EQ(effect.getSampleRate(), 48000.0f);
  FakeHost::answer = 7;
  EXPECT_FALSE(effect.isOutputConnected(1));
  EXPECT_EQ(effect.offlineGetCurrentPass(), 1);
  EXPECT_EQ(effect.canHostDo(const_cast<char*>("x")), 1);
  EXPECT_FALSE(effect.openFileSelector(nullptr));  // no call without a selector record
  ASSERT_GE(FakeHost::calls.size(), 7u);
  const auto asked = [](size_t i) {
    return std::tuple(FakeHost::calls[i].opcode, FakeHost::calls[i].index, FakeHost::calls[i].value);
  };
  EXPECT_EQ(FakeHost::calls[0].opcode, audioMasterVersion);
  EXPECT_EQ(asked(1), std::tuple(audioMasterPinConnected, 3, VstIntPtr{0}));  // an input pin
  EXPECT_EQ(asked(5), std::tuple(audioMasterPinConnected, 1, VstIntPtr{1}));  // an output pin
  FakeHost::calls.clear();
  effect.setParameterAutomated(0, 0.5f);
  ASSERT_EQ(FakeHost::calls.size(), 1u);
  EXPECT_EQ(FakeHost::calls[0].opcode, audioMasterAutomate);
}

// Each yes-or-no question to the host: one call with its opcode and arguments, and the
// host's answer taken as it is (0 no, anything else yes).
TEST(HostCallbacks, YesOrNoQuestionsPassTheHostsAnswer) {
  BareEffect effect(FakeHost::Callback);
  char record[16] = {};
  const struct {
    std::function<bool()> ask;
    HostCall expected;
  } rows[] = {
      {[&] { return effect.offlineRead(record, 3, true); }, {audioMasterOfflineRead, 1, 3}},
      {[&] { return effect.updateDisplay(); }, {audioMasterUpdateDisplay, 0, 0}},
      {[&] { return effect.openFileSelector(record); }, {audioMasterOpenFileSelector, 0, 0}},
      {[&] { return effect.closeFileSelector(record); }, {audioMasterCloseFileSelector, 0, 0}},
      {[&] { return effect.canHostDo(record) == 1; }, {audioMasterCanDo, 0, 0}},
  };
  for (const auto& row : rows) {
    for (const VstIntPtr answer : {0, 5}) {
      FakeHost::calls.clear();
      FakeHost::answer = answer;
      EXPECT_EQ(row.ask(), answer != 0) << row.expected.opcode;
      ASSERT_EQ(FakeHost::calls.size(), 1u) << row.expected.opcode;
      EXPECT_EQ(std::tuple(FakeHost::calls[0].opcode, FakeHost::calls[0].index, FakeHost::calls[0].value),
                std::tuple(row.expected.opcode, row.expected.index, row.expected.value));
    }
  }
  // Only an instrument (or an effect that takes MIDI) asks for MIDI when it resumes.
  FakeHost::answer = 0;
  FakeHost::calls.clear();
  effect.resume();
  effect.isSynth(true);
  effect.resume();
  ASSERT_EQ(FakeHost::calls.size(), 1u);
  EXPECT_EQ(FakeHost::calls[0].opcode, audioMasterWantMidi);
}

TEST(HostCallbacks, FlagSettersTouchOnlyTheirBit) {
  BareEffect effect(nullptr);
  EXPECT_EQ(effect.record().flags, effFlagsCanReplacing);
  EXPECT_EQ(effect.record().uniqueID, FourCC('N', 'o', 'E', 'f'));
  effect.isSynth(true);
  effect.noTail(true);
  effect.canDoubleReplacing(true);
  effect.programsAreChunks(true);
  EXPECT_EQ(effect.record().flags, 0x1330);
  effect.noTail(false);
  effect.programsAreChunks(false);
  effect.canDoubleReplacing(false);
  EXPECT_EQ(effect.record().flags, 0x110);
}

TEST(SpeakerArrangement, AllocateCopyAndMatch) {
  BareEffect effect(nullptr);
  VstSpeakerArrangement* from = nullptr;
  ASSERT_TRUE(effect.allocateArrangement(&from, 3));
  from->type = 7;
  for (int i = 0; i < 3; ++i) {
    std::memset(from->speakers[i].name, 'n', sizeof from->speakers[i].name);  // no terminator
    from->speakers[i].azimuth = static_cast<float>(i);
    from->speakers[i].type = i + 1;
  }
  VstSpeakerArrangement* to = nullptr;
  ASSERT_TRUE(effect.matchArrangement(&to, from));
  EXPECT_EQ(to->numChannels, 3);
  EXPECT_EQ(to->type, 7);
  EXPECT_EQ(to->speakers[2].azimuth, 2.0f);
  EXPECT_EQ(to->speakers[2].type, 3);
  EXPECT_EQ(std::strlen(to->speakers[2].name), 63u);
  EXPECT_FALSE(effect.matchArrangement(&to, nullptr));
  EXPECT_FALSE(effect.copySpeaker(nullptr, &from->speakers[0]));
  EXPECT_TRUE(effect.deallocateArrangement(&to));
  EXPECT_EQ(to, nullptr);
  EXPECT_TRUE(effect.deallocateArrangement(&from));
}

// ---- The instance's lifetime ---------------------------------------------------------------

TEST(PluginLifetime, ASecondInstanceLeavesTheFirstOnesSettingsAlone) {
  TempDir dir;
  WriteSingleSampleVoice(dir, Sine(1000, 0.01));
  FakeClock clock;
  auto* first = new SamplerPlugin(QuietHost, dir.str().c_str());
  first->setParameter(3, 0.25f);
  first->setParameter(4, 0.5f);
  EXPECT_EQ(first->engine().ReleaseFactor(), 0.25);  // stored unscaled
  auto* second = new SamplerPlugin(QuietHost, dir.str().c_str());
  second->setParameter(4, 0.125f);
  EXPECT_EQ(first->getParameter(3), 0.25f);
  EXPECT_EQ(first->getParameter(4), 0.5f);
  EXPECT_EQ(second->getParameter(3), static_cast<float>(1.0 / 110000.0));
  EXPECT_EQ(VstHost::Close(second->getAeffect()), 1);
  EXPECT_EQ(first->getParameter(4), 0.5f);
  EXPECT_EQ(VstHost::Close(first->getAeffect()), 1);
  EXPECT_EQ(FakeClock::sleeps(), 0u);  // no loader: closing does not wait
}

TEST(PluginLifetime, ClosingGivesUpOnALoaderAfterAMinuteAndKeepsItsBank) {
  TempDir dir;
  WriteSingleSampleVoice(dir, Sine(100, 0.01));
  FakeClock clock;
  auto* plugin = new SamplerPlugin(QuietHost, dir.str().c_str());
  // Stands in for a loader thread that never finishes: it holds the bank and its flag.
  std::shared_ptr<SampleBank> heldByLoader = plugin->engine().Bank();
  const int32_t live = SampleBank::LiveCount();
  heldByLoader->loaderBusy.store(true);
  EXPECT_EQ(VstHost::Close(plugin->getAeffect()), 1);
  EXPECT_EQ(FakeClock::sleeps(), 601u);
  EXPECT_EQ(FakeClock::sleptMs(), 60100u);
  EXPECT_EQ(FakeClock::beeps(), 1u);
  EXPECT_EQ(FakeClock::lastBeepHz(), 1000u);
  EXPECT_EQ(FakeClock::lastBeepMs(), 1000u);
  // The loader's bank outlived the instance and is still whole.
  EXPECT_EQ(heldByLoader.use_count(), 1);
  EXPECT_TRUE(heldByLoader->loaderStop.load());
  EXPECT_NE(heldByLoader->slot(0), nullptr);
  heldByLoader->loaderBusy.store(false);
  heldByLoader.reset();
  EXPECT_EQ(SampleBank::LiveCount(), live - 1);
}

}  // namespace
}  // namespace chantera::test
