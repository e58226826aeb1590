// The band-limited interpolator (see sinc_kernel.h).
//
// One output value is a dot product of the frames around the position with the kernel
// taken at their distances from it. Up to a step of 2 (the kernel unstretched, or one of
// the twelve semitone buckets above it) the taps come from a table laid out by phase: a
// value reads the two rows around its fraction straight and interpolates them, eight (AVX2)
// or sixteen (AVX-512) taps per vector, its frames read in place where the window lies
// inside 16-bit mono data, and a held note's run totals eight frames' sums together. The
// plain path, the frames at the edges and steps above 2 copy the frames into a window of
// floats first (the edges and the loop handled there, once); above 2 the AVX2 path gathers
// the points of the point table, with the distances in double (a float distance of tens of
// frames would cost the phase its last bits). Sums are kept in float: their rounding lies
// near -140 dB, far below the tables' own error.
// Thread: audio thread (but the reference).
#include "engine/sinc_kernel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "library/sample.h"
#include "platform/bytes.h"
#include "platform/cpu.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define CHANTERA_SINC_AVX2 1
#endif

namespace chantera {

namespace {

// Kaiser's beta for the stopband's depth.
constexpr double kKaiserBeta = 0.1102 * (kSincStopbandDb - 8.7);
// The table's last real point is kSincHalfWidth frames out; one more point of 0 takes
// every distance at or past it.
constexpr int kTableEnd = kSincHalfWidth * kSincTablePoints;
constexpr int kTableSize = kTableEnd + 2;
// Frames a window may read: 2 × kSincHalfWidth × kSincMaxStep, plus a vector's worth
// of zeros past the last.
constexpr int kMaxWindow = 2 * kSincHalfWidth * static_cast<int>(kSincMaxStep);
constexpr int kWindowCapacity = kMaxWindow + 8;

// The zeroth-order modified Bessel function of the first kind, by its power series
// (its terms fall below double's precision well before 60 for the betas used here).
double BesselI0(double x) noexcept {
  double sum = 1.0;
  double term = 1.0;
  const double q = x * x / 4.0;
  for (int k = 1; k < 60; ++k) {
    term *= q / (static_cast<double>(k) * static_cast<double>(k));
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

// The prototype at a distance of t frames: 2 fc sinc(2 fc t) × Kaiser window.
double Prototype(double t) noexcept {
  const double x = std::fabs(t) / kSincHalfWidth;
  if (x >= 1.0) return 0.0;
  const double a = 2.0 * kSincCutoff * t;
  const double sinc = a == 0.0 ? 1.0 : std::sin(std::numbers::pi * a) / (std::numbers::pi * a);
  static const double windowNorm = 1.0 / BesselI0(kKaiserBeta);
  return 2.0 * kSincCutoff * sinc * BesselI0(kKaiserBeta * std::sqrt(1.0 - x * x)) * windowNorm;
}

// The prototype at point m / kSincTablePoints frames (value) and the difference to the
// next point (slope), for m in [0, kTableEnd]; the point past it reads 0, 0.
struct SincTable {
  alignas(32) std::array<float, kTableSize> value{};
  alignas(32) std::array<float, kTableSize> slope{};
  SincTable() noexcept {
    std::array<double, kTableSize> exact{};
    for (int m = 0; m <= kTableEnd; ++m) exact[m] = Prototype(static_cast<double>(m) / kSincTablePoints);
    for (int m = 0; m <= kTableEnd; ++m) {
      value[m] = static_cast<float>(exact[m]);
      slope[m] = static_cast<float>(exact[m + 1] - exact[m]);
    }
  }
};

// Built when the library loads, so that the audio thread only reads it.
const SincTable table;

// Cut-offs above the root come in steps of a semitone up to an octave (a step of 2):
// the kernel of the next semitone up, never of a lower one, so nothing passes the new
// Nyquist frequency. Each has a table by phase (below); higher steps read the points.
constexpr int kBuckets = 12;
constexpr int kRunPhases = 256;

// The step of each bucket, 2^(k / 12): found by comparison rather than a logarithm, since
// frames at a recording's edges, releases and crossovers ask for it frame by frame.
const std::array<double, kBuckets + 1> bucketSteps = [] {
  std::array<double, kBuckets + 1> steps{};
  for (int k = 0; k <= kBuckets; ++k) steps[static_cast<size_t>(k)] = std::exp2(k / static_cast<double>(kBuckets));
  return steps;
}();

// The kernel's scale for a step: 1 up to a step of 1, then 1 / step rounded up to the
// next semitone up to a step of 2, then 1 / step (up to kSincMaxStep).
inline int BucketOf(double step) noexcept {
  if (!(step > 1.0)) return 0;
  if (step > 2.0) return -1;
  int k = 1;
  while (k < kBuckets && step > bucketSteps[static_cast<size_t>(k)] * (1.0 + 1e-12)) ++k;
  return k;
}
inline double ScaleOf(double step) noexcept {
  const int bucket = BucketOf(step);
  if (bucket >= 0) return 1.0 / bucketSteps[static_cast<size_t>(bucket)];
  return 1.0 / std::min(step, kSincMaxStep);
}

// The kernel of one bucket laid out by phase: row p holds the taps of a position whose
// fraction is p / kRunPhases, tap j at distance j - (reach - 1) - fraction (scaled, times
// the scale), and the difference to the next row. A value then reads two rows straight
// (no gathers), eight taps per vector; taps past the reach hold 0.
struct PhaseTable {
  double scale = 1.0;
  int32_t reach = 0;                // frames read left of the position (and as many right)
  int32_t taps = 0;                 // 2 × reach, rounded up to 16
  std::vector<float> value, slope;  // (kRunPhases + 1) × taps

  explicit PhaseTable(int bucket) : scale(1.0 / bucketSteps[static_cast<size_t>(bucket)]) {
    reach = static_cast<int32_t>(std::ceil(kSincHalfWidth / scale));
    taps = (2 * reach + 15) & ~15;
    const auto at = [this](int p, int j) {
      const double d = std::fabs((j - (reach - 1)) - static_cast<double>(p) / kRunPhases) * scale;
      const double u = d * kSincTablePoints;
      if (u >= kTableEnd) return 0.0;
      const auto m = static_cast<int32_t>(u);
      return (table.value[m] + (u - m) * table.slope[m]) * scale;
    };
    value.resize(size_t{kRunPhases + 1} * taps);
    slope.resize(value.size());
    for (int p = 0; p <= kRunPhases; ++p)
      for (int j = 0; j < taps; ++j) {
        value[static_cast<size_t>(p) * taps + j] = static_cast<float>(at(p, j));
        slope[static_cast<size_t>(p) * taps + j] = static_cast<float>(at(p + 1, j) - at(p, j));
      }
  }
};

std::vector<PhaseTable> BuildPhaseTables() {
  std::vector<PhaseTable> tables;
  for (int bucket = 0; bucket <= kBuckets; ++bucket) tables.emplace_back(bucket);
  return tables;
}
// Built when the library loads (a few milliseconds), so that the audio thread only reads
// them.
const std::vector<PhaseTable> phaseTables = BuildPhaseTables();

// The frames a value at position reads: first frame and count (both sides of the position,
// 2 × ceil(kSincHalfWidth / scale) frames).
struct Span {
  int64_t first;
  int32_t count;
};

inline Span SpanOf(double position, double scale) noexcept {
  const auto reach = static_cast<int32_t>(std::ceil(kSincHalfWidth / scale));
  return {static_cast<int64_t>(std::floor(position)) - reach + 1, 2 * reach};
}

// Copies frames [span.first, span.first + span.count) of channel c into window, and
// zeros up to the next multiple of 8. Where every frame lies inside the data (and before
// a loop's end) they are read straight; elsewhere frame by frame through the edges.
void FillWindow(const SincSource& source, Span span, uint32_t c, float* window) noexcept {
  const int64_t end = span.first + span.count;
  const int64_t straight = source.Looping() ? std::min(source.loopEnd, source.frames) : source.frames;
  if (span.first >= 0 && end <= straight) {
    const uint32_t stride = source.channels;
    const uint8_t* pcm = source.pcm;
    const auto first = static_cast<uint32_t>(span.first);
    if (source.sixteenBit) {
      for (int32_t j = 0; j < span.count; ++j)
        window[j] =
            static_cast<float>(platform::LoadSample16(pcm + 2u * ((first + static_cast<uint32_t>(j)) * stride + c)));
    } else {
      for (int32_t j = 0; j < span.count; ++j)
        window[j] =
            static_cast<float>(static_cast<int32_t>(pcm[(first + static_cast<uint32_t>(j)) * stride + c]) - 128);
    }
  } else {
    for (int32_t j = 0; j < span.count; ++j) window[j] = static_cast<float>(source.Value(span.first + j, c));
  }
  for (int32_t j = span.count; j < ((span.count + 7) & ~7); ++j) window[j] = 0.0f;
}

double DotPlain(const float* window, int32_t count, double distance, double scale) noexcept {
  const double pointsPerFrame = scale * kSincTablePoints;
  double sum = 0.0;
  for (int32_t j = 0; j < count; ++j) {
    const double u = std::min(std::fabs(distance + j) * pointsPerFrame, static_cast<double>(kTableEnd + 1));
    const auto m = static_cast<int32_t>(u);
    const auto frac = static_cast<float>(u - m);
    sum += static_cast<double>(table.value[m] + frac * table.slope[m]) * window[j];
  }
  return sum * scale;
}

#if defined(CHANTERA_SINC_AVX2)

// Table points and interpolation fractions of four taps at distances t.
__attribute__((target("avx2,fma"))) inline void Points(__m256d t, __m256d pointsPerFrame, __m128i& m,
                                                       __m128& frac) noexcept {
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d u = _mm256_min_pd(_mm256_mul_pd(_mm256_andnot_pd(sign, t), pointsPerFrame),
                                  _mm256_set1_pd(static_cast<double>(kTableEnd + 1)));
  m = _mm256_cvttpd_epi32(u);
  frac = _mm256_cvtpd_ps(_mm256_sub_pd(u, _mm256_cvtepi32_pd(m)));
}

__attribute__((target("avx2,fma"))) double DotAvx2(const float* window, int32_t count, double distance,
                                                   double scale) noexcept {
  const __m256d pointsPerFrame = _mm256_set1_pd(scale * kSincTablePoints);
  const __m256d low = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
  const __m256d high = _mm256_setr_pd(4.0, 5.0, 6.0, 7.0);
  __m256 sum0 = _mm256_setzero_ps(), sum1 = _mm256_setzero_ps();
  int32_t j = 0;
  for (; j < count; j += 8) {
    const __m256d base = _mm256_set1_pd(distance + j);
    __m128i m0, m1;
    __m128 f0, f1;
    Points(_mm256_add_pd(base, low), pointsPerFrame, m0, f0);
    Points(_mm256_add_pd(base, high), pointsPerFrame, m1, f1);
    const __m256i m = _mm256_set_m128i(m1, m0);
    const __m256 frac = _mm256_set_m128(f1, f0);
    const __m256 value = _mm256_i32gather_ps(table.value.data(), m, 4);
    const __m256 slope = _mm256_i32gather_ps(table.slope.data(), m, 4);
    const __m256 h = _mm256_fmadd_ps(frac, slope, value);
    // Two sums, alternating, so that one FMA need not wait for the last.
    if ((j & 8) == 0)
      sum0 = _mm256_fmadd_ps(h, _mm256_loadu_ps(window + j), sum0);
    else
      sum1 = _mm256_fmadd_ps(h, _mm256_loadu_ps(window + j), sum1);
  }
  const __m256 sum = _mm256_add_ps(sum0, sum1);
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return static_cast<double>(_mm_cvtss_f32(s)) * scale;
}

// The unstretched kernel (step 1 or less) over 64 frames, from the phase table: frames
// are 64 floats (kPcm16 false), or 64 signed 16-bit values read straight from the
// recording.
template <bool kPcm16>
__attribute__((target("avx2,fma"))) inline __m256 LoadFrames(const void* frames, int j) noexcept {
  if constexpr (kPcm16) {
    const __m128i values = _mm_loadu_si128(static_cast<const __m128i*>(frames) + j / 8);
    return _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(values));
  } else {
    return _mm256_loadu_ps(static_cast<const float*>(frames) + j);
  }
}

// The value at a position whose frames start at frames (64-bit position's fraction given)
// by a phase table.
// The eight partial sums of that value (their total is the value).
template <bool kPcm16>
__attribute__((target("avx2,fma"))) inline __m256 PartialsAvx2(const PhaseTable& t, const void* frames,
                                                               double fraction) noexcept {
  const double u = fraction * kRunPhases;
  const auto p = std::min(static_cast<int32_t>(u), kRunPhases - 1);
  const __m256 a = _mm256_set1_ps(static_cast<float>(u - p));
  const float* value = t.value.data() + static_cast<size_t>(p) * t.taps;
  const float* slope = t.slope.data() + static_cast<size_t>(p) * t.taps;
  __m256 sum0 = _mm256_setzero_ps(), sum1 = _mm256_setzero_ps();
  for (int j = 0; j < t.taps; j += 16) {
    const __m256 h0 = _mm256_fmadd_ps(a, _mm256_loadu_ps(slope + j), _mm256_loadu_ps(value + j));
    const __m256 h1 = _mm256_fmadd_ps(a, _mm256_loadu_ps(slope + j + 8), _mm256_loadu_ps(value + j + 8));
    sum0 = _mm256_fmadd_ps(h0, LoadFrames<kPcm16>(frames, j), sum0);
    sum1 = _mm256_fmadd_ps(h1, LoadFrames<kPcm16>(frames, j + 8), sum1);
  }
  return _mm256_add_ps(sum0, sum1);
}

// The totals of eight frames' partial sums, in frame order.
__attribute__((target("avx2,fma"))) inline __m256 Totals(const __m256* s) noexcept {
  const __m256 t0 = _mm256_hadd_ps(s[0], s[1]), t1 = _mm256_hadd_ps(s[2], s[3]);
  const __m256 t2 = _mm256_hadd_ps(s[4], s[5]), t3 = _mm256_hadd_ps(s[6], s[7]);
  const __m256 u0 = _mm256_hadd_ps(t0, t1), u1 = _mm256_hadd_ps(t2, t3);
  return _mm256_add_ps(_mm256_permute2f128_ps(u0, u1, 0x20), _mm256_permute2f128_ps(u0, u1, 0x31));
}

template <bool kPcm16>
__attribute__((target("avx2,fma"))) inline double DotPhaseAvx2(const PhaseTable& t, const void* frames,
                                                               double fraction) noexcept {
  const __m256 sum = PartialsAvx2<kPcm16>(t, frames, fraction);
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return static_cast<double>(_mm_cvtss_f32(s));
}

__attribute__((target("avx2,fma"))) int32_t RunMono16Avx2(const PhaseTable& t, const SincSource& source,
                                                          double& position, double step, double gain, float* left,
                                                          float* right, int32_t n) noexcept {
  const int64_t straight = source.Looping() ? std::min(source.loopEnd, source.frames) : source.frames;
  double pos = position;
  int32_t f = 0;
  // Eight frames at a time while the eighth's window (the furthest) lies inside too: their
  // sums are totalled together and added to the output as one vector.
  const __m256 gains = _mm256_set1_ps(static_cast<float>(gain));
  for (; f + 8 <= n; f += 8) {
    const double last = pos + 7.0 * step;
    if (std::floor(pos) - t.reach + 1 < 0 || static_cast<int64_t>(std::floor(last)) - t.reach + 1 + t.taps > straight)
      break;
    __m256 sums[8];
    for (int k = 0; k < 8; ++k) {
      const double whole = std::floor(pos);
      const int64_t first = static_cast<int64_t>(whole) - t.reach + 1;
      sums[k] = PartialsAvx2<true>(t, source.pcm + 2 * first, pos - whole);
      pos += step;
    }
    const __m256 v = _mm256_mul_ps(Totals(sums), gains);
    _mm256_storeu_ps(left + f, _mm256_add_ps(_mm256_loadu_ps(left + f), v));
    _mm256_storeu_ps(right + f, _mm256_add_ps(_mm256_loadu_ps(right + f), v));
  }
  for (; f < n; ++f) {
    const double whole = std::floor(pos);
    const int64_t first = static_cast<int64_t>(whole) - t.reach + 1;
    if (first < 0 || first + t.taps > straight) break;
    const double v = DotPhaseAvx2<true>(t, source.pcm + 2 * first, pos - whole) * gain;
    left[f] = static_cast<float>(static_cast<double>(left[f]) + v);
    right[f] = static_cast<float>(static_cast<double>(right[f]) + v);
    pos += step;
  }
  position = pos;
  return f;
}

// The same run with AVX-512: sixteen taps per vector, so a frame costs about half the
// instructions. The sixteen partial sums are halved to eight, then totalled as above. Its
// frame loop is written out again rather than shared: a shared one would be compiled for
// one instruction set, and AVX-512 code must never reach the AVX2 path.
__attribute__((target("avx512f,avx2,fma"))) inline __m256 Partials512(const PhaseTable& t, const uint8_t* frames,
                                                                      double fraction) noexcept {
  const double u = fraction * kRunPhases;
  const auto p = std::min(static_cast<int32_t>(u), kRunPhases - 1);
  const __m512 a = _mm512_set1_ps(static_cast<float>(u - p));
  const float* value = t.value.data() + static_cast<size_t>(p) * t.taps;
  const float* slope = t.slope.data() + static_cast<size_t>(p) * t.taps;
  __m512 sum = _mm512_setzero_ps();
  for (int j = 0; j < t.taps; j += 16) {
    const __m512 h = _mm512_fmadd_ps(a, _mm512_loadu_ps(slope + j), _mm512_loadu_ps(value + j));
    const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frames + 2 * j));
    // The zero-masked forms here and below: the plain ones start from an undefined
    // register, which g++ 12 reports as maybe uninitialized.
    const __m512 x = _mm512_maskz_cvtepi32_ps(0xFFFF, _mm512_maskz_cvtepi16_epi32(0xFFFF, values));
    sum = _mm512_fmadd_ps(h, x, sum);
  }
  const __m512d halves = _mm512_castps_pd(sum);
  return _mm256_add_ps(_mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xF, halves, 0)),
                       _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xF, halves, 1)));
}

