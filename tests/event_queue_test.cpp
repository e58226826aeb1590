// The block's event queue and the block loop that hands each event on at its frame. A
// note's slot position after a block says exactly at which frame the note began (step 1.0
// at the root key, 2.0 an octave up), so the tests read the split points from it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "engine/sampler.h"
#include "host/sampler_plugin.h"
#include "host/vst2.h"
#include "platform/platform.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

class EventQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteSingleSampleVoice(dir, std::vector<int16_t>(4000, 8192), 69);
    sampler = std::make_unique<Sampler>(dir.str());
  }
  void Queue(const std::vector<MidiEvent>& events) {
    sampler->BeginEvents();
    for (const MidiEvent& e : events) sampler->QueueEvent(e);
  }
  void Block(int32_t frames) {
    left.assign(static_cast<size_t>(frames), 1.0f);  // stale host data
    right.assign(static_cast<size_t>(frames), 1.0f);
    sampler->Process(left.data(), right.data(), frames);
  }
  double Position(int slot) const { return sampler->Slots().slots[static_cast<size_t>(slot)].position; }
  bool Active(int slot) const { return sampler->Slots().slots[static_cast<size_t>(slot)].Held(); }
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

// A new list keeps what the last block left: due at once, before the list's own events.
TEST_F(EventQueueTest, NewListHandsOutWhatWasLeftFirst) {
  Queue({NoteOn(600, 69), NoteOn(700, 81)});
  Block(512);
  Queue({NoteOn(100, 93)});
  Block(512);
  EXPECT_EQ(Position(1), 512.0 * 2.0);  // key 81 from frame 0
  EXPECT_EQ(Position(2), 412.0 * 4.0);  // key 93 at its own frame
  EXPECT_EQ(sampler->Events().eventCount, 2);
}

TEST_F(EventQueueTest, ZeroOrNegativeBlockHandsOutNothing) {
  Queue({NoteOn(0, 69)});
  float out[1] = {1.0f};
  sampler->Process(out, out, 0);
  sampler->Process(out, out, -4);
  EXPECT_FALSE(Active(0));
  EXPECT_EQ(out[0], 1.0f);
}

// processEvents as a host calls it: a VstEvents list of 20 events, 3 of them SysEx. A
// second list before the block is rendered adds to the first (hosts that split a block's
// events over several calls).
TEST_F(EventQueueTest, TwentyEventsOfWhichThreeAreNotMidi) {
  SamplerPlugin plugin(nullptr, dir.str().c_str());
  EventList events;
  for (int i = 0; i < 20; ++i) i % 7 == 3 ? events.AddSysEx(i) : events.Add(i, 0xB0, 7, static_cast<uint8_t>(i));
  vst2::VstEvents* list = events.get();
  EXPECT_EQ(plugin.processEvents(list), 1);
  const EventQueue& queue = plugin.engine().Events();
  EXPECT_EQ(queue.eventCount, 17);
  EXPECT_EQ(queue.events[3].data2, 4);  // the host's order, the SysEx left out
  list->numEvents = 2;
  plugin.processEvents(list);
  EXPECT_EQ(queue.eventCount, 19);
  EXPECT_EQ(queue.lateCount, 0);  // the same block: every event keeps its frame
  list->numEvents = 0;
  EXPECT_EQ(plugin.processEvents(list), 1);
  EXPECT_EQ(queue.eventCount, 19);
}

