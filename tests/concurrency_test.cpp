// Threads against one another, for the thread sanitizer as much as for the asserts: MIDI
// with bank selects and rendering on an audio thread while host threads switch the
// Chorus, choose voices, select programs and set every parameter, under a host that plays
// live (voices load in the background) and one that does not say (they load at once, on
// the thread that asks); and instances come and go while their loaders run. Proved: audio
// stays finite, nothing deadlocks, every bank is freed (also those a loader outlived its
// instrument with). Run alone with --gtest_filter='Concurrency*' (the TSan job does).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "engine/sampler.h"
#include "host/sampler_plugin.h"
#include "library/sample_bank.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

using Clock = std::chrono::steady_clock;

VoiceFolder SmallVoice(const std::string& folder, int samples, double cycles) {
  VoiceFolder voice{folder, {}, {"Program", "P,1.0,2,zero"}, {}};
  for (int i = 0; i < samples; ++i) {
    const std::string name = "s" + std::to_string(i) + ".wav";
    voice.sampleLines.push_back(name + ",s," + std::to_string(48 + 4 * i));
    voice.files.emplace_back(name, MakeWav(Pcm16(Sine(1500, cycles * (i + 1)))));
    voice.programLines.push_back("S," + std::to_string(i * 16) + "," + std::to_string(i * 16 + 15) + "," + name);
  }
  voice.programLines.push_back("End");
  for (const std::string p : {"1", "2", "3"})
    voice.programLines.insert(voice.programLines.end(), {"Program", "P,0.8,3,p" + p, "S,0,127,s" + p + ".wav", "End"});
  return voice;
}

void WriteTwoVoices(const TempDir& dir) {
  WriteVoiceLibrary(dir, {{"One", SmallVoice("one", 8, 0.01)}, {"Two", SmallVoice("two", 8, 0.013)}});
}

// One block's MIDI on the audio thread: a note, sometimes a bank select, sometimes a
// phonetic "a" from the spelling controllers.
std::vector<MidiEvent> BlockEvents(std::mt19937& rng, int32_t frames) {
  std::uniform_int_distribution<int> frame(0, frames - 1), key(36, 96), what(0, 9);
  std::vector<MidiEvent> midi = {{frame(rng), 0x90, static_cast<uint8_t>(key(rng)), 100},
                                 {frame(rng), 0x80, static_cast<uint8_t>(key(rng)), 0}};
  const int kind = what(rng);
  if (kind == 0) {
    midi.push_back({frames / 2, 0xB0, 0, 100});
    midi.push_back({frames / 2, 0xB0, 32, static_cast<uint8_t>(rng() % 2)});
  } else if (kind == 1) {
    for (Midi3 m : PhoneticNote(60, "a")) midi.push_back({frames - 1, m.status, m.data1, m.data2});
  } else if (kind == 2) {
    midi.push_back({0, 0xB0, 7, static_cast<uint8_t>(rng() % 128)});
  }
  return midi;
}

// Renders blocks with events until stop; counts blocks and any sample that is not finite.
void AudioThread(SamplerPlugin& plugin, const std::atomic<bool>& stop, std::atomic<int>& blocks,  // blocks with sound
                 std::atomic<int>& notFinite, uint32_t seed) {
  constexpr int32_t kFrames = 128;
  std::vector<float> left(kFrames), right(kFrames);
  float* outputs[2] = {left.data(), right.data()};
  std::mt19937 rng(seed);
  while (!stop.load()) {
    const std::vector<MidiEvent> midi = BlockEvents(rng, kFrames);
    plugin.engine().BeginEvents();
    for (const MidiEvent& e : midi) plugin.engine().QueueEvent(e);
    plugin.processReplacing(nullptr, outputs, kFrames);
    bool sounding = false;
    for (int32_t i = 0; i < kFrames; ++i) {
      if (!std::isfinite(left[i]) || !std::isfinite(right[i])) notFinite.fetch_add(1);
      sounding = sounding || left[i] != 0.0f;
    }
    if (sounding) blocks.fetch_add(1);
  }
}

