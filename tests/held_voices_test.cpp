// The vector kernel for held 16-bit mono notes, checked bit for bit against the literal
// per-fetch formula in the situations it takes over: many held notes on long samples,
// stretches of every length (not only multiples of its groups of four and sixteen
// frames), between slots that it leaves to the scalar kernels (releasing notes, other
// layouts, notes near the end of their samples), over earlier sums holding zeros of both
// signs. On a processor without AVX2 the same checks run through the scalar kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "engine/held_voices.h"
#include "engine/note_slots.h"
#include "library/sample.h"
#include "library/sample_bank.h"
#include "support/reference_render.h"

namespace chantera::test {
namespace {

void Fill(Sample& sample, std::mt19937& rng, uint32_t frames, uint32_t channels, uint32_t bits) {
  const uint32_t bytes = frames * channels * bits / 8;
  std::unique_ptr<uint8_t[]> data(new uint8_t[bytes]);
  for (uint32_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(rng());
  // Full-scale extremes now and then: -32768 and 32767 side by side.
  if (bits == 16 && channels == 1)
    for (uint32_t i = 0; i + 3 < bytes; i += 97)
      data[i] = 0x00, data[i + 1] = 0x80, data[i + 2] = 0xFF, data[i + 3] = 0x7F;
  sample.bitsPerSample = bits;
  sample.channels = channels;
  sample.blockAlign = channels * bits / 8;
  sample.sampleRate = 44100;
  sample.SetData(std::move(data), bytes);
}

TEST(HeldVoicesTest, ManyHeldMonoNotesMatchThePerFetchFormulaBitForBit) {
  std::mt19937 rng(8);
  auto uniform = [&rng](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  SampleBank bank;
  // Samples 0..2: long 16-bit mono recordings (the kernel's case); 3: short 16-bit mono
  // (its notes leave the sample within a stretch); 4: 16-bit stereo; 5: 8-bit mono.
  Fill(*bank.slot(0), rng, 200000, 1, 16);
  Fill(*bank.slot(1), rng, 150001, 1, 16);
  Fill(*bank.slot(2), rng, 100003, 1, 16);
  Fill(*bank.slot(3), rng, 900, 1, 16);
  Fill(*bank.slot(4), rng, 50000, 2, 16);
  Fill(*bank.slot(5), rng, 50000, 1, 8);
  for (int s = 0; s < 6; ++s) bank.slot(s)->rootFrequency = NoteToHz(pick(50, 80));
  KeyTable keyMap{};
  std::atomic<double> releaseLimit{0.001};
  StretchContext context;
  context.keyMap = &keyMap;
  context.bank = &bank;
  context.releaseLimit = &releaseLimit;
  std::printf("vector kernel %s\n", HeldVoiceKernelAvailable() ? "in use" : "not available: scalar kernels");

  for (int trial = 0; trial < 300; ++trial) {
    for (auto& k : keyMap) k = pick(0, 9) < 7 ? pick(0, 2) : pick(3, 5);
    context.pitchBend = pick(-8192, 8191);
    context.pitchBendRange = pick(0, 12);
    context.volume = static_cast<float>(uniform(0.0, 1.0));
    context.expression = static_cast<float>(pick(0, 127) / 127.0);
    NoteSlots fast;
    const int mostlyHeld = pick(0, 1);
    for (NoteSlot& slot : fast.slots) {
      const int state = mostlyHeld ? (pick(0, 9) == 0 ? pick(0, 2) : 1) : pick(0, 2);
      slot.active = state == 1;
      slot.releasing = state == 2;
      slot.key = pick(30, 100);
      slot.velocity = pick(1, 127);
      slot.position = pick(0, 3) == 0 ? static_cast<double>(pick(0, 5000)) : uniform(0.0, 60000.0);
      slot.level = uniform(0.0, 1.0);
    }
    std::array<NoteSlot, kNoteSlots> reference = fast.slots;
    const int32_t frames = 2000;
    std::vector<float> l1(frames), r1(frames);
    for (int32_t f = 0; f < frames; ++f) {
      const int kind = f % 5;
      l1[f] = kind == 0 ? 0.0f : kind == 1 ? -0.0f : static_cast<float>(uniform(-1.0, 1.0));
      r1[f] = kind == 2 ? -0.0f : static_cast<float>(uniform(-1.0, 1.0));
    }
    std::vector<float> l2 = l1, r2 = r1;
    for (int32_t first = 0; first < frames;) {
      const int32_t n = std::min(frames - first, pick(0, 3) == 0 ? pick(0, 40) : pick(0, 700));
      fast.RenderStretch(l1.data(), r1.data(), first, n, context);
      ReferenceRender(reference, l2.data(), r2.data(), first, n, context);
      first += n;
    }
    ASSERT_EQ(0, std::memcmp(l1.data(), l2.data(), sizeof(float) * frames)) << "trial " << trial;
    ASSERT_EQ(0, std::memcmp(r1.data(), r2.data(), sizeof(float) * frames)) << "trial " << trial;
    for (int i = 0; i < kNoteSlots; ++i) {
      ASSERT_EQ(fast.slots[i].active, reference[i].active) << trial;
      ASSERT_EQ(fast.slots[i].releasing, reference[i].releasing) << trial;
      ASSERT_EQ(0, std::memcmp(&fast.slots[i].position, &reference[i].position, sizeof(double)))
          << "trial " << trial << " slot " << i;
    }
  }
}

TEST(HeldVoicesTest, KernelAloneMatchesTheFormulaForEveryStretchLength) {
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
      // Channels that differ, and channels that hold the same values (which the kernel
      // renders once for both).
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
