// The Chorus rebuild. Every stage works in place in one buffer of 32-bit values that is
// as long as the final result: a stage only ever reads values at lower indexes than the
// one it writes (a stretched copy reads index i / ratio, an echo reads index k - offset),
// so filling each stage from the top index down reads nothing it has already written.
// The buffer is kept per thread and reused from sample to sample; the echo taps are
// added straight into it. Thread: the loader thread (or a tool), never the audio thread.
#include "library/chorus_builder.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "library/sample.h"

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

// Copies the values into work, sign-extended, and returns the largest absolute value
// among them; -32768 does not count, its magnitude does not fit 16 bits.
template <class ReadValue>
int32_t WidenWithPeak(ReadValue read, uint32_t n, int32_t* work) noexcept {
  int32_t peak = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const int32_t v = read(i);
    work[i] = v;
    const int32_t magnitude = v < 0 ? -v : v;
    if (v != -32768 && magnitude > peak) peak = magnitude;
  }
  return peak;
}

// trunc(i / ratio) through a multiplication by the reciprocal, which is within a few
// units in the last place of the quotient (below 1e-6 for any i under 2^31). Only a
// product that close to a whole number can truncate differently from the quotient;
// there the division itself decides. A power-of-two ratio has an exact reciprocal.
constexpr double kNearWhole = 1e-6;

struct Stretch {
  uint32_t count;  // values built so far
  double ratio, reciprocal, gain;
  bool exactReciprocal;
};

// Values i in [low, high) of a stretch stage, from the top down (see AddStretchedCopy).
// The scaled value of one source index serves all the i that map to it.
void StretchScalar(int32_t* work, const Stretch& st, uint32_t low, uint32_t high) noexcept {
  uint32_t cachedSource = ~0u;
  int32_t cachedCopy = 0;
  for (uint32_t i = high; i-- > low;) {
    const double product = static_cast<double>(i) * st.reciprocal;
    auto j = static_cast<uint32_t>(product);
    const double fraction = product - j;
    if (!st.exactReciprocal && (fraction < kNearWhole || fraction > 1.0 - kNearWhole))
      j = static_cast<uint32_t>(static_cast<double>(i) / st.ratio);
    if (j != cachedSource) {
      cachedSource = j;
      cachedCopy = j < st.count ? static_cast<int32_t>(work[j] * st.gain) : 0;
    }
    const int32_t own = i < st.count ? work[i] : 0;
    work[i] = own + cachedCopy;
  }
}

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define CHANTERA_CHORUS_AVX2 1
const bool avx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();

// The lowest i the vector form takes: from there on, for a ratio of at least 1.4, the
// sources (i / ratio) of a block of eight lie below the block, within eight values of the
// first of them.
constexpr uint32_t kVectorFrom = 32;

// Values i in [low, high) (high - low a multiple of 8, low >= kVectorFrom) of a stretch
// stage, eight at a time from the top down: the same operations as StretchScalar in each
// lane (the index product, its truncation, the scaled source, the sum); a block where a
// product lies near a whole number, or a source at or past count, goes through
// StretchScalar instead.
__attribute__((target("avx2"))) void StretchAvx2(int32_t* work, const Stretch& st, uint32_t low,
                                                 uint32_t high) noexcept {
  const __m256d reciprocal = _mm256_set1_pd(st.reciprocal);
  const __m256d gain = _mm256_set1_pd(st.gain);
  const __m256d nearZero = _mm256_set1_pd(kNearWhole), nearOne = _mm256_set1_pd(1.0 - kNearWhole);
  const __m256i count = _mm256_set1_epi32(static_cast<int32_t>(st.count));
  const __m128i lanes = _mm_setr_epi32(0, 1, 2, 3);
  for (uint32_t base = high; base > low;) {
    base -= 8;
    const __m128i i0 = _mm_add_epi32(_mm_set1_epi32(static_cast<int32_t>(base)), lanes);
    const __m128i i1 = _mm_add_epi32(i0, _mm_set1_epi32(4));
    const __m256d p0 = _mm256_mul_pd(_mm256_cvtepi32_pd(i0), reciprocal);
    const __m256d p1 = _mm256_mul_pd(_mm256_cvtepi32_pd(i1), reciprocal);
    const __m128i j0 = _mm256_cvttpd_epi32(p0), j1 = _mm256_cvttpd_epi32(p1);
    const __m256i j = _mm256_set_m128i(j1, j0);
    int unsure = _mm256_movemask_epi8(_mm256_cmpgt_epi32(count, j)) != -1;  // a source at or past count
    if (!st.exactReciprocal) {
      const __m256d f0 = _mm256_sub_pd(p0, _mm256_cvtepi32_pd(j0));
      const __m256d f1 = _mm256_sub_pd(p1, _mm256_cvtepi32_pd(j1));
      const __m256d near0 =
          _mm256_or_pd(_mm256_cmp_pd(f0, nearZero, _CMP_LT_OQ), _mm256_cmp_pd(f0, nearOne, _CMP_GT_OQ));
      const __m256d near1 =
          _mm256_or_pd(_mm256_cmp_pd(f1, nearZero, _CMP_LT_OQ), _mm256_cmp_pd(f1, nearOne, _CMP_GT_OQ));
      unsure |= _mm256_movemask_pd(_mm256_or_pd(near0, near1));
    }
    if (unsure != 0) {
      StretchScalar(work, st, base, base + 8);
      continue;
    }
    const int32_t first = _mm_cvtsi128_si32(j0);
    const __m256i sources =
        _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(work + first)),
                                    _mm256_sub_epi32(j, _mm256_set1_epi32(first)));
    const __m128i c0 = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(sources)), gain));
    const __m128i c1 =
        _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(sources, 1)), gain));
    const __m256i index = _mm256_set_m128i(i1, i0);
    const __m256i own = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(work + base)),
                                         _mm256_cmpgt_epi32(count, index));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(work + base), _mm256_add_epi32(own, _mm256_set_m128i(c1, c0)));
  }
}
#endif

