// The note slots' fast kernels bit for bit against a per-fetch reference over a table of
// slot profiles (through the scalar kernels where AVX2 is missing), each rendering one
// stretch with a StretchContext over a bank filled in the test.
#include <gtest/gtest.h>

#include <cmath>
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

// One stretch as its plain per-fetch formula, slot after slot, through the guarded reads.
void ReferenceRender(std::array<NoteSlot, kNoteSlots>& slots, float* left, float* right, int32_t first, int32_t n,
                     const StretchContext& c) {
  if (n <= 0) return;
  const double bend = c.pitchBendRange * c.pitchBend * 0.0001220703125;
  for (NoteSlot& slot : slots) {
    if (!slot.Sounding()) continue;
    const double frequency = NoteToHz(slot.key + bend);
    const double root = GetKeyRootFrequency(c, slot.key);
    const Sample* sample = KeySample(c, slot.key);
    const double ratio = sample != nullptr && sample->sampleRate != 0 ? sample->sampleRate / c.hostSampleRate : 1.0;
    const double baseGain = static_cast<double>(slot.velocity) * c.volume * c.expression * 2.402958907480315e-07;
    // Per frame at 44.1 kHz; at another rate the power that spans the same time.
    const double perFrame = 1.0 - c.releaseFactor * frequency;
    const double multiplier =
        c.hostSampleRate == 44100.0 || !(perFrame > 0.0) ? perFrame : std::pow(perFrame, 44100.0 / c.hostSampleRate);
    double gain = baseGain;
    const bool silent = root == 0.0;
    const double step = silent ? 0.0 : frequency / root * ratio;
    for (int32_t f = first; f < first + n; ++f) {
      if (slot.Releasing()) {
        slot.level = slot.level * multiplier;
        if (slot.level < c.releaseLimit->load()) {
          gain = 0.0;
          slot.state = SlotState::kFree;
        } else {
          gain = slot.level * baseGain;
        }
      }
      if (silent) continue;
      const double p = std::floor(slot.position);
      const auto i = static_cast<uint32_t>(static_cast<int64_t>(p));
      const double frac = slot.position - p;
      for (int ch = 0; ch < 2; ++ch) {
        const int16_t a = GetKeySampleValue(c, slot.key, i, ch);
        const int16_t b = GetKeySampleValue(c, slot.key, i + 1, ch);
        float* out = ch == 0 ? left : right;
        out[f] += (a + (b - a) * frac) * gain;
      }
      slot.position += step;
    }
  }
}

// "any": four samples of random layouts (odd block aligns, rate 0, empty or tiny data)
// under random slot, release, loader and host-rate states; "held": mostly held notes on six
// long recordings, mostly 16-bit mono (the vector kernel's case, beside the slots it leaves
// to the scalar kernels), over stretches of every length, not only multiples of 4 and 16.
struct SlotProfile {
  const char* name;
  uint32_t seed;
  int trials;
  int32_t frames;
  bool held;
};

void FillRandom(Sample& sample, std::mt19937& rng, uint32_t frames, uint32_t channels, uint32_t bits) {
  std::string bytes(frames * channels * bits / 8, '\0');
  for (auto& b : bytes) b = static_cast<char>(rng());
  // Full-scale extremes now and then: -32768 and 32767 side by side.
  if (bits == 16 && channels == 1)
    for (size_t i = 0; i + 3 < bytes.size(); i += 97) bytes.replace(i, 4, "\x00\x80\xFF\x7F", 4);
  FillSample(sample, bytes, {bits, channels, channels * bits / 8, 44100, 440.0});
}

