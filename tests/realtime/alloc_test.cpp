// What the audio thread does not do: allocate, free, or wait for another thread. A program
// of its own (else it would count the whole suite): it replaces operator new and delete and
// interposes the C allocators, counting the calls of a thread that has switched counting on.
// The plug-in plays the demo voice through its AEffect over thousands of blocks of busy MIDI
// (bank selects left out: they load a voice, by design); after a warm-up pass the same blocks
// must allocate and free nothing, and so must a block with far more events than any before
// (more than the event queue holds, too).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include "engine/sampler.h"
#include "host/sampler_plugin.h"
#include "host/vst2.h"
#include "support/fixtures.h"

#ifdef CHANTERA_CLAP_PATH
#include "support/clap_host.h"
#endif

namespace {
std::atomic<long> allocations{0};
std::atomic<long> frees{0};
thread_local bool countThisThread = false;

inline void CountAllocation() {
  if (countThisThread) allocations.fetch_add(1, std::memory_order_relaxed);
}
inline void CountFree(void* p) {
  if (countThisThread && p != nullptr) frees.fetch_add(1, std::memory_order_relaxed);
}

// Counts what the calling thread allocates and frees while it lives.
struct CountingScope {
  CountingScope() {
    allocations = frees = 0;
    countThisThread = true;
  }
  ~CountingScope() { countThisThread = false; }
};

void* OrThrow(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

// Every allocator counts and forwards to the C library's; every delete goes through free.
#define CHANTERA_COUNTED(signature, call) \
  signature {                             \
    CountAllocation();                    \
    return call;                          \
  }
#define CHANTERA_DELETES(...)                                           \
  void operator delete(void* p __VA_OPT__(, ) __VA_ARGS__) noexcept {   \
    free(p);                                                            \
  }                                                                     \
  void operator delete[](void* p __VA_OPT__(, ) __VA_ARGS__) noexcept { \
    free(p);                                                            \
  }

extern "C" {
CHANTERA_COUNTED(void* malloc(size_t size), __libc_malloc(size))
CHANTERA_COUNTED(void* calloc(size_t count, size_t size), __libc_calloc(count, size))
CHANTERA_COUNTED(void* realloc(void* p, size_t size), __libc_realloc(p, size))
CHANTERA_COUNTED(void* aligned_alloc(size_t alignment, size_t size), __libc_memalign(alignment, size))
CHANTERA_COUNTED(void* memalign(size_t alignment, size_t size), __libc_memalign(alignment, size))
void free(void* p) {
  CountFree(p);
  __libc_free(p);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  CountAllocation();
  void* p = __libc_memalign(alignment, size);
  if (p != nullptr) *out = p;
  return p != nullptr ? 0 : ENOMEM;
}
}

CHANTERA_COUNTED(void* operator new(size_t size), OrThrow(__libc_malloc(size == 0 ? 1 : size)))
CHANTERA_COUNTED(void* operator new[](size_t size), OrThrow(__libc_malloc(size == 0 ? 1 : size)))
CHANTERA_COUNTED(void* operator new(size_t size, const std::nothrow_t&) noexcept, __libc_malloc(size == 0 ? 1 : size))
CHANTERA_COUNTED(void* operator new[](size_t size, const std::nothrow_t&) noexcept, __libc_malloc(size == 0 ? 1 : size))
CHANTERA_COUNTED(void* operator new(size_t size, std::align_val_t alignment),
                 OrThrow(__libc_memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size)))
CHANTERA_COUNTED(void* operator new[](size_t size, std::align_val_t alignment),
                 OrThrow(__libc_memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size)))
CHANTERA_DELETES()
CHANTERA_DELETES(size_t)
CHANTERA_DELETES(std::align_val_t)
CHANTERA_DELETES(size_t, std::align_val_t)

