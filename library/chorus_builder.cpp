// The Chorus rebuild. The working values are whole numbers that fit 32 bits, held as
// doubles: a double holds each exactly, their sums are exact, and trunc(v × gain) is the
// same number whether v is held as an int32 or as a double, but the double needs no
// conversion before each of the chain's nine or so multiplications per value, only a
// rounding toward zero. All stages work in one buffer as long as the final result: each
// stretched copy is built bottom up from the scaled sources of its stage (kept beside the
// buffer), and the echoes are added in place from the top down, in blocks no longer than
// the shortest echo delay, so that a block reads only values below it that this stage has
// not rewritten yet. The buffer is kept per thread and reused from sample to sample.
// Thread: the loader thread (or a tool), never the audio thread.
#include "library/chorus_builder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

#include "library/sample.h"
#include "platform/bytes.h"
#include "platform/cpu.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace chantera {

namespace {

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

// The result (and its dataSize in bytes) must fit the 32-bit fields of a Sample.
constexpr uint64_t kMaxValues = 0x7FFFFFFFu;

// Lengths after each stretched copy and after the echoes; false when they do not fit.
bool StageLengths(uint32_t n, uint32_t (&stretched)[3], uint32_t& total) {
  double count = n;
  for (int s = 0; s < 3; ++s) {
    const double m = count * kStretchStages[s].ratio;
    if (m >= static_cast<double>(kMaxValues)) return false;
    stretched[s] = static_cast<uint32_t>(m);
    count = stretched[s];
  }
  const uint64_t sum = uint64_t{stretched[2]} + kEchoLength;
  if (sum > kMaxValues) return false;
  total = static_cast<uint32_t>(sum);
  return true;
}

// Copies the values into work and returns the largest absolute value among them;
// -32768 does not count, its magnitude does not fit 16 bits.
template <class ReadValue>
int32_t WidenWithPeak(ReadValue read, uint32_t n, double* work) noexcept {
  int32_t peak = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const int32_t v = read(i);
    work[i] = v;
    const int32_t magnitude = v < 0 ? -v : v;
    if (v != -32768 && magnitude > peak) peak = magnitude;
  }
  return peak;
}

// trunc(v × gain) of a whole number v held as a double, as the int32 it stands for.
inline double ScaledValue(double v, double gain) noexcept {
  return static_cast<double>(static_cast<int32_t>(v * gain));
}

// trunc(i / ratio) through a multiplication by the reciprocal, which is within a few
// units in the last place of the quotient (below 1e-6 for any i under 2^31). Only a
// product that close to a whole number can truncate differently from the quotient;
// there the division itself decides. A power-of-two ratio has an exact reciprocal.
constexpr double kNearWhole = 1e-6;

uint32_t SourceIndex(uint32_t i, double ratio, double reciprocal, bool exactReciprocal) noexcept {
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
const bool avx2 = platform::Cpu().avx2;

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

// Stretches the count values built so far by the ratio of stage s and adds the copy,
// scaled by its gain, to them: value i becomes (i < count ? W[i] : 0) + trunc(W[trunc(i /
// ratio)] × gain). Each source is scaled once into copies (count + 4 values of room),
// whatever the number of values that take it.
void AddStretchedCopy(double* work, double* copies, uint32_t count, uint32_t m, int s) noexcept {
  const StretchStage& stage = kStretchStages[s];
  const std::shared_ptr<const std::vector<uint8_t>> steps = SourceSteps::For(s, m);
#if defined(CHANTERA_CHORUS_AVX2)
  if (avx2 && steps != nullptr) {
    Avx2Stages::Scale(copies, work, count, stage.gain);
    std::fill(copies + count, copies + count + 4, 0.0);
    Avx2Stages::Stretch(work, copies, count, m, steps->data());
    return;
  }
#endif
  PlainStages::Scale(copies, work, count, stage.gain);
  if (steps != nullptr) return PlainStages::Stretch(work, copies, count, 0, m, 0, steps->data());
  // No memory for the steps: each source index on its own.
  int exponent = 0;
  const bool exact = std::frexp(stage.ratio, &exponent) == 0.5;
  for (uint32_t i = 0; i < m; ++i)
    work[i] = (i < count ? work[i] : 0.0) + copies[SourceIndex(i, stage.ratio, 1.0 / stage.ratio, exact)];
}

// Adds the seven echoes of the count values into work, which grows to total values (the
// kEchoReach values below work are zeros), and returns the largest absolute value of the
// result.
int32_t AddEchoTaps(double* work, uint32_t count, uint32_t total) noexcept {
  std::fill(work + count, work + total, 0.0);
  double maxAbs = 0.0;
  for (uint32_t high = total; high > 0;) {
    const uint32_t low = high > kEcho.shortestOffset ? high - kEcho.shortestOffset : 0;
#if defined(CHANTERA_CHORUS_AVX2)
    maxAbs = std::max(maxAbs, avx2 ? Avx2Stages::Echo(work, low, high) : PlainStages::Echo(work, low, high));
#else
    maxAbs = std::max(maxAbs, PlainStages::Echo(work, low, high));
#endif
    high = low;
  }
  return static_cast<int32_t>(maxAbs);
}

// Scales the working values to the recording's peak, trunc(v × peak / maxAbs), into out as
// 16-bit little-endian values. All zero when every working value is 0.
void NarrowToPeak(uint8_t* out, const double* work, uint32_t count, int32_t peak, int32_t maxAbs) noexcept {
  if (maxAbs == 0) {
    std::fill(out, out + size_t{count} * 2, uint8_t{0});
    return;
  }
  const double scale = static_cast<double>(peak) / static_cast<double>(maxAbs);
#if defined(CHANTERA_CHORUS_AVX2)
  if (avx2) return Avx2Stages::Narrow(out, work, count, scale);
#endif
  PlainStages::Narrow(out, work, 0, count, scale);
}

// The working buffer, at least values long, its first kEchoReach values zero; null when
// the memory cannot be had. The caller keeps it between calls (the loader rebuilds sample
// after sample). Not a thread_local: a thread-exit destructor in a Windows DLL can
// deadlock winpthreads when the library is unloaded while a loader thread ends.
double* WorkingBuffer(std::vector<double>& buffer, uint64_t values) noexcept {
  if (buffer.size() < values) {
    try {
      buffer.resize(values);
    } catch (const std::bad_alloc&) {
      return nullptr;
    } catch (const std::length_error&) {
      return nullptr;
    }
  }
  return buffer.data();
}

// Runs the whole chain over n values read by read(i) into the total 16-bit values that
// out(total) gives room for (little-endian bytes), working in workspace. False (and
// nothing written) when memory cannot be had.
template <class ReadValue, class Output>
bool Rebuild(ReadValue read, uint32_t n, Output out, std::vector<double>& workspace) {
  uint32_t stretched[3];
  uint32_t total = 0;
  if (!StageLengths(n, stretched, total)) return false;
  // Zeros, the working values, then room for one stage's scaled copies (the largest
  // stage stretched is the second's result).
  double* buffer = WorkingBuffer(workspace, uint64_t{kEchoReach} + total + stretched[1] + 4);
  if (buffer == nullptr) return false;
  double* work = buffer + kEchoReach;
  double* copies = work + total;
  uint8_t* bytes = out(total);
  if (bytes == nullptr) return false;

  const int32_t peak = WidenWithPeak(read, n, work);
  uint32_t count = n;
  for (int s = 0; s < 3; ++s) {
    AddStretchedCopy(work, copies, count, stretched[s], s);
    count = stretched[s];
  }
  NarrowToPeak(bytes, work, total, peak, AddEchoTaps(work, count, total));
  return true;
}

}  // namespace