void CompareWithReference(const SlotProfile& p) {
  std::mt19937 rng(p.seed);
  auto uniform = [&rng](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  SampleBank bank;
  KeyTable keyMap{};
  std::atomic<double> releaseLimit{0.001};
  StretchContext context;
  context.keyMap = &keyMap;
  context.bank = &bank;
  context.releaseLimit = &releaseLimit;
  if (p.held) {
    const uint32_t layouts[][3] = {{200000, 1, 16}, {150001, 1, 16}, {100003, 1, 16},
                                   {900, 1, 16},    {50000, 2, 16},  {50000, 1, 8}};
    for (int s = 0; s < 6; ++s) {
      FillRandom(*bank.slot(s), rng, layouts[s][0], layouts[s][1], layouts[s][2]);
      bank.slot(s)->rootFrequency = NoteToHz(pick(50, 80));
    }
  }
  const uint32_t layouts[][3] = {{16, 1, 2}, {16, 2, 4}, {8, 1, 1},  {8, 2, 2}, {24, 1, 3},
                                 {16, 3, 6}, {16, 2, 2}, {16, 1, 0}, {8, 2, 1}, {16, 1, 5}};
  const uint32_t rates[] = {44100, 44100, 0, 22050, 48000, 96000};
  for (int trial = 0; trial < p.trials; ++trial) {
    SCOPED_TRACE(std::string(p.name) + " trial " + std::to_string(trial));
    if (!p.held) {
      for (int s = 0; s < 4; ++s) {
        const auto& layout = layouts[pick(0, 9)];
        std::string bytes(static_cast<size_t>(pick(0, 4) == 0 ? pick(0, 6) : pick(8, 3000)), '\0');
        for (auto& b : bytes) b = static_cast<char>(pick(0, 255));
        FillSample(
            *bank.slot(s), bytes,
            {layout[0], layout[1], layout[2], rates[pick(0, 5)], pick(0, 9) == 0 ? 0.0 : NoteToHz(pick(40, 90))});
      }
      context.releaseFactor = pick(0, 5) == 0 ? uniform(0.0, 0.01) : 1.0 / 110000.0;
      context.hostSampleRate = pick(0, 1) == 0 ? 44100.0 : 48000.0;
      context.loaderBusy = pick(0, 4) == 0;
      context.loaderProgress = pick(-1, 3);
      releaseLimit = pick(0, 3) == 0 ? 0.0 : uniform(0.0, 0.5);
    }
    for (auto& k : keyMap) k = !p.held ? pick(0, 3) : pick(0, 9) < 7 ? pick(0, 2) : pick(3, 5);
    context.pitchBend = pick(-8192, 8191);
    context.pitchBendRange = pick(0, p.held ? 12 : 24);
    context.volume = static_cast<float>(uniform(0.0, 1.0));
    context.expression = static_cast<float>(pick(0, 127) / 127.0);

    NoteSlots fast;
    const bool mostlyHeld = p.held && pick(0, 1) == 1;
    for (NoteSlot& slot : fast.slots) {
      const int state = mostlyHeld && pick(0, 9) != 0 ? 1 : pick(0, 2);
      slot.state = static_cast<SlotState>(state);
      slot.key = p.held ? pick(30, 100) : pick(0, 127);
      slot.velocity = pick(1, 127);
      const int whole = p.held ? 5000 : 1500;
      slot.position = pick(0, 3) == 0 ? static_cast<double>(pick(0, whole)) : uniform(0.0, p.held ? 60000.0 : 1600.0);
      slot.level = uniform(0.0, 1.0);
    }
    std::array<NoteSlot, kNoteSlots> reference = fast.slots;
    // Earlier sums, with zeros of both signs (a tiny negative sum stored as float is -0.0).
    std::vector<float> l1(static_cast<size_t>(p.frames)), r1(l1.size());
    for (size_t f = 0; f < l1.size(); ++f) {
      l1[f] = f % 5 == 0 ? 0.0f : f % 5 == 1 ? -0.0f : static_cast<float>(uniform(-1.0, 1.0));
      r1[f] = f % 5 == 2 ? -0.0f : static_cast<float>(uniform(-1.0, 1.0));
    }
    std::vector<float> l2 = l1, r2 = r1;
    for (int32_t first = 0; first < p.frames;) {
      const int32_t most = p.held ? (pick(0, 3) == 0 ? 40 : 700) : 300;
      const int32_t n = std::min(p.frames - first, pick(0, most));
      fast.RenderStretch(l1.data(), r1.data(), first, n, context);
      ReferenceRender(reference, l2.data(), r2.data(), first, n, context);
      first += n;
    }
    ASSERT_EQ(0, std::memcmp(l1.data(), l2.data(), sizeof(float) * l1.size()));
    ASSERT_EQ(0, std::memcmp(r1.data(), r2.data(), sizeof(float) * r1.size()));
    for (int i = 0; i < kNoteSlots; ++i) {
      ASSERT_EQ(fast.slots[i].state, reference[i].state) << "slot " << i;
      ASSERT_EQ(0, std::memcmp(&fast.slots[i].position, &reference[i].position, sizeof(double))) << "slot " << i;
      ASSERT_EQ(0, std::memcmp(&fast.slots[i].level, &reference[i].level, sizeof(double))) << "slot " << i;
    }
  }
}

TEST(NoteSlotKernels, MatchThePerFetchFormulaBitForBit) {
  std::printf("vector kernel %s\n", HeldVoiceKernelAvailable() ? "in use" : "not available: scalar kernels");
  for (const SlotProfile& profile :
       {SlotProfile{"any", 20240611, 400, 700, false}, SlotProfile{"held", 8, 300, 2000, true}})
    CompareWithReference(profile);
}

TEST(NoteSlotKernels, HeldKernelAloneMatchesTheFormulaForEveryStretchLength) {
  if (!HeldVoiceKernelAvailable()) GTEST_SKIP() << "no AVX2: the kernel is not used on this processor";
  std::mt19937 rng(3);
  std::vector<uint8_t> pcm(2 * 70000);
  for (auto& b : pcm) b = static_cast<uint8_t>(rng());
  for (int32_t n = 0; n <= 70; ++n) {
    for (int count = 1; count <= kMaxHeldVoices; count += 5) {
      HeldVoice voices[kMaxHeldVoices];
      double positions[kMaxHeldVoices];
      for (int k = 0; k < count; ++k) {
        voices[k] = {std::uniform_real_distribution<double>(0.0, 1000.0)(rng),
                     std::uniform_real_distribution<double>(0.25, 4.0)(rng), 1e-5 * (k + 1), pcm.data()};
        positions[k] = voices[k].position;
      }
      // Channels that differ, and channels that hold the same values (rendered once for both).
      std::vector<float> l1(static_cast<size_t>(n) + 1, 0.5f), r1(l1.size(), count % 2 == 0 ? -0.0f : 0.5f);
      std::vector<float> l2 = l1, r2 = r1;
      RenderHeldVoices(voices, count, l1.data(), r1.data(), n);
      for (int32_t f = 0; f < n; ++f) {
        for (int k = 0; k < count; ++k) {
          const auto i = static_cast<uint32_t>(positions[k]);
          const double frac = positions[k] - i;
          const int32_t a = static_cast<int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
          const int32_t b = static_cast<int16_t>(pcm[2 * i + 2] | pcm[2 * i + 3] << 8);
          const double v = (a + (b - a) * frac) * voices[k].gain;
          l2[f] = static_cast<float>(static_cast<double>(l2[f]) + v);
          r2[f] = static_cast<float>(static_cast<double>(r2[f]) + v);
          positions[k] += voices[k].step;
        }
      }
      ASSERT_EQ(0, std::memcmp(l1.data(), l2.data(), sizeof(float) * l1.size())) << n << " frames, " << count;
      ASSERT_EQ(0, std::memcmp(r1.data(), r2.data(), sizeof(float) * r1.size())) << n << " frames, " << count;
      for (int k = 0; k < count; ++k) ASSERT_EQ(0, std::memcmp(&voices[k].position, &positions[k], sizeof(double)));
    }
  }
}

}  // namespace
}  // namespace chantera::test
