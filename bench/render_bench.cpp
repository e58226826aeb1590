// RenderStretch with 16 held voices of 16-bit mono data (playing once, or held on a
// sustain loop), against floor kernels that do
// only the interpolation and the gain (no guards, no slot states, no key lookup): the
// plain per-voice loop, and the vector kernel for held voices called directly, which is
// the fastest form of the same arithmetic that this processor runs (where it has AVX2).
// The ratio of RenderStretch to the faster floor, in ns per voice-frame, is what a change
// to the render path should be judged by.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/expression.h"
#include "engine/held_voices.h"
#include "engine/note_slots.h"
#include "library/sample.h"
#include "library/sample_bank.h"

namespace {

using namespace chantera;

constexpr int kVoices = 16;
constexpr uint32_t kSampleFrames = 1u << 20;  // about 24 s at 44.1 kHz: no voice ends
constexpr double kRestartAt = kSampleFrames / 2.0;

std::vector<int16_t> Noise() {
  std::vector<int16_t> values(kSampleFrames);
  uint32_t x = 12345;
  for (auto& v : values) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<int16_t>(x >> 16);
  }
  return values;
}

void SetCounters(benchmark::State& state, int64_t frames) {
  state.SetItemsProcessed(state.iterations() * frames);  // frames/s
  // Seconds per voice-frame, printed with an SI prefix ("2.2n" is 2.2 ns).
  state.counters["per_voice_frame"] =
      benchmark::Counter(static_cast<double>(frames * kVoices),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// looped: the sample has a sustain loop of 0.37 s at 44.1 kHz (about as long as the demo
// voice's), so that every voice wraps now and then instead of running on. modulated:
// every voice has a vibrato (half a semitone at 5.5 Hz) and a glide that never ends, as
// the instrument renders them: pitches set anew every kPitchControlFrames.
void RenderStretch16Voices(benchmark::State& state, bool looped, bool modulated = false,
                           Quality quality = Quality::kLive) {
  const auto frames = static_cast<int32_t>(state.range(0));
  const std::vector<int16_t> values = Noise();
  SampleBank bank;
  Sample& sample = *bank.slot(0);
  std::unique_ptr<uint8_t[]> data(new uint8_t[values.size() * 2]);
  std::memcpy(data.get(), values.data(), values.size() * 2);
  sample.SetData(std::move(data), static_cast<uint32_t>(values.size() * 2));
  if (looped) sample.SetLoop(20000, 20000 + 16383);

  KeyTable keyMap{};
  std::atomic<double> releaseLimit{0.001};
  StretchContext context;
  context.keyMap = &keyMap;
  context.bank = &bank;
  context.releaseLimit = &releaseLimit;
  context.quality = quality;
  NoteSlots slots;
  for (int v = 0; v < kVoices; ++v) slots.StartNote(60 + v, 100);

  Modulation modulation;
  if (modulated) {
    modulation = {0.5, 5.5 / 44100.0, 44100.0 / 5.5};
    for (NoteSlot& slot : slots.slots) {
      slot.glideFrom = -2.0;
      slot.glideFrames = 1 << 30;
    }
  }

  std::vector<float> left(static_cast<size_t>(frames)), right(left.size());
  for (auto _ : state) {
    if (modulated)
      slots.RenderModulated(left.data(), right.data(), 0, frames, context, modulation);
    else
      slots.RenderStretch(left.data(), right.data(), 0, frames, context);
    benchmark::DoNotOptimize(left.data());
    benchmark::DoNotOptimize(right.data());
    if (slots.slots[kVoices - 1].position > kRestartAt)
      for (NoteSlot& slot : slots.slots) slot.position = 0.0;
  }
  SetCounters(state, frames);
}
void BM_RenderStretch16Voices(benchmark::State& state) {
  RenderStretch16Voices(state, false);
}
void BM_RenderStretch16VoicesLooped(benchmark::State& state) {
  RenderStretch16Voices(state, true);
}
void BM_RenderStretch16VoicesModulated(benchmark::State& state) {
  RenderStretch16Voices(state, false, true);
}
// Quality high: the same voices read through the band-limited kernel.
void BM_RenderStretch16VoicesHigh(benchmark::State& state) {
  RenderStretch16Voices(state, false, false, Quality::kHigh);
}
void BM_RenderStretch16VoicesLoopedHigh(benchmark::State& state) {
  RenderStretch16Voices(state, true, false, Quality::kHigh);
}
BENCHMARK(BM_RenderStretch16Voices)->Arg(64)->Arg(512)->Arg(4096);
BENCHMARK(BM_RenderStretch16VoicesLooped)->Arg(64)->Arg(512)->Arg(4096);
BENCHMARK(BM_RenderStretch16VoicesModulated)->Arg(512)->Arg(4096);
BENCHMARK(BM_RenderStretch16VoicesHigh)->Arg(512);
BENCHMARK(BM_RenderStretch16VoicesLoopedHigh)->Arg(512);

// The floor: the same voices, pitches and gains, one tight loop per voice.
void BM_FloorKernel16Voices(benchmark::State& state) {
  const auto frames = static_cast<int32_t>(state.range(0));
  const std::vector<int16_t> values = Noise();
  const int16_t* pcm = values.data();
  double position[kVoices] = {};
  double step[kVoices];
  double gain[kVoices];
  for (int v = 0; v < kVoices; ++v) {
    step[v] = NoteToHz(60 + v) / 440.0;
    gain[v] = 100.0 * 1.0 * (100.0f / 127.0f) * 2.402958907480315e-07;
  }
  std::vector<float> left(static_cast<size_t>(frames)), right(left.size());
  for (auto _ : state) {
    for (int v = 0; v < kVoices; ++v) {
      double pos = position[v];
      const double s = step[v];
      const double g = gain[v];
      for (int32_t f = 0; f < frames; ++f) {
        const auto i = static_cast<uint32_t>(static_cast<int64_t>(pos));
        const double frac = pos - static_cast<double>(i);
        const int32_t a = pcm[i];
        const int32_t b = pcm[i + 1];
        const double x = (a + (b - a) * frac) * g;
        left[f] = static_cast<float>(left[f] + x);
        right[f] = static_cast<float>(right[f] + x);
        pos += s;
      }
      position[v] = pos;
    }
    benchmark::DoNotOptimize(left.data());
    benchmark::DoNotOptimize(right.data());
    if (position[kVoices - 1] > kRestartAt)
      for (double& p : position) p = 0.0;
  }
  SetCounters(state, frames);
}
BENCHMARK(BM_FloorKernel16Voices)->Arg(64)->Arg(512)->Arg(4096);

// The floor at its fastest: the vector kernel alone over the same voices.
void BM_FloorVectorKernel16Voices(benchmark::State& state) {
  if (!HeldVoiceKernelAvailable()) {
    state.SkipWithError("no AVX2: the vector kernel does not run on this processor");
    return;
  }
  const auto frames = static_cast<int32_t>(state.range(0));
  const std::vector<int16_t> values = Noise();
  std::vector<uint8_t> pcm(values.size() * 2);
  std::memcpy(pcm.data(), values.data(), pcm.size());
  HeldVoice voices[kVoices];
  for (int v = 0; v < kVoices; ++v)
    voices[v] = {0.0, NoteToHz(60 + v) / 440.0, 100.0 * 1.0 * (100.0f / 127.0f) * 2.402958907480315e-07, pcm.data()};
  std::vector<float> left(static_cast<size_t>(frames)), right(left.size());
  for (auto _ : state) {
    RenderHeldVoices(voices, kVoices, left.data(), right.data(), frames);
    benchmark::DoNotOptimize(left.data());
    benchmark::DoNotOptimize(right.data());
    if (voices[kVoices - 1].position > kRestartAt)
      for (HeldVoice& voice : voices) voice.position = 0.0;
  }
  SetCounters(state, frames);
}
BENCHMARK(BM_FloorVectorKernel16Voices)->Arg(64)->Arg(512)->Arg(4096);

}  // namespace
