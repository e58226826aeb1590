// The x86 paths of the band-limited interpolator (see sinc_kernel.cpp): AVX2 and AVX-512,
// each compiled for its own instruction set and chosen when the library loads.
#include "engine/sinc_x86.h"

#if defined(CHANTERA_SINC_X86)

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "platform/cpu.h"

namespace chantera::sinc {

// Decided when the library loads, so that the audio thread only reads a flag.
const bool avx2Available = platform::Cpu().avx2 && platform::Cpu().fma;
const bool avx512Available = avx2Available && platform::Cpu().avx512f;

namespace {

// Table points and interpolation fractions of four taps at distances t.
__attribute__((target("avx2,fma"))) inline void Points(__m256d t, __m256d pointsPerFrame, __m128i& m,
                                                       __m128& frac) noexcept {
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d u = _mm256_min_pd(_mm256_mul_pd(_mm256_andnot_pd(sign, t), pointsPerFrame),
                                  _mm256_set1_pd(static_cast<double>(kTableEnd + 1)));
  m = _mm256_cvttpd_epi32(u);
  frac = _mm256_cvtpd_ps(_mm256_sub_pd(u, _mm256_cvtepi32_pd(m)));
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

}  // namespace

__attribute__((target("avx2,fma"))) double DotGatherAvx2(const float* window, int32_t count, double distance,
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

__attribute__((target("avx2,fma"))) double DotPhasePcm16Avx2(const PhaseTable& t, const uint8_t* frames,
                                                             double fraction) noexcept {
  return DotPhaseAvx2<true>(t, frames, fraction);
}

__attribute__((target("avx2,fma"))) double DotPhaseWindowAvx2(const PhaseTable& t, const float* window,
                                                              double fraction) noexcept {
  return DotPhaseAvx2<false>(t, window, fraction);
}

}  // namespace chantera::sinc

#endif