// Stretches the count values built so far by ratio and adds the copy, scaled by gain, to
// them: value i becomes (i < count ? W[i] : 0) + trunc(W[trunc(i / ratio)] × gain). Since
// i / ratio <= i, going from the top down reads only values not yet rewritten.
uint32_t AddStretchedCopy(int32_t* work, uint32_t count, uint32_t m, double ratio, double gain) noexcept {
  int exponent = 0;
  const Stretch st{count, ratio, 1.0 / ratio, gain, std::frexp(ratio, &exponent) == 0.5};
#if defined(CHANTERA_CHORUS_AVX2)
  if (avx2 && ratio >= 1.4 && m >= kVectorFrom + 8) {
    const uint32_t vectorTop = kVectorFrom + (m - kVectorFrom) / 8 * 8;
    StretchScalar(work, st, vectorTop, m);
    StretchAvx2(work, st, kVectorFrom, vectorTop);
    StretchScalar(work, st, 0, kVectorFrom);
    return m;
  }
#endif
  StretchScalar(work, st, 0, m);
  return m;
}

// out[k] += trunc(source[k] × gain). The hot loop of the rebuild: asked to be vectorised
// where the compiler's default level would leave it scalar (GCC's -O2 cost model does
// for the int/double conversions); the result is the same either way. On x86 a second
// copy is compiled for AVX2 (twice the lanes for the conversions) and chosen at run time:
// the same IEEE operations on the same values, so the same results.
#if defined(__GNUC__) && !defined(__clang__)
#define CHANTERA_VECTORIZE __attribute__((optimize("tree-vectorize", "vect-cost-model=dynamic")))
#else
#define CHANTERA_VECTORIZE
#endif
inline __attribute__((always_inline)) void AddScaledBody(int32_t* __restrict out, const int32_t* __restrict source,
                                                         uint32_t length, double gain) noexcept {
  for (uint32_t k = 0; k < length; ++k) out[k] += static_cast<int32_t>(source[k] * gain);
}

inline __attribute__((always_inline)) int32_t MaxAbsBody(const int32_t* values, uint32_t length) noexcept {
  int32_t maxAbs = 0;
  for (uint32_t k = 0; k < length; ++k) maxAbs = std::max(maxAbs, values[k] < 0 ? -values[k] : values[k]);
  return maxAbs;
}

CHANTERA_VECTORIZE void AddScaledPlain(int32_t* __restrict out, const int32_t* __restrict source, uint32_t length,
                                       double gain) noexcept {
  AddScaledBody(out, source, length, gain);
}
CHANTERA_VECTORIZE int32_t MaxAbsPlain(const int32_t* values, uint32_t length) noexcept {
  return MaxAbsBody(values, length);
}

#if defined(CHANTERA_CHORUS_AVX2)
CHANTERA_VECTORIZE __attribute__((target("avx2"))) void AddScaledAvx2(int32_t* __restrict out,
                                                                      const int32_t* __restrict source, uint32_t length,
                                                                      double gain) noexcept {
  AddScaledBody(out, source, length, gain);
}
CHANTERA_VECTORIZE __attribute__((target("avx2"))) int32_t MaxAbsAvx2(const int32_t* values, uint32_t length) noexcept {
  return MaxAbsBody(values, length);
}
#endif

void AddScaled(int32_t* __restrict out, const int32_t* __restrict source, uint32_t length, double gain) noexcept {
#if defined(CHANTERA_CHORUS_AVX2)
  if (avx2) return AddScaledAvx2(out, source, length, gain);
#endif
  AddScaledPlain(out, source, length, gain);
}

int32_t MaxAbs(const int32_t* values, uint32_t length) noexcept {
#if defined(CHANTERA_CHORUS_AVX2)
  if (avx2) return MaxAbsAvx2(values, length);
#endif
  return MaxAbsPlain(values, length);
}

