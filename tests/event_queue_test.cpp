// The block's event queue and the block loop that hands each event on at its frame. A
// note's slot position after a block says exactly at which frame the note began (step 1.0
// at the root key, 2.0 an octave up), so the tests read the split points from it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/module_state.h"
#include "engine/sampler.h"
#include "host/sampler_plugin.h"
#include "host/vst2.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

class EventQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModuleState();
    WriteSingleSampleVoice(dir, std::vector<int16_t>(4000, 8192), 69);
    sampler = std::make_unique<Sampler>(dir.str());
  }
  void Queue(const std::vector<MidiEvent>& events) {
    sampler->BeginEvents(static_cast<int32_t>(events.size()));
    for (const MidiEvent& e : events) sampler->QueueEvent(e);
  }
  void Block(int32_t frames) {
    left.assign(static_cast<size_t>(frames), 1.0f);  // stale host data
    right.assign(static_cast<size_t>(frames), 1.0f);
    sampler->Process(left.data(), right.data(), frames);
  }
  double Position(int slot) const { return sampler->Slots().slots[static_cast<size_t>(slot)].position; }
  bool Active(int slot) const { return sampler->Slots().slots[static_cast<size_t>(slot)].active != 0; }
  static MidiEvent NoteOn(int32_t frame, uint8_t key) { return {frame, 0x90, key, 100}; }

  TempDir dir;
  std::unique_ptr<Sampler> sampler;
  std::vector<float> left, right;
};

// Each row: the queued notes, the block, the slot positions after it, and the first frame
// that sounds (silence before it, stale output cleared).
TEST_F(EventQueueTest, EachEventIsHandedOnAtItsFrame) {
  struct Row {
    std::vector<MidiEvent> events;
    int32_t frames;
    std::vector<double> positions;
    int32_t soundFrom;
  };
  const Row rows[] = {
      {{NoteOn(100, 69)}, 512, {412.0}, 100},
      {{NoteOn(0, 69), NoteOn(511, 69)}, 512, {512.0, 1.0}, 0},
      // Out of order: handed out right after the one before, so at frame 300 too, at step 2.
      {{NoteOn(300, 69), NoteOn(100, 81)}, 512, {212.0, 424.0}, 300},
      {{NoteOn(-5, 69), NoteOn(0, 69), NoteOn(0, 81)}, 10, {10.0, 10.0, 20.0}, 0},
      {{}, 256, {}, 256},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.frames);
    ResetModuleState();
    sampler = std::make_unique<Sampler>(dir.str());
    Queue(row.events);
    Block(row.frames);
    for (size_t i = 0; i < row.positions.size(); ++i) EXPECT_EQ(Position(int(i)), row.positions[i]) << i;
    for (int32_t f = 0; f < row.frames; ++f) ASSERT_EQ(left[size_t(f)] > 0.0f, f >= row.soundFrom) << f;
  }
}

TEST_F(EventQueueTest, WithNothingQueuedTheBlockIsOneStretch) {
  Queue({NoteOn(0, 69)});
  Block(64);
  Block(64);
  EXPECT_EQ(Position(0), 128.0);
  EXPECT_EQ(sampler->Events().blockFramesDone, 128);
}

TEST_F(EventQueueTest, EventsPastTheEndWaitForTheNextBlock) {
  Queue({NoteOn(600, 69), NoteOn(700, 81)});
  Block(512);
  EXPECT_TRUE(Active(0));  // handed out after the block's last frame
  EXPECT_EQ(Position(0), 0.0);
  EXPECT_FALSE(Active(1));
  EXPECT_EQ(sampler->Events().eventReadIndex, 1);
  Block(512);  // no new list: the second comes at frame 700 − 512 = 188
  EXPECT_EQ(Position(0), 512.0);
  EXPECT_EQ(Position(1), (512.0 - 188.0) * 2.0);
}

TEST_F(EventQueueTest, NewListDiscardsWhatWasLeft) {
  Queue({NoteOn(600, 69), NoteOn(700, 81)});
  Block(512);
  Queue({});
  Block(512);
  EXPECT_FALSE(Active(1));
  EXPECT_EQ(sampler->Events().eventCount, 0);
}

TEST_F(EventQueueTest, ZeroOrNegativeBlockHandsOutNothing) {
  Queue({NoteOn(0, 69)});
  float out[1] = {1.0f};
  sampler->Process(out, out, 0);
  sampler->Process(out, out, -4);
  EXPECT_FALSE(Active(0));
  EXPECT_EQ(out[0], 1.0f);
}

// processEvents as a host calls it: a VstEvents list of 20 events, 3 of them SysEx.
TEST_F(EventQueueTest, TwentyEventsOfWhichThreeAreNotMidi) {
  SamplerPlugin plugin(nullptr, dir.str().c_str());
  EventList events;
  for (int i = 0; i < 20; ++i) i % 7 == 3 ? events.AddSysEx(i) : events.Add(i, 0xB0, 7, static_cast<uint8_t>(i));
  vst2::VstEvents* list = events.get();
  EXPECT_EQ(plugin.processEvents(list), 1);
  const EventQueue& queue = plugin.engine().Events();
  EXPECT_EQ(queue.eventCapacity, 20);
  EXPECT_EQ(queue.eventCount, 17);
  EXPECT_EQ(queue.events[3].data2, 4);  // the host's order, the SysEx left out
  list->numEvents = 2;
  plugin.processEvents(list);
  EXPECT_EQ(queue.eventCapacity, 20);  // never shrinks
  EXPECT_EQ(queue.eventCount, 2);
  list->numEvents = 0;
  EXPECT_EQ(plugin.processEvents(list), 1);
  EXPECT_EQ(queue.eventCount, 0);
}

}  // namespace
}  // namespace chantera::test
