// What the audio thread does not do: allocate, free, wait for another thread (a lock, a
// condition, a sleep) or open a file. A program of its own (else it would count the whole
// suite): it replaces operator new and delete and interposes the C allocators, the POSIX
// locks, waits and sleeps and the calls that open files, counting the calls of a thread
// that has switched counting on (counting.cpp). Each format's process call (the VST 2 plug-in through its
// AEffect under a host that plays live, the CLAP build) is driven through thousands of
// blocks of busy MIDI with phonetic notes, bank selects, Effect switches and program
// changes: after a warm-up pass none of them allocates, frees, waits or opens a file, nor
// does a block with far more events than any before (more than the event queue holds,
// too). The voices the switches ask for load meanwhile on the plug-in's own thread and
// take over in the counted blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "counting.h"
#include "engine/sampler.h"
#include "host/sampler_plugin.h"
#include "host/vst2.h"
#include "platform/platform.h"
#include "support/fixtures.h"

#ifdef CHANTERA_CLAP_PATH
#include "support/clap_host.h"
#endif

namespace chantera::test {
namespace {

using namespace vst2;

constexpr int32_t kBlock = 512;
// Every so many blocks: a bank select (to the other voice), and, at other blocks, an Effect
// switch (on, then off).
constexpr int kBankSelectEvery = 150;
constexpr int kEffectEvery = 400;

// Blocks of events are built before any counting; handing one over again allocates nothing.
std::vector<EventList> BusyBlocks(int count) {
  std::mt19937 rng(42);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const char* symbols[] = {"a", "ka", "sa", "tSi", "n", "ri", "mo", "kya"};
  std::vector<EventList> blocks;
  for (int b = 0; b < count; ++b) {
    EventList events;
    // Timing "beat" (the demo voice has timing) and "live" in turn, 7 s each; Quality
    // "high" and "live" in turn, 3.5 s each.
    if (b % 600 == 0) events.Add(0, 0xB0, 85, b / 600 % 2 == 0 ? 127 : 0);
    if (b % 300 == 0) events.Add(0, 0xB0, 86, b / 300 % 2 == 0 ? 127 : 0);
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
      else if (kind == 8) {  // all notes off now and then; pedals, legato, glides, vibrato
        constexpr uint8_t kControllers[] = {120, 64, 65, 66, 67, 68, 1, 5, 76, 77, 78, 84};
        events.Add(frame, 0xB0, kControllers[pick(0, 11)], pick(0, 127));
      } else if (kind == 9)  // pitch-bend range through RPN 0
        events.Add(frame,
                   {{0xB0, 101, 0}, {0xB0, 100, 0}, {0xB0, 6, static_cast<uint8_t>(pick(1, 12))}, {0xB0, 38, 0}});
      else
        events.Add(frame, PhoneticNote(pick(48, 84), symbols[pick(0, 7)]));
    }
    if (b % kBankSelectEvery == kBankSelectEvery / 2)
      events.Add(pick(0, kBlock - 1), {{0xB0, 0, 100}, {0xB0, 32, static_cast<uint8_t>(1 - b / kBankSelectEvery % 2)}});
    blocks.emplace_back(std::move(events));
  }
  return blocks;
}

// The demo voice and a second voice of one recording, and a copy of the CLAP build beside
// them (which finds its voices beside its own file).
class Library {
 public:
  Library() {
    WriteVoiceLibrary(dir_, {{"Second", VoiceFolder{"second",
                                                    {"a.wav,a,69"},
                                                    {"Program", "P,1.0,2,a", "S,0,127,a.wav", "End"},
                                                    {{"a.wav", MakeWav(Pcm16(Sine(44100, 0.01)))}}}}});
    dir_.Write("voice.csv", "Demo,demo\r\nSecond,second\r\n");
    std::filesystem::create_directory_symlink(std::filesystem::path(CHANTERA_PLUGIN_DIR) / "demo",
                                              dir_.path() / "demo");
#ifdef CHANTERA_CLAP_PATH
    std::filesystem::copy_file(CHANTERA_CLAP_PATH, dir_.path() / "Chantera.clap");
#endif
  }
  std::string str() const {
    return dir_.str();
  }
  std::string Clap() const {
    return (dir_.path() / "Chantera.clap").string();
  }