// Switches the Chorus, selects programs and sets and reads every parameter until stop.
void HostThread(SamplerPlugin& plugin, const std::atomic<bool>& stop, uint32_t seed) {
  std::mt19937 rng(seed);
  char text[32];
  int round = 0;
  while (!stop.load()) {
    if (++round % 4 == 0) plugin.setParameter(2, (rng() % 2) != 0 ? 1.0f : 0.0f);
    if (round % 7 == 0)
      plugin.engine().ChooseVoice(static_cast<int32_t>(rng() % 2),
                                  (rng() % 2) != 0 ? Sampler::Switching::kInBackground : Sampler::Switching::kAtOnce);
    plugin.setProgram(static_cast<int32_t>(rng() % 4));
    plugin.setParameter(0, 0.5f + static_cast<float>(rng() % 100) / 200.0f);
    plugin.setParameter(1, static_cast<float>(rng() % 13) / 12.0f);
    plugin.setParameter(3, 1.0f / 110000.0f);
    plugin.setParameter(4, 0.001f);
    for (int32_t index = 0; index < 5; ++index) {
      plugin.getParameter(index);
      plugin.getParameterDisplay(index, text);
    }
    plugin.getProgramName(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

TEST(ConcurrencyStress, RenderingMidiSwitchingAndLoadersTogether) {
  TempDir dir;
  WriteTwoVoices(dir);
  MessageCounter messages;
  const int32_t banksBefore = SampleBank::LiveCount();
  for (vst2::audioMasterCallback host : {LiveHost, QuietHost}) {
    SamplerPlugin plugin(host, dir.str().c_str());
    plugin.setSampleRate(44100.0f);
    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0}, notFinite{0};
    std::thread audio(AudioThread, std::ref(plugin), std::cref(stop), std::ref(blocks), std::ref(notFinite), 1u);
    std::thread host1(HostThread, std::ref(plugin), std::cref(stop), 2u);
    std::thread host2(HostThread, std::ref(plugin), std::cref(stop), 3u);  // two switches at once
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    stop = true;
    for (std::thread* t : {&audio, &host1, &host2}) t->join();
    EXPECT_GT(blocks.load(), 0);
    EXPECT_EQ(notFinite.load(), 0);
  }
  EXPECT_EQ(messages.count(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return SampleBank::LiveCount() == banksBefore; }));
}

// Instances destroyed while their loaders run, then instances that come and go on
// another thread beside a rendering one.
TEST(ConcurrencyLifecycle, InstancesDestroyedWhileTheirLoadersRunOrBesideARenderingOne) {
  TempDir dir;
  WriteTwoVoices(dir);
  const int32_t banksBefore = SampleBank::LiveCount();
  const auto started = Clock::now();
  for (int round = 0; round < 6; ++round) {
    auto plugin = std::make_unique<SamplerPlugin>(QuietHost, dir.str().c_str());
    plugin->setParameter(2, 1.0f);  // a run starts over eight samples
    if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(3));
    plugin.reset();  // asks the run to stop and waits for it
  }
  EXPECT_TRUE(WaitUntil([&] { return SampleBank::LiveCount() == banksBefore; }));
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));
  {
    SamplerPlugin plugin(QuietHost, dir.str().c_str());
    plugin.setParameter(2, 1.0f);
    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0}, notFinite{0};
    std::thread audio(AudioThread, std::ref(plugin), std::cref(stop), std::ref(blocks), std::ref(notFinite), 4u);
    std::thread creator([&] {
      for (int round = 0; round < 4; ++round) {
        SamplerPlugin other(QuietHost, dir.str().c_str());
        other.setParameter(2, 1.0f);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    creator.join();
    stop = true;
    audio.join();
    EXPECT_EQ(notFinite.load(), 0);
  }
  EXPECT_TRUE(WaitUntil([&] { return SampleBank::LiveCount() == banksBefore; }));
}

}  // namespace
}  // namespace chantera::test
