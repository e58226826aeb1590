// The stages of the Chorus rebuild (chorus_builder.cpp): the stretch ratios and gains, the
// echo taps, where a stretched copy takes its values, and each stage as plain loops and as
// AVX2 vectors of four values, which give the same values bit for bit.
// Thread: the loader thread (or a tool), never the audio thread.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/cpu.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace chantera::chorus {

constexpr double kChorusDepth = 0.2;

struct StretchStage {
  double ratio;
  double gain;
};
// 2^(17/12) and 2^(7/12) as the exact doubles, not through pow(): a libm that rounds
// differently would change every length after the first stage.
constexpr StretchStage kStretchStages[3] = {
    {2.0, kChorusDepth * 0.2 + 0.1},
    {2.6696797083400687, kChorusDepth * 0.25 + 0.2},
    {1.4983070768766815, ((1.0 - kChorusDepth) + 1.0) * 0.1},
};

constexpr int kEchoTaps = 7;
constexpr uint32_t kEchoStep = 600;
constexpr uint32_t kEchoLength = kEchoStep * kEchoTaps * kEchoTaps;  // 29400 values

struct EchoTap {
  uint32_t offset;
  double gain;
};
struct EchoTable {
  EchoTap taps[kEchoTaps];
  uint32_t shortestOffset;
};

// Delay step 600 × 7, then × 0.95 truncated; gain 0.6, then × 0.8; tap t at (t + 1) × d.
constexpr EchoTable MakeEchoTable() {
  EchoTable table{};
  uint32_t delay = kEchoStep * kEchoTaps;
  double gain = 0.6;
  table.shortestOffset = ~0u;
  for (int t = 0; t < kEchoTaps; ++t) {
    table.taps[t] = {static_cast<uint32_t>(t + 1) * delay, gain};
    table.shortestOffset = std::min(table.shortestOffset, table.taps[t].offset);
    gain = gain * 0.8;
    delay = static_cast<uint32_t>(delay * 0.95);
  }
  return table;
}
constexpr EchoTable kEcho = MakeEchoTable();
static_assert(kEcho.taps[6].offset == 21602 && kEcho.shortestOffset == 4200);
// Zeros below the working values, so that an echo tap reaching below the first value adds 0.
constexpr uint32_t kEchoReach = 21604;  // the longest offset, rounded up to whole vectors of 4
static_assert(kEchoReach >= kEcho.taps[6].offset && kEchoReach % 4 == 0 && kEcho.shortestOffset % 4 == 0);

// trunc(v × gain) of a whole number v held as a double, as the int32 it stands for.
inline double ScaledValue(double v, double gain) noexcept {
  return static_cast<double>(static_cast<int32_t>(v * gain));
}

// trunc(i / ratio) through a multiplication by the reciprocal, which is within a few
// units in the last place of the quotient (below 1e-6 for any i under 2^31). Only a
// product that close to a whole number can truncate differently from the quotient;
// there the division itself decides. A power-of-two ratio has an exact reciprocal.
constexpr double kNearWhole = 1e-6;

inline uint32_t SourceIndex(uint32_t i, double ratio, double reciprocal, bool exactReciprocal) noexcept {
  const double product = static_cast<double>(i) * reciprocal;
  const auto j = static_cast<uint32_t>(product);
  const double fraction = product - j;
  if (!exactReciprocal && (fraction < kNearWhole || fraction > 1.0 - kNearWhole))
    return static_cast<uint32_t>(static_cast<double>(i) / ratio);
  return j;
}

