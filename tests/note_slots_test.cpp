// Note slots and rendering, driven directly with a StretchContext over a bank filled in
// the test: the numbers a listener would hear (pitch, gain, release length), and what the
// slots do at their limits. The kernels' bit-for-bit check is note_slot_kernels_test.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "engine/held_voices.h"
#include "engine/note_slots.h"
#include "library/sample.h"
#include "library/sample_bank.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

// A bank whose keys all play sample 0 (unless a test maps them), and a context over it
// with unit gain at velocity 127 (volume 1, expression 1).
class NoteSlotsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    keyMap.fill(0);
    context.keyMap = &keyMap;
    context.bank = &bank;
    context.volume = 1.0f;
    context.expression = 1.0f;
    context.releaseLimit = &releaseLimit;
  }
  Sample& SampleAt(int index) { return *bank.slot(index); }
  void Render(int32_t n) {
    left.assign(static_cast<size_t>(n), 0.0f);
    right.assign(static_cast<size_t>(n), 0.0f);
    slots.RenderStretch(left.data(), right.data(), 0, n, context);
  }

  SampleBank bank;
  KeyTable keyMap{};
  std::atomic<double> releaseLimit{0.001};
  StretchContext context;
  NoteSlots slots;
  std::vector<float> left, right;
};

TEST_F(NoteSlotsTest, SeventeenthNoteIsDroppedFreedSlotsAreReusedAndAReleaseEndsItsKey) {
  for (int k = 0; k < 16; ++k) slots.StartNote(40 + k, 100);
  slots.StartNote(99, 100);
  for (const NoteSlot& slot : slots.slots) EXPECT_NE(slot.key, 99);
  slots.ReleaseNote(45);  // slot 5 releases: still busy
  slots.StartNote(98, 100);
  for (const NoteSlot& slot : slots.slots) EXPECT_NE(slot.key, 98);
  slots.ReleaseNote(-1);  // ends 0..4 and 6..15; slot 5 goes on releasing
  slots.StartNote(97, 90);
  EXPECT_EQ(slots.slots[0].key, 97);
  EXPECT_EQ(slots.slots[0].velocity, 90);
  EXPECT_EQ(slots.slots[0].position, 0.0);
  EXPECT_TRUE(slots.slots[5].Releasing());
  // One release ends every held slot of the key but leaves a fade alone.
  slots.ReleaseNote(-1);
  slots.StartNote(60, 100);
  slots.StartNote(60, 100);
  slots.ReleaseNote(60);
  EXPECT_TRUE(slots.slots[0].Releasing());
  EXPECT_TRUE(slots.slots[1].Releasing());
  slots.slots[0].level = 0.25;
  slots.ReleaseNote(60);
  EXPECT_EQ(slots.slots[0].level, 0.25);
}

// Each row starts one note on a fresh sample and renders: the values at one frame (in
// 1/32768) and the position after. An octave up skips every other frame; the last frame
// interpolates toward silence, and the end of the sample changes no state.
TEST_F(NoteSlotsTest, PitchGainChannelsAndTheEndOfTheSample) {
  struct Row {
    std::string bytes;
    SampleSpec layout;
    int key;
    double start;
    int32_t frames, at;
    double left, right;
  };
  const std::string ramp = Pcm16({1000, 2000, 3000, 4000, 5000, 6000});
  const Row rows[] = {{ramp, {}, 69, 0.0, 3, 2, 3000, 3000},
                      {ramp, {}, 81, 0.0, 2, 1, 3000, 3000},
                      {Pcm16({32767, 32767}), {}, 69, 0.0, 1, 0, 32767, 32767},
                      {"\xFF\xFF", {8, 1, 1}, 69, 0.0, 1, 0, 127, 127},
                      {Pcm16({100, -200, 300, -400}), {16, 2, 4}, 69, 0.0, 2, 1, 300, -400},
                      {Pcm16({0, 0, 8192}), {}, 69, 2.5, 2, 0, 4096, 4096},
                      {Pcm16({0, 0, 8192}), {}, 69, 2.5, 2, 1, 0, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "key " << row.key << ", frame " << row.at);
    FillSample(SampleAt(0), row.bytes, row.layout);
    slots.ReleaseNote(-1);
    slots.StartNote(row.key, 127);
    slots.slots[0].position = row.start;
    Render(row.frames);
    EXPECT_EQ(left[static_cast<size_t>(row.at)], static_cast<float>(row.left / 32768.0));
    EXPECT_EQ(right[static_cast<size_t>(row.at)], static_cast<float>(row.right / 32768.0));
    EXPECT_EQ(slots.slots[0].position, row.start + row.frames * (row.key == 81 ? 2.0 : 1.0));
    EXPECT_TRUE(slots.slots[0].Held());
  }
}