// Adds the seven echoes of the count values into work, which grows by 29400 values, and
// returns the largest absolute value of the result. The buffer is filled in blocks from
// the top down; a block no longer than the shortest tap offset reads its echo sources
// entirely below itself, from values this stage has not touched yet.
int32_t AddEchoTaps(int32_t* work, uint32_t count, uint32_t total) noexcept {
  std::fill(work + count, work + total, 0);
  int32_t maxAbs = 0;
  uint32_t high = total;
  while (high > 0) {
    const uint32_t low = high > kEcho.shortestOffset ? high - kEcho.shortestOffset : 0;
    for (const EchoTap& tap : kEcho.taps) {
      // Indexes k of this block whose source k - offset lies inside the old values.
      const uint32_t first = std::max(low, tap.offset);
      const uint32_t last = std::min(high, tap.offset + count);
      if (first >= last) continue;
      int32_t* out = work + first;
      const int32_t* source = work + (first - tap.offset);
      const uint32_t length = last - first;
      AddScaled(out, source, length, tap.gain);
    }
    // The block is finished and still in cache: take its peak now.
    maxAbs = std::max(maxAbs, MaxAbs(work + low, high - low));
    high = low;
  }
  return maxAbs;
}

// Scales the working values to the recording's peak: trunc(v × peak / maxAbs). All zero
// when every working value is 0.
template <class WriteValue>
void NarrowToPeak(const int32_t* work, uint32_t count, int32_t peak, int32_t maxAbs, WriteValue write) noexcept {
  if (maxAbs == 0) {
    for (uint32_t k = 0; k < count; ++k) write(k, 0);
    return;
  }
  const double scale = static_cast<double>(peak) / static_cast<double>(maxAbs);
  for (uint32_t k = 0; k < count; ++k) write(k, static_cast<int16_t>(static_cast<int32_t>(work[k] * scale)));
}

// The working buffer of the calling thread, at least values long; null when the memory
// cannot be had. Kept between calls (the loader rebuilds sample after sample) and freed
// when the thread ends.
int32_t* WorkingBuffer(uint32_t values) noexcept {
  thread_local std::vector<int32_t> buffer;
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

// Runs the whole chain over n values read by read(i) and hands the total values to
// write(k, value). False (and nothing written) when memory cannot be had.
template <class ReadValue, class PrepareOutput>
bool Rebuild(ReadValue read, uint32_t n, PrepareOutput prepare) {
  uint32_t stretched[3];
  uint32_t total = 0;
  if (!StageLengths(n, stretched, total)) return false;
  int32_t* work = WorkingBuffer(total);
  if (work == nullptr) return false;
  auto write = prepare(total);
  if (!write) return false;

  const int32_t peak = WidenWithPeak(read, n, work);
  uint32_t count = n;
  for (int s = 0; s < 3; ++s)
    count = AddStretchedCopy(work, count, stretched[s], kStretchStages[s].ratio, kStretchStages[s].gain);
  const int32_t maxAbs = AddEchoTaps(work, count, total);
  NarrowToPeak(work, total, peak, maxAbs, *write);
  return true;
}

}  // namespace

uint32_t ChorusLength(uint32_t n) {
  uint32_t stretched[3];
  uint32_t total = 0;
  return StageLengths(n, stretched, total) ? total : 0;  // 0: too long to be held
}

bool BuildChorus(const int16_t* data, uint32_t n, std::vector<int16_t>& out) {
  if (data == nullptr) n = 0;
  return Rebuild([data](uint32_t i) { return int32_t{data[i]}; }, n,
                 [&out](uint32_t total) {
                   auto writer = [&out](uint32_t k, int16_t v) { out[k] = v; };
                   std::optional<decltype(writer)> result;
                   try {
                     out.resize(total);
                     result.emplace(writer);
                   } catch (const std::bad_alloc&) {
                   } catch (const std::length_error&) {
                   }
                   return result;
                 });
}

void RebuildSample(Sample& sample) {
  const uint8_t* pcm = sample.pcm.get();
  const uint32_t n = pcm != nullptr ? sample.dataSize / 2 : 0;  // an odd last byte is dropped
  std::unique_ptr<uint8_t[]> rebuilt;
  uint32_t total = 0;
  const bool done = Rebuild(
      [pcm](uint32_t i) {
        return int32_t{static_cast<int16_t>(static_cast<uint16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8)))};
      },
      n,
      [&rebuilt, &total](uint32_t values) {
        rebuilt.reset(new (std::nothrow) uint8_t[size_t{values} * 2]);
        total = values;
        uint8_t* bytes = rebuilt.get();
        auto writer = [bytes](uint32_t k, int16_t v) {
          const auto u = static_cast<uint16_t>(v);
          bytes[2 * k] = static_cast<uint8_t>(u & 0xFF);
          bytes[2 * k + 1] = static_cast<uint8_t>(u >> 8);
        };
        return bytes != nullptr ? std::optional<decltype(writer)>(writer) : std::nullopt;
      });
  // Only now is the old data let go: a failed allocation leaves the sample as it was.
  if (done) sample.SetData(std::move(rebuilt), total * 2);
}

}  // namespace chantera