// Where a stretched copy takes its values. Value i of a stage copies source j(i) =
// trunc(i / ratio), and since every ratio is above 1, j(i + 1) is j(i) or j(i) + 1: one
// bit per i (bit i % 8 of byte i / 8) says which. The bits depend on the ratio alone, not
// on the recording, so they are worked out once per process, as far as the longest stage
// yet, and read by every rebuild after (the loader rebuilds a whole voice at one ratio set).
class SourceSteps {
 public:
  // The steps of stage s for at least m values; null when memory cannot be had.
  static std::shared_ptr<const std::vector<uint8_t>> For(int s, uint32_t m) noexcept {
    try {
      static SourceSteps known;
      const std::lock_guard<std::mutex> lock(known.mutex_);
      std::shared_ptr<const std::vector<uint8_t>>& steps = known.steps_[s];
      const size_t bytes = (size_t{m} + 7) / 8;
      if (steps != nullptr && steps->size() >= bytes) return steps;
      // Twice as far as asked each time it grows, so a voice of rising lengths builds little.
      const size_t size = std::max(bytes, steps != nullptr ? 2 * steps->size() : size_t{0});
      auto grown = std::make_shared<std::vector<uint8_t>>(size, uint8_t{0});
      const StretchStage& stage = kStretchStages[s];
      int exponent = 0;
      const bool exact = std::frexp(stage.ratio, &exponent) == 0.5;
      const double reciprocal = 1.0 / stage.ratio;
      uint32_t j = 0;  // j(0)
      for (size_t i = 0; i < size * 8; ++i) {
        const uint32_t next = SourceIndex(static_cast<uint32_t>(i + 1), stage.ratio, reciprocal, exact);
        if (next != j) (*grown)[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        j = next;
      }
      steps = std::move(grown);
      return steps;
    } catch (...) {  // no memory for the table, or the lock cannot be had
      return nullptr;
    }
  }

 private:
  std::mutex mutex_;  // held while a table is looked up or grown (loader threads only)
  std::shared_ptr<const std::vector<uint8_t>> steps_[3];
};

// The stages as plain loops: the definition, and the whole chain where AVX2 is missing.
struct PlainStages {
  // copies[j] = trunc(work[j] × gain).
  static void Scale(double* __restrict copies, const double* __restrict work, uint32_t count, double gain) noexcept {
    for (uint32_t j = 0; j < count; ++j) copies[j] = ScaledValue(work[j], gain);
  }
  // Values i in [from, m): work[i] = (i < count ? work[i] : 0) + copies[j(i)], j running from
  // j(from) by the steps.
  static void Stretch(double* work, const double* copies, uint32_t count, uint32_t from, uint32_t m, uint32_t j,
                      const uint8_t* steps) noexcept {
    for (uint32_t i = from; i < m; ++i) {
      work[i] = (i < count ? work[i] : 0.0) + copies[j];
      j += (steps[i / 8] >> (i % 8)) & 1u;
    }
  }
  // Values k in [low, high) get their seven echoes; returns their largest magnitude.
  static double Echo(double* work, uint32_t low, uint32_t high) noexcept {
    double maxAbs = 0.0;
    for (uint32_t k = low; k < high; ++k) {
      double v = work[k];
      for (const EchoTap& tap : kEcho.taps) v += ScaledValue(*(work + k - tap.offset), tap.gain);
      work[k] = v;
      maxAbs = std::max(maxAbs, std::fabs(v));
    }
    return maxAbs;
  }
  // out[k] = trunc(work[k] × scale) as 16-bit little-endian values, for k in [from, count).
  static void Narrow(uint8_t* out, const double* work, uint32_t from, uint32_t count, double scale) noexcept {
    for (uint32_t k = from; k < count; ++k) {
      const auto u = static_cast<uint16_t>(static_cast<int16_t>(static_cast<int32_t>(work[k] * scale)));
      out[2 * k] = static_cast<uint8_t>(u & 0xFF);
      out[2 * k + 1] = static_cast<uint8_t>(u >> 8);
    }
  }
};

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define CHANTERA_CHORUS_AVX2 1
inline const bool avx2 = platform::Cpu().avx2;

// For four steps (a half byte), the 32-bit lanes that pick each of four values' source
// (a double, two lanes) out of the four copies from the first one's on.
struct StepLanes {
  int32_t lanes[16][8];
};
constexpr StepLanes MakeStepLanes() {
  StepLanes table{};
  for (int bits = 0; bits < 16; ++bits) {
    int offset = 0;
    for (int q = 0; q < 4; ++q) {
      table.lanes[bits][2 * q] = 2 * offset;
      table.lanes[bits][2 * q + 1] = 2 * offset + 1;
      offset += (bits >> q) & 1;
    }
  }
  return table;
}
constexpr StepLanes kStepLanes = MakeStepLanes();

// The same operations as PlainStages, four values at a time.
struct Avx2Stages {
  __attribute__((target("avx2"))) static __m256d Truncated(__m256d v) noexcept {
    return _mm256_round_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  }