namespace chantera::test {
namespace {

using namespace vst2;

constexpr int32_t kBlock = 512;

// Blocks of events are built before any counting; handing one over again allocates nothing.
std::vector<EventList> BusyBlocks(int count) {
  std::mt19937 rng(42);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const char* symbols[] = {"a", "ka", "sa", "tSi", "n", "ri", "mo", "kya"};
  std::vector<EventList> blocks;
  for (int b = 0; b < count; ++b) {
    EventList events;
    const int n = b == 0 ? 96 : pick(0, 40);  // the largest block first
    for (int i = 0; i < n; ++i) {
      const int32_t frame = pick(0, kBlock - 1);
      const int kind = pick(0, 11);
      if (kind < 5)  // notes on (three in five) and off, on any channel
        events.Add(frame, (kind < 3 ? 0x90 : 0x80) | pick(0, 15), pick(36, 96), pick(kind < 3 ? 1 : 0, 127));
      else if (kind == 5)
        events.Add(frame, 0x90, pick(36, 96), 0);  // velocity 0: a note-off
      else if (kind == 6)
        events.Add(frame, 0xE0, pick(0, 127), pick(0, 127));
      else if (kind == 7)
        events.Add(frame, 0xB0, pick(0, 1) ? 7 : 11, pick(0, 127));
      else if (kind == 8)
        events.Add(frame, 0xB0, pick(1, 5) == 1 ? 120 : pick(64, 67), pick(0, 127));
      else if (kind == 9)  // pitch-bend range through RPN 0
        events.Add(frame,
                   {{0xB0, 101, 0}, {0xB0, 100, 0}, {0xB0, 6, static_cast<uint8_t>(pick(1, 12))}, {0xB0, 38, 0}});
      else
        events.Add(frame, PhoneticNote(pick(48, 84), symbols[pick(0, 7)]));
    }
    blocks.emplace_back(std::move(events));
  }
  return blocks;
}

class Instrument {
 public:
  Instrument()
      : plugin_(std::make_unique<SamplerPlugin>(QuietHost, CHANTERA_PLUGIN_DIR)), effect_(plugin_->getAeffect()) {
    effect_->dispatcher(effect_, effOpen, 0, 0, nullptr, 0.0f);
    effect_->dispatcher(effect_, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    effect_->dispatcher(effect_, effSetBlockSize, 0, kBlock, nullptr, 0.0f);
    effect_->dispatcher(effect_, effMainsChanged, 0, 1, nullptr, 0.0f);
  }
  ~Instrument() { effect_->dispatcher(effect_, effMainsChanged, 0, 0, nullptr, 0.0f); }
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;

  void Play(EventList& block) {
    block.Send(effect_);
    float* outputs[2] = {left_, right_};
    effect_->processReplacing(effect_, nullptr, outputs, kBlock);
    for (int32_t f = 0; f < kBlock; ++f) peak_ = std::max(peak_, std::fabs(left_[f]));
  }
  SamplerPlugin& plugin() { return *plugin_; }
  float peak() const { return peak_; }

 private:
  std::unique_ptr<SamplerPlugin> plugin_;
  AEffect* effect_;
  float left_[kBlock] = {};
  float right_[kBlock] = {};
  float peak_ = 0.0f;
};

TEST(Realtime, BusyMidiAllocatesAndFreesNothingAfterWarmUp) {
  Instrument instrument;
  ASSERT_GT(instrument.plugin().engine().Bank()->sampleCount.load(), 0) << "no demo voice in " << CHANTERA_PLUGIN_DIR;
  std::vector<EventList> blocks = BusyBlocks(3000);        // about 35 s of audio
  for (EventList& block : blocks) instrument.Play(block);  // warm-up
  {
    const CountingScope counting;
    for (EventList& block : blocks) instrument.Play(block);
  }
  EXPECT_EQ(allocations.load(), 0) << "allocations on the audio thread in steady state";
  EXPECT_EQ(frees.load(), 0) << "frees on the audio thread in steady state";
  EXPECT_GT(instrument.peak(), 0.01f) << "the blocks were not silent";

  // Blocks of more events than ever before: a thousand, then more than the queue holds.
  EventList larger, flood;
  for (int i = 0; i < 1000; ++i) larger.Add(i % kBlock, 0x90 | (i % 16), 36 + i % 60, i % 2 == 0 ? 100 : 0);
  for (int i = 0; i < 3 * EventQueue::kCapacity; ++i) flood.Add(i % kBlock, i % 3 == 0 ? 0x80 : 0xB0, i % 128, 64);
  larger.get();
  flood.get();
  {
    const CountingScope counting;
    instrument.Play(larger);
    instrument.Play(flood);
  }
  EXPECT_EQ(allocations.load(), 0) << "allocations for blocks of more events than any before";
  EXPECT_EQ(frees.load(), 0);
}

#ifdef CHANTERA_CLAP_PATH
// The CLAP build under the same busy MIDI, with program and volume set by parameter events
// inside process as a CLAP host sets them.
TEST(Realtime, ClapBuildAllocatesAndFreesNothingAfterWarmUp) {
  ClapModule module(CHANTERA_CLAP_PATH);
  const clap_plugin_t* plugin = module.Start("brisol.chantera", 44100.0, kBlock);
  ASSERT_NE(plugin, nullptr);
  // Made before any counting: every 16th block also sets a program and a volume.
  std::vector<EventList> blocks = BusyBlocks(1000);
  std::vector<ClapEvents> events(blocks.size());
  for (size_t b = 0; b < blocks.size(); ++b) {
    if (b % 16 == 0)
      events[b].Param(0, static_cast<double>((b / 16) % 103)).Param(1, 0.5 + 0.5 * static_cast<double>((b / 16) % 2));
    VstEvents* list = blocks[b].get();
    std::vector<const VstMidiEvent*> midi;
    for (int32_t i = 0; i < list->numEvents; ++i) midi.push_back(reinterpret_cast<VstMidiEvent*>(EventSlots(list)[i]));
    std::stable_sort(midi.begin(), midi.end(), [](auto* x, auto* y) { return x->deltaFrames < y->deltaFrames; });
    for (const VstMidiEvent* e : midi)
      events[b].Midi(static_cast<uint32_t>(e->deltaFrames), static_cast<uint8_t>(e->midiData[0]),
                     static_cast<uint8_t>(e->midiData[1]), static_cast<uint8_t>(e->midiData[2]));
    events[b].Input();  // the list at its full size
  }
  float left[kBlock] = {}, right[kBlock] = {};
  float peak = 0.0f;
  for (ClapEvents& block : events) ClapModule::Process(plugin, left, right, kBlock, block);  // warm-up
  {
    const CountingScope counting;
    for (ClapEvents& block : events) {
      ClapModule::Process(plugin, left, right, kBlock, block);
      for (float x : left) peak = std::max(peak, std::fabs(x));
    }
  }
  EXPECT_EQ(allocations.load(), 0) << "allocations in the CLAP build's process calls";
  EXPECT_EQ(frees.load(), 0) << "frees in the CLAP build's process calls";
  EXPECT_GT(peak, 0.01f) << "the blocks were not silent";
}
#endif

TEST(Realtime, CountingSeesAnAllocation) {
  long seen = 0;
  {
    const CountingScope counting;
    std::vector<int> grown(100);
    grown.push_back(1);
    seen = allocations.load();
  }
  EXPECT_GE(seen, 2);
}

TEST(Realtime, PhoneticCommitsNeverWaitForAThreadHoldingThePrograms) {
  Instrument instrument;
  Sampler& engine = instrument.plugin().engine();
  ASSERT_GT(engine.Bank()->sampleCount.load(), 0) << "no demo voice in " << CHANTERA_PLUGIN_DIR;
  std::vector<EventList> blocks(3);  // the third empty
  blocks[0].Add(0, PhoneticNote(60, "a"));
  // Volume 0, then a commit of program 5, which takes its volume (1) back.
  blocks[1].Add(0, 0xB0, 7, 0).Add(100, PhoneticNote(64, "ka"));
  for (EventList& block : blocks) block.get();  // each list laid out before any counting
  instrument.Play(blocks[0]);
  instrument.Play(blocks[2]);
  ASSERT_EQ(engine.GetProgram(), 0);

  std::atomic<bool> held{false}, release{false};
  // Held until the blocks are done, or two seconds at most: an audio thread that waits
  // for it shows up as a slow block rather than a hung test.
  std::thread holder([&] {
    const std::lock_guard<std::mutex> lock(engine.Programs().mutex);
    held = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!release && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  double slowest = 0.0;
  {
    const CountingScope counting;
    for (int b = 0; b < 50; ++b) {
      const auto start = std::chrono::steady_clock::now();
      instrument.Play(blocks[b == 0 ? 1 : 2]);
      slowest = std::max(slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  }
  const int32_t programWhileHeld = engine.GetProgram();
  const float volumeWhileHeld = engine.Volume();
  release = true;
  holder.join();
  EXPECT_EQ(allocations.load(), 0);
  EXPECT_EQ(programWhileHeld, 5) << "the commit selected its program although the lock was held";
  EXPECT_EQ(volumeWhileHeld, 1.0f) << "and took its volume";
  // A block takes well under a millisecond; a wait for the holder would take as long as
  // the test kept the lock. The bound leaves room for a busy machine.
  EXPECT_LT(slowest, 0.25) << "a block waited";

  // Once the lock is free the audio thread publishes the key map it used.
  instrument.Play(blocks[2]);
  KeyTable published{};
  uint32_t sequence = ~0u;
  ASSERT_TRUE(engine.Programs().keyMap.Snapshot(published, sequence));
  KeyTable expected{};
  {
    const std::lock_guard<std::mutex> lock(engine.Programs().mutex);
    engine.Programs().BuildKeyMap(5, expected);
  }
  EXPECT_EQ(published, expected);
}

}  // namespace
}  // namespace chantera::test