uint32_t ChorusLength(uint32_t n) {
  uint32_t stretched[3];
  uint32_t total = 0;
  return StageLengths(n, stretched, total) ? total : 0;  // 0: too long to be held
}

bool BuildChorus(const int16_t* data, uint32_t n, std::vector<int16_t>& out) {
  static_assert(std::endian::native == std::endian::little, "the rebuild writes little-endian values");
  if (data == nullptr) n = 0;
  std::vector<double> workspace;
  return Rebuild([data](uint32_t i) { return int32_t{data[i]}; }, n,
                 [&out](uint32_t total) -> uint8_t* {
                   try {
                     out.resize(total);
                   } catch (const std::exception&) {
                     return nullptr;
                   }
                   return reinterpret_cast<uint8_t*>(out.data());
                 },
                 workspace);
}

void RebuildSample(Sample& sample) {
  std::vector<double> workspace;
  RebuildSample(sample, workspace);
}

void RebuildSample(Sample& sample, std::vector<double>& workspace) {
  const uint8_t* pcm = sample.pcm.get();
  std::unique_ptr<uint8_t[]> rebuilt;
  uint32_t total = 0;
  if (sample.bitsPerSample == 16 && sample.channels == 1) {
    // 16-bit mono: the data as one stream of values, whatever the stored blockAlign says.
    const uint32_t n = pcm != nullptr ? sample.dataSize / 2 : 0;  // an odd last byte is dropped
    const bool done = Rebuild([pcm](uint32_t i) { return platform::LoadSample16(pcm + 2 * i); }, n,
                              [&rebuilt, &total](uint32_t values) {
                                rebuilt.reset(new (std::nothrow) uint8_t[size_t{values} * 2]);
                                total = values;
                                return rebuilt.get();
                              },
                              workspace);
    // Only now is the old data let go: a failed allocation leaves the sample as it was.
    if (done) sample.SetData(std::move(rebuilt), total * 2);
    return;
  }
  // 8-bit data, or data of more than one channel (which the renderer plays as two): each
  // channel rebuilt on its own from the values the renderer plays (8-bit ones at their
  // level, -128 to 127) into 16-bit values, interleaved as the recording's were. Each
  // channel keeps its own peak, and so the stereo image.
  const uint32_t frames = sample.ReadableFrames();
  const uint32_t layoutChannels = sample.channels == 1 ? 1u : 2u;
  std::unique_ptr<uint8_t[]> channel;
  for (uint32_t c = 0; c < layoutChannels; ++c) {
    const bool done =
        Rebuild([&sample, c](uint32_t i) { return int32_t{sample.GetValue(i, static_cast<int>(c))}; }, frames,
                [&channel, &total](uint32_t values) {
                  channel.reset(new (std::nothrow) uint8_t[size_t{values} * 2]);
                  total = values;
                  return channel.get();
                },
                workspace);
    if (!done || uint64_t{total} * 2 * layoutChannels > 0xFFFFFFFFu) return;  // dataSize is 32 bits
    if (!rebuilt) {
      rebuilt.reset(new (std::nothrow) uint8_t[size_t{total} * 2 * layoutChannels]);
      if (!rebuilt) return;
    }
    for (size_t k = 0; k < total; ++k) {
      const size_t to = 2 * (k * layoutChannels + c);
      rebuilt[to] = channel[2 * k];
      rebuilt[to + 1] = channel[2 * k + 1];
    }
  }
  // The fields change with the data, and only now: a failure above leaves the sample as
  // it was. The loader rebuilds a sample that no render reads yet.
  sample.bitsPerSample = 16;
  sample.channels = layoutChannels;
  sample.blockAlign = 2 * layoutChannels;
  sample.SetData(std::move(rebuilt), total * 2 * layoutChannels);
}

}  // namespace chantera