__attribute__((target("avx512f,avx2,fma"))) int32_t RunMono16Avx512(const PhaseTable& t, const SincSource& source,
                                                                    double& position, double step, double gain,
                                                                    float* left, float* right, int32_t n) noexcept {
  const int64_t straight = source.Looping() ? std::min(source.loopEnd, source.frames) : source.frames;
  double pos = position;
  int32_t f = 0;
  const __m256 gains = _mm256_set1_ps(static_cast<float>(gain));
  for (; f + 8 <= n; f += 8) {
    const double last = pos + 7.0 * step;
    if (std::floor(pos) - t.reach + 1 < 0 || static_cast<int64_t>(std::floor(last)) - t.reach + 1 + t.taps > straight)
      break;
    __m256 sums[8];
    for (int k = 0; k < 8; ++k) {
      const double whole = std::floor(pos);
      const int64_t first = static_cast<int64_t>(whole) - t.reach + 1;
      sums[k] = Partials512(t, source.pcm + 2 * first, pos - whole);
      pos += step;
    }
    const __m256 v = _mm256_mul_ps(Totals(sums), gains);
    _mm256_storeu_ps(left + f, _mm256_add_ps(_mm256_loadu_ps(left + f), v));
    _mm256_storeu_ps(right + f, _mm256_add_ps(_mm256_loadu_ps(right + f), v));
  }
  position = pos;
  // The last few frames: the AVX2 run, one at a time.
  return f + RunMono16Avx2(t, source, position, step, gain, left + f, right + f, std::min(n - f, 7));
}