TEST_F(NoteSlotsTest, ReleaseLimitZeroNeverFreesButANegativeMultiplierEndsAtOnce) {
  FillSample(SampleAt(0), Pcm16(std::vector<int16_t>(10, 100)), {});
  releaseLimit = 0.0;
  slots.StartNote(69, 127);
  slots.ReleaseNote(69);
  Render(5000);
  EXPECT_TRUE(slots.slots[0].Releasing());
  slots.ReleaseNote(-1);
  EXPECT_TRUE(slots.slots[0].Releasing());
  context.releaseFactor = 0.01;  // × 440 Hz > 1
  slots.StartNote(69, 127);
  slots.ReleaseNote(69);
  Render(1);
  EXPECT_FALSE(slots.slots[1].Releasing());
}

// A default release of a 440 Hz note ends on its 1724th frame at 44.1 kHz; at every other
// rate it lasts as long in time.
TEST_F(NoteSlotsTest, ReleaseLastsAsLongAtEveryRate) {
  FillSample(SampleAt(0), Pcm16(std::vector<int16_t>(10, 100)), {});
  for (double rate : {44100.0, 22050.0, 48000.0, 96000.0, 192000.0}) {
    context.hostSampleRate = rate;
    slots.StartNote(69, 127);
    slots.ReleaseNote(69);
    int32_t frames = 0;
    while (slots.slots[0].Releasing() && frames < 10000) {
      Render(1);
      ++frames;
    }
    if (rate == 44100.0) {
      EXPECT_EQ(frames, 1724);
    } else {  // the frame on which the level crosses the limit, in time
      EXPECT_NEAR(frames, std::log(0.001) / std::log(1.0 - 440.0 / 110000.0) * rate / 44100.0, 1.0) << rate;
    }
  }
}

TEST_F(NoteSlotsTest, KeySampleFollowsTheLoaderAndNeverLeavesTheBank) {
  keyMap[60] = 5;
  keyMap[61] = 2;
  EXPECT_EQ(KeySample(context, 60), bank.slot(5));
  context.loaderBusy = true;
  context.loaderProgress = -1;
  EXPECT_EQ(KeySample(context, 60), nullptr);
  EXPECT_EQ(GetKeyRootFrequency(context, 60), 0.0);
  context.loaderProgress = 3;
  EXPECT_EQ(KeySample(context, 60), bank.slot(3));
  EXPECT_EQ(KeySample(context, 61), bank.slot(2));
  context.loaderBusy = false;
  // An older voice's bank, with the guards of its own loader; none kept: nothing.
  context.older[0] = {&bank, 1, 2};
  EXPECT_EQ(IndexSample(context, 5, 1), bank.slot(2));
  EXPECT_EQ(IndexSample(context, 5, 0), bank.slot(5));
  EXPECT_EQ(IndexSample(context, 5, 2), nullptr);
  EXPECT_EQ(IndexSample(context, 5, kVoiceAges), nullptr);
  keyMap[62] = kSampleSlots;
  keyMap[63] = -1;
  EXPECT_EQ(KeySample(context, 62), nullptr);
  EXPECT_EQ(KeySample(context, 63), nullptr);
  EXPECT_EQ(KeySample(context, 128), nullptr);
}

TEST_F(NoteSlotsTest, EmptyBankSlotAndBrokenBlockAlignPlaySafely) {
  bank.samples[0].reset();
  slots.StartNote(69, 127);
  Render(16);
  for (float v : left) EXPECT_EQ(v, 0.0f);
  EXPECT_TRUE(slots.slots[0].Held());
  FillSample(SampleAt(1), Pcm16({500, 500, 500, 500}), {16, 2, 0});
  FillSample(SampleAt(2), Pcm16({500, 500, 500, 500}), {16, 2, 1});  // stereo needs 4 bytes a frame
  keyMap.fill(1);
  slots.slots[0].position = 0.0;
  Render(4);
  for (float v : left) EXPECT_EQ(v, 0.0f);
  keyMap.fill(2);  // a new note: the held one would cross over first
  slots.ReleaseNote(-1);
  slots.StartNote(69, 127);
  Render(4);
  EXPECT_NE(left[0], 0.0f);
  EXPECT_EQ(left[2], 0.0f);  // only two stereo frames fit in 8 bytes
}

}  // namespace
}  // namespace chantera::test
