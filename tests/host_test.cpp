// The VST 2 base classes on their own: the text helpers, the calls into the host with and
// without a host, the speaker-arrangement tools, and the instance's lifetime.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "engine/module_state.h"
#include "engine/sampler.h"
#include "host/audio_effect.h"
#include "host/sampler_plugin.h"
#include "host/text_format.h"
#include "support/fixtures.h"
#include "support/vst_host.h"

namespace chantera::test {
namespace {

using namespace vst2;

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

std::string Float2String(float value, int32_t maxLen = 8) {
  char text[32];
  std::memset(text, '#', sizeof text);
  text::FloatToString(value, text, maxLen);
  EXPECT_EQ(text[maxLen + 1], '#') << "wrote past the terminator";
  return text;
}

TEST(TextHelpers, FloatToStringFillsAnEightCharacterBudget) {
  EXPECT_EQ(Float2String(0.0f), "0.000000");
  EXPECT_EQ(Float2String(0.5f), "0.500000");
  EXPECT_EQ(Float2String(-0.25f), "-0.25000");
  EXPECT_EQ(Float2String(12.5f), "12.50000");
  EXPECT_EQ(Float2String(1234567.0f), "1234567.");
  EXPECT_EQ(Float2String(-6.0206f), "-6.02059");
  EXPECT_EQ(Float2String(0.999999f), "0.999998");  // truncated, never rounded
}

TEST(TextHelpers, FloatToStringTooLargeIsHuge) {
  EXPECT_EQ(Float2String(100000000.0f), "Huge!");
  EXPECT_EQ(Float2String(-10000000.0f), "Huge!");
  EXPECT_EQ(Float2String(std::numeric_limits<float>::infinity()), "Huge!");
  EXPECT_EQ(Float2String(100000000.0f, 3), "Hug");
}

TEST(TextHelpers, FloatToStringHonoursTheLimit) {
  EXPECT_EQ(Float2String(0.5f, 4), "0.50");
}

TEST(TextHelpers, IntToString) {
  char text[16];
  text::IntToString(0, text, 8);
  EXPECT_STREQ(text, "0");
  text::IntToString(-42, text, 8);
  EXPECT_STREQ(text, "-42");
  text::IntToString(99999999, text, 8);
  EXPECT_STREQ(text, "99999999");
  text::IntToString(100000000, text, 8);
  EXPECT_STREQ(text, "Huge!");
  text::IntToString(std::numeric_limits<int32_t>::min(), text, 12);
  EXPECT_STREQ(text, "-2147483648");
}

TEST(TextHelpers, DecibelsAndTimes) {
  BareEffect effect(nullptr);
  char text[16];
  for (float silent : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
    effect.dB2string(silent, text, 8);
    EXPECT_STREQ(text, "-oo");
  }
  effect.dB2string(1.0f, text, 8);
  EXPECT_STREQ(text, "0.000000");
  effect.dB2string(0.5f, text, 8);
  EXPECT_STREQ(text, "-6.02059");
  effect.dB2string(2.0f, text, 8);
  EXPECT_STREQ(text, "6.020599");
  effect.Hz2string(0.0f, text, 8);
  EXPECT_STREQ(text, "0.000000");
  effect.Hz2string(441.0f, text, 8);  // 44100 / 441
  EXPECT_STREQ(text, "100.0000");
  effect.ms2string(4410.0f, text, 8);
  EXPECT_STREQ(text, "100.0000");
}

TEST(HostCallbacks, FallbacksWithoutAHost) {
  BareEffect effect(nullptr);
  EXPECT_EQ(effect.getMasterVersion(), 1);
  EXPECT_EQ(effect.getCurrentUniqueId(), 0);
  EXPECT_TRUE(effect.isInputConnected(0));
  EXPECT_TRUE(effect.isOutputConnected(1));
  EXPECT_EQ(effect.getTimeInfo(0), nullptr);
  EXPECT_FALSE(effect.ioChanged());
  EXPECT_EQ(effect.updateSampleRate(), 44100.0);
  EXPECT_EQ(effect.updateBlockSize(), 1024);
  EXPECT_EQ(effect.canHostDo(const_cast<char*>("sendVstEvents")), 0);
  EXPECT_EQ(effect.getDirectory(), nullptr);
  EXPECT_FALSE(effect.openFileSelector(&effect));
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
  EXPECT_EQ(FakeHost::calls[0].opcode, audioMasterVersion);
  EXPECT_EQ(FakeHost::calls[1].opcode, audioMasterPinConnected);
  EXPECT_EQ(FakeHost::calls[1].index, 3);
  EXPECT_EQ(FakeHost::calls[1].value, 0);
  const HostCall output = FakeHost::calls[5];
  EXPECT_EQ(output.opcode, audioMasterPinConnected);
  EXPECT_EQ(output.value, 1);
  FakeHost::calls.clear();
  effect.setParameterAutomated(0, 0.5f);
  ASSERT_EQ(FakeHost::calls.size(), 1u);
  EXPECT_EQ(FakeHost::calls[0].opcode, audioMasterAutomate);
}

TEST(HostCallbacks, FlagSettersTouchOnlyTheirBit) {
  BareEffect effect(nullptr);
  EXPECT_EQ(effect.record().flags, effFlagsCanReplacing);
  EXPECT_EQ(effect.record().numInputs, 1);
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
  EXPECT_EQ(effect.dispatcher(effGetPlugCategory, 0, 0, nullptr, 0), kPlugCategSynth);
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

VstIntPtr VSTCALLBACK QuietHost(AEffect*, int32_t opcode, int32_t, VstIntPtr, void*, float) {
  return opcode == audioMasterVersion ? 2400 : 0;
}

TEST(PluginLifetime, ConstructionResetsModuleStateAndBecomesActive) {
  TempDir dir;
  WriteSingleSampleVoice(dir, Sine(1000, 0.01));
  auto* first = new SamplerPlugin(QuietHost, dir.str().c_str());
  first->setParameter(3, 0.25f);
  first->setParameter(4, 0.5f);
  EXPECT_EQ(Module().activeInstance.load(), &first->engine());
  auto* second = new SamplerPlugin(QuietHost, dir.str().c_str());
  EXPECT_EQ(Module().activeInstance.load(), &second->engine());
  EXPECT_EQ(first->getParameter(3), static_cast<float>(1.0 / 110000.0));
  EXPECT_EQ(first->getParameter(4), 0.001f);
  AEffect* effect = second->getAeffect();
  EXPECT_EQ(effect->dispatcher(effect, effClose, 0, 0, nullptr, 0), 1);
  EXPECT_EQ(Module().activeInstance.load(), nullptr);
  effect = first->getAeffect();
  EXPECT_EQ(effect->dispatcher(effect, effClose, 0, 0, nullptr, 0), 1);
}

TEST(PluginLifetime, ClosingWithoutALoaderDoesNotWait) {
  TempDir dir;
  WriteSingleSampleVoice(dir, Sine(100, 0.01));
  FakeClock clock;
  auto* plugin = new SamplerPlugin(QuietHost, dir.str().c_str());
  AEffect* effect = plugin->getAeffect();
  effect->dispatcher(effect, effClose, 0, 0, nullptr, 0);
  EXPECT_EQ(FakeClock::sleeps(), 0u);
  EXPECT_EQ(FakeClock::beeps(), 0u);
}

TEST(PluginLifetime, ClosingGivesUpOnALoaderAfterAMinuteAndKeepsItsBank) {
  TempDir dir;
  WriteSingleSampleVoice(dir, Sine(100, 0.01));
  FakeClock clock;
  auto* plugin = new SamplerPlugin(QuietHost, dir.str().c_str());
  // Stands in for a loader thread that never finishes: it holds the bank and its flag.
  std::shared_ptr<SampleBank> heldByLoader = plugin->engine().Bank();
  heldByLoader->loaderBusy.store(1);
  AEffect* effect = plugin->getAeffect();
  EXPECT_EQ(effect->dispatcher(effect, effClose, 0, 0, nullptr, 0), 1);
  EXPECT_EQ(FakeClock::sleeps(), 601u);
  EXPECT_EQ(FakeClock::sleptMs(), 60100u);
  EXPECT_EQ(FakeClock::beeps(), 1u);
  EXPECT_EQ(FakeClock::lastBeepHz(), 1000u);
  EXPECT_EQ(FakeClock::lastBeepMs(), 1000u);
  // The loader's bank outlived the instance and is still whole.
  EXPECT_EQ(heldByLoader.use_count(), 1);
  EXPECT_EQ(heldByLoader->loaderStop.load(), 1);
  EXPECT_NE(heldByLoader->slot(0), nullptr);
  heldByLoader->loaderBusy.store(0);
}

}  // namespace
}  // namespace chantera::test