// Decided when the library loads, so that the audio thread only reads a flag.
const bool avx2Available = platform::Cpu().avx2 && platform::Cpu().fma;
const bool avx512Available = avx2Available && platform::Cpu().avx512f;

#endif

using Dot = double (*)(const float*, int32_t, double, double) noexcept;

inline double Evaluate(Dot dot, const SincSource& source, double position, double step, uint32_t c) noexcept {
  if (source.pcm == nullptr || !std::isfinite(position) || std::fabs(position) > 4.0e9) return 0.0;
  const double scale = ScaleOf(step);
  const Span span = SpanOf(position, scale);
  alignas(32) float window[kWindowCapacity];
  FillWindow(source, span, source.channels == 2 ? (c & 1u) : 0u, window);
  return dot(window, span.count, static_cast<double>(span.first) - position, scale);
}

}  // namespace

int32_t SincSource::Value(int64_t frame, uint32_t channel) const noexcept {
  if (frame < 0 || pcm == nullptr) return 0;
  if (Looping() && frame >= loopEnd) frame = loopStart + (frame - loopStart) % (loopEnd - loopStart);
  if (frame >= frames) return 0;
  const uint64_t index = static_cast<uint64_t>(frame) * channels + (channels == 2 ? (channel & 1u) : 0u);
  if (sixteenBit) return platform::LoadSample16(pcm + 2u * index);
  return static_cast<int32_t>(pcm[index]) - 128;
}