// The storage, made at construction, filled past its end: releases are never lost.
TEST(EventQueueStorage, AFullStorageKeepsEveryRelease) {
  constexpr int32_t kRoom = EventQueue::kCapacity - EventQueue::kReleaseRoom;
  const auto noteOff = [](uint8_t key) { return MidiEvent{0, 0x80, key, 0}; };
  EventQueue queue;
  queue.Begin();
  for (int32_t i = 0; i < EventQueue::kCapacity + 10; ++i) queue.Push({0, 0x90, 60, 100});
  EXPECT_EQ(queue.eventCount, kRoom);  // the last records are kept for releases
  // Every key released once, all notes off, and the same releases again (no-ops).
  for (int key = 0; key < 128; ++key) queue.Push(noteOff(static_cast<uint8_t>(key)));
  queue.Push({0, 0xB0, 123, 0});
  EXPECT_EQ(queue.eventCount, EventQueue::kCapacity);
  queue.Push({0, 0x90, 5, 0});  // a note-on of velocity 0 releases key 5 again
  queue.Push({0, 0xBF, 120, 0});
  EXPECT_EQ(queue.droppedEvents, EventQueue::kReleaseRoom + 10 + 2);
  for (int key = 0; key < 128; ++key) EXPECT_EQ(queue.events[static_cast<size_t>(kRoom + key)].data1, key);

  // Releases of key 60 twice among the others: a release of key 127 takes the place of the
  // repeat, and keeps its own frame though the records before it are late.
  EventQueue repeated;
  repeated.Begin();
  for (int32_t i = 0; i < kRoom; ++i) repeated.Push({0, 0xB0, 7, 100});
  repeated.Push(noteOff(60));
  for (int key = 0; key < 127; ++key) repeated.Push(noteOff(static_cast<uint8_t>(key)));
  repeated.Push({0, 0xB0, 123, 0});
  repeated.blockFramesDone = 1;  // a block was rendered: a new list makes these late
  repeated.Begin();
  repeated.Push(noteOff(127));
  repeated.Push({0, 0x90, 62, 100});  // not a release: dropped
  EXPECT_EQ(repeated.eventCount, EventQueue::kCapacity);
  EXPECT_EQ(repeated.events[kRoom].data1, 60);
  EXPECT_EQ(repeated.events[kRoom + 61].data1, 61);  // the repeat of 60 was here
  EXPECT_EQ(repeated.events[EventQueue::kCapacity - 1].data1, 127);
  EXPECT_EQ(repeated.lateCount, EventQueue::kCapacity - 1);
  EXPECT_EQ(repeated.droppedEvents, 2);
}

// An Effect switch on another thread reloads the voice beside the one that sings: held up
// in the middle of its reading, it keeps no block from rendering, and every event acts at
// its own frame on the old voice until the new one takes over.
std::atomic<bool> reloadHeld{false}, reloadMayGoOn{false};
int HoldingSink(const char*, const char*) {
  reloadHeld = true;
  while (!reloadMayGoOn) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return 1;
}

TEST_F(EventQueueTest, BlocksRenderAtTheirFramesWhileAnEffectSwitchReadsTheVoice) {
  TempDir library;
  WriteVoiceLibrary(library, {{"Voice", VoiceFolder{"v",
                                                    {"a.wav,a,69", "gone.wav,b,70"},
                                                    {"Program", "P,1.0,2,a", "S,0,127,a.wav", "End"},
                                                    {{"a.wav", MakeWav(Pcm16(std::vector<int16_t>(20000, 8192)))}}}}});
  SamplerPlugin plugin(nullptr, library.str().c_str());
  vst2::AEffect* effect = plugin.getAeffect();
  float left[512], right[512];
  float* outputs[2] = {left, right};
  const auto block = [&](EventList events) {
    events.Send(effect);
    effect->processReplacing(effect, nullptr, outputs, 512);
  };
  block(EventList().Add(0, 0x90, 69, 100));

  reloadHeld = reloadMayGoOn = false;
  platform::SetMessageSink(HoldingSink);  // the missing file's message holds the reload
  std::thread effectSwitch([effect] { effect->setParameter(effect, 2, 1.0f); });
  const bool held = WaitUntil([] { return reloadHeld.load(); });
  if (held) {
    block(EventList().Add(10, 0x80, 69, 0));
    EXPECT_GT(left[9], 0.0f);  // rendered, the note held up to its release
    EXPECT_TRUE(plugin.engine().Slots().slots[0].Releasing());
    block(EventList().Add(0, 0xB0, 7, 64));
    EXPECT_FLOAT_EQ(plugin.engine().Volume(), 64.0f / 127.0f);
    EXPECT_TRUE(plugin.engine().SwitchPending());
  }
  reloadMayGoOn = true;
  effectSwitch.join();
  platform::SetMessageSink(nullptr);
  ASSERT_TRUE(held);

  block(EventList().Add(0, 0x90, 69, 100));
  EXPECT_FALSE(plugin.engine().SwitchPending());              // taken over at the block's start
  EXPECT_FLOAT_EQ(plugin.engine().Volume(), 64.0f / 127.0f);  // an Effect switch leaves it
  EXPECT_TRUE(plugin.engine().Slots().slots[1].Held());
}

}  // namespace
}  // namespace chantera::test