  __attribute__((target("avx2"))) static void Scale(double* __restrict copies, const double* __restrict work,
                                                    uint32_t count, double gain) noexcept {
    const __m256d g = _mm256_set1_pd(gain);
    uint32_t j = 0;
    for (; j + 4 <= count; j += 4) _mm256_storeu_pd(copies + j, Truncated(_mm256_mul_pd(_mm256_loadu_pd(work + j), g)));
    PlainStages::Scale(copies + j, work + j, count - j, gain);
  }

  // copies must be readable four values past j(m - 1).
  __attribute__((target("avx2"))) static void Stretch(double* work, const double* copies, uint32_t count, uint32_t m,
                                                      const uint8_t* steps) noexcept {
    // The values past count are not the stage's own: those that share a block with own
    // values are set to 0, the blocks after them are written without reading them.
    std::fill(work + count, work + std::min(m, count + 4), 0.0);
    uint32_t j = 0, i = 0;
    for (; i + 4 <= m; i += 4) {
      const unsigned bits = (steps[i / 8] >> (i % 8)) & 0xFu;
      const __m256i lanes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kStepLanes.lanes[bits]));
      const __m256d sources = _mm256_castsi256_pd(
          _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(copies + j)), lanes));
      _mm256_storeu_pd(work + i, i < count ? _mm256_add_pd(_mm256_loadu_pd(work + i), sources) : sources);
      j += static_cast<uint32_t>(std::popcount(bits));
    }
    PlainStages::Stretch(work, copies, count, i, m, j, steps);
  }

  __attribute__((target("avx2"))) static double Echo(double* work, uint32_t low, uint32_t high) noexcept {
    __m256d gains[kEchoTaps];
    for (int t = 0; t < kEchoTaps; ++t) gains[t] = _mm256_set1_pd(kEcho.taps[t].gain);
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    __m256d maxAbs = _mm256_setzero_pd();
    uint32_t k = low;
    for (; k + 4 <= high; k += 4) {
      __m256d v = _mm256_loadu_pd(work + k);
      for (int t = 0; t < kEchoTaps; ++t) {
        const __m256d source = _mm256_loadu_pd(work + k - kEcho.taps[t].offset);
        v = _mm256_add_pd(v, Truncated(_mm256_mul_pd(source, gains[t])));
      }
      _mm256_storeu_pd(work + k, v);
      maxAbs = _mm256_max_pd(maxAbs, _mm256_and_pd(v, magnitude));
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, maxAbs);
    const double tail = PlainStages::Echo(work, k, high);
    return std::max({lanes[0], lanes[1], lanes[2], lanes[3], tail});
  }

  __attribute__((target("avx2"))) static void Narrow(uint8_t* out, const double* work, uint32_t count,
                                                     double scale) noexcept {
    const __m256d s = _mm256_set1_pd(scale);
    uint32_t k = 0;
    for (; k + 8 <= count; k += 8) {
      const __m128i low = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_loadu_pd(work + k), s));
      const __m128i high = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_loadu_pd(work + k + 4), s));
      // The values lie within the peak, so packing them to 16 bits saturates nothing.
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k), _mm_packs_epi32(low, high));
    }
    PlainStages::Narrow(out, work, k, count, scale);
  }
};
#endif

}  // namespace chantera::chorus