SincSource SincSourceOf(const Sample& sample, bool looping) noexcept {
  SincSource source;
  source.pcm = sample.pcm.get();
  source.frames = sample.pcm != nullptr ? sample.ReadableFrames() : 0;
  source.channels = sample.channels == 2 ? 2 : 1;
  source.sixteenBit = sample.bitsPerSample == 16;
  if (looping && sample.HasLoop()) {
    source.loopStart = sample.LoopStart();
    source.loopEnd = sample.LoopEnd();
  }
  return source;
}

int32_t SincReach(double step) noexcept {
  return static_cast<int32_t>(std::ceil(kSincHalfWidth / ScaleOf(step)));
}

bool SincAvx2Available() noexcept {
#if defined(CHANTERA_SINC_AVX2)
  return avx2Available;
#else
  return false;
#endif
}

double SincValuePlain(const SincSource& source, double position, double step, uint32_t c) noexcept {
  return Evaluate(DotPlain, source, position, step, c);
}

double SincValueAvx2(const SincSource& source, double position, double step, uint32_t c) noexcept {
#if defined(CHANTERA_SINC_AVX2)
  if (avx2Available) {
    const int bucket = BucketOf(step);
    if (bucket >= 0 && source.pcm != nullptr && position >= 0.0 && position < 4.0e9) {
      // A phase table's kernel: its frames read straight where they lie inside.
      const PhaseTable& t = phaseTables[static_cast<size_t>(bucket)];
      const double whole = std::floor(position);
      const int64_t first = static_cast<int64_t>(whole) - t.reach + 1;
      const int64_t straight = source.Looping() ? std::min(source.loopEnd, source.frames) : source.frames;
      if (source.sixteenBit && source.channels == 1 && first >= 0 && first + t.taps <= straight)
        return DotPhaseAvx2<true>(t, source.pcm + 2 * first, position - whole);
      alignas(32) float window[kWindowCapacity];
      FillWindow(source, {first, t.taps}, source.channels == 2 ? (c & 1u) : 0u, window);
      return DotPhaseAvx2<false>(t, window, position - whole);
    }
    return Evaluate(DotAvx2, source, position, step, c);
  }
#endif
  return SincValuePlain(source, position, step, c);
}