 private:
  TempDir dir_;
};

std::atomic<long> messagesOnAudio{0};
int CountMessage(const char*, const char*) {
  if (countThisThread) messagesOnAudio.fetch_add(1);
  return 1;
}

// The VST 2 plug-in under a host that plays live, started as hosts start it.
class Instrument {
 public:
  explicit Instrument(const Library& library)
      : plugin_(std::make_unique<SamplerPlugin>(LiveHost, library.str().c_str())), effect_(plugin_->getAeffect()) {
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
  // The blocks in turn, with an Effect switch from this thread now and then (a host that
  // automates it from its audio thread); while a switch loads, each block is followed by
  // a pause for the loader. Returns how many switches took over.
  int PlayWithSwitches(std::vector<EventList>& blocks) {
    int takenOver = 0;
    for (size_t b = 0; b < blocks.size(); ++b) {
      if (b % kEffectEvery == kEffectEvery / 4)
        effect_->setParameter(effect_, 2, b / kEffectEvery % 2 == 0 ? 1.0f : 0.0f);
      const bool pending = plugin_->engine().SwitchPending();
      Play(blocks[b]);
      if (pending && !plugin_->engine().SwitchPending()) ++takenOver;
      if (plugin_->engine().SwitchPending()) Pause(1);
    }
    return takenOver;
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

TEST(Realtime, BusyMidiAndVoiceSwitchesNeitherAllocateNorWaitAfterWarmUp) {
  const Library library;
  Instrument instrument(library);
  ASSERT_GT(instrument.plugin().engine().Bank()->sampleCount.load(), 0) << "no demo voice in " << CHANTERA_PLUGIN_DIR;
  platform::SetMessageSink(CountMessage);
  std::vector<EventList> blocks = BusyBlocks(3000);  // about 35 s of audio
  instrument.PlayWithSwitches(blocks);               // warm-up
  int takenOver = 0;
  {
    const CountingScope counting;
    takenOver = instrument.PlayWithSwitches(blocks);
  }
  EXPECT_EQ(allocations.load(), 0) << "allocations on the audio thread in steady state";
  EXPECT_EQ(frees.load(), 0) << "frees on the audio thread in steady state";
  EXPECT_EQ(waits.load(), 0) << "locks, waits or sleeps on the audio thread";
  EXPECT_EQ(opens.load(), 0) << "files opened on the audio thread";
  EXPECT_EQ(messagesOnAudio.load(), 0);
  EXPECT_GE(takenOver, 15) << "voices switched while counting";
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
  EXPECT_EQ(waits.load(), 0);
  platform::SetMessageSink(nullptr);
}

#ifdef CHANTERA_CLAP_PATH
// The CLAP build under the same busy MIDI, with program, volume, Effect and Voice set by
// parameter events inside process as a CLAP host sets them.
TEST(Realtime, ClapBuildNeitherAllocatesNorWaitsAfterWarmUp) {
  const Library library;
  ClapModule module(library.Clap());
  const clap_plugin_t* plugin = module.Start("brisol.chantera", 44100.0, kBlock);
  ASSERT_NE(plugin, nullptr);
  // Made before any counting: every 16th block also sets a program and a volume.
  std::vector<EventList> blocks = BusyBlocks(2000);
  std::vector<ClapEvents> events(blocks.size());
  std::vector<bool> switches(blocks.size());
  for (size_t b = 0; b < blocks.size(); ++b) {
    if (b % 16 == 0)
      events[b].Param(0, static_cast<double>((b / 16) % 103)).Param(1, 0.5 + 0.5 * static_cast<double>((b / 16) % 2));
    if (b % kEffectEvery == kEffectEvery / 4) events[b].Param(3, b / kEffectEvery % 2 == 0 ? 1.0 : 0.0);
    if (b % kBankSelectEvery == kBankSelectEvery / 4) events[b].Param(6, static_cast<double>(b / kBankSelectEvery % 2));
    switches[b] = b % kBankSelectEvery == kBankSelectEvery / 4 || b % kBankSelectEvery == kBankSelectEvery / 2 ||
                  b % kEffectEvery == kEffectEvery / 4;
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
  // After a switch, pauses for the loader (no way to ask the plug-in whether it is done).
  const auto play = [&] {
    int pausesLeft = 0;
    for (size_t b = 0; b < events.size(); ++b) {
      ClapModule::Process(plugin, left, right, kBlock, events[b]);
      for (float x : left) peak = std::max(peak, std::fabs(x));
      if (switches[b]) pausesLeft = 40;
      if (pausesLeft > 0) {
        --pausesLeft;
        Pause(1);
      }
    }
  };
  play();  // warm-up
  {
    const CountingScope counting;
    play();
  }
  EXPECT_EQ(allocations.load(), 0) << "allocations in the CLAP build's process calls";
  EXPECT_EQ(frees.load(), 0) << "frees in the CLAP build's process calls";
  EXPECT_EQ(waits.load(), 0) << "locks, waits or sleeps in the CLAP build's process calls";
  EXPECT_EQ(opens.load(), 0) << "files opened in the CLAP build's process calls";
  EXPECT_GT(peak, 0.01f) << "the blocks were not silent";
}
#endif

// The counters see what they are meant to see.
TEST(Realtime, CountingSeesEveryKind) {
  std::mutex mutex;
  {
    const CountingScope counting;
    std::vector<int> grown(100);
    grown.push_back(1);
    { const std::lock_guard<std::mutex> lock(mutex); }
    std::this_thread::sleep_for(std::chrono::microseconds(10));
    const platform::File file(std::fopen(CHANTERA_PLUGIN_DIR "/voice.csv", "rb"));
  }
  EXPECT_GE(allocations.load(), 2);
  EXPECT_GE(frees.load(), 1);
  EXPECT_GE(waits.load(), 2);
  EXPECT_EQ(opens.load(), 1);
}

}  // namespace
}  // namespace chantera::test