namespace {

int32_t Run(bool wide, const SincSource& source, double& position, double step, double gain, float* left, float* right,
            int32_t n) noexcept {
#if defined(CHANTERA_SINC_AVX2)
  const int bucket = BucketOf(step);
  if (avx2Available && bucket >= 0 && source.pcm != nullptr && source.sixteenBit && source.channels == 1 &&
      position >= 0.0 && position < 4.0e9) {
    const PhaseTable& t = phaseTables[static_cast<size_t>(bucket)];
    return wide && avx512Available ? RunMono16Avx512(t, source, position, step, gain, left, right, n)
                                   : RunMono16Avx2(t, source, position, step, gain, left, right, n);
  }
#endif
  return 0;
}

}  // namespace

int32_t SincRunMono16(const SincSource& source, double& position, double step, double gain, float* left, float* right,
                      int32_t n) noexcept {
  return Run(true, source, position, step, gain, left, right, n);
}

int32_t SincRunMono16Avx2(const SincSource& source, double& position, double step, double gain, float* left,
                          float* right, int32_t n) noexcept {
  return Run(false, source, position, step, gain, left, right, n);
}

bool SincAvx512Available() noexcept {
#if defined(CHANTERA_SINC_AVX2)
  return avx512Available;
#else
  return false;
#endif
}

double SincValue(const SincSource& source, double position, double step, uint32_t c) noexcept {
  return SincValueAvx2(source, position, step, c);
}

double SincValueReference(const SincSource& source, double position, double step, uint32_t c) noexcept {
  if (source.pcm == nullptr || !std::isfinite(position) || std::fabs(position) > 4.0e9) return 0.0;
  const double scale = ScaleOf(step);
  const Span span = SpanOf(position, scale);
  double sum = 0.0;
  for (int32_t j = 0; j < span.count; ++j) {
    const int64_t frame = span.first + j;
    sum += source.Value(frame, c) * Prototype((static_cast<double>(frame) - position) * scale);
  }
  return sum * scale;
}

}  // namespace chantera
