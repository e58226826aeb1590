// The vector kernel for held notes of 16-bit mono data (see held_voices.h). On x86 it is
// compiled for AVX2 and chosen at run time; elsewhere, and on processors without AVX2,
// HeldVoiceKernelAvailable is false and the scalar kernel renders every note.
//
// Why the result is the scalar formula's, bit for bit:
// - positions are summed one addition at a time, in frame order, per voice (four voices
//   to a vector, one per lane);
// - index, fraction, both partners, (a + (b - a) × frac) × gain are the same IEEE double
//   operations in each lane (multiplication and addition stay separate instructions:
//   the function is not compiled for FMA);
// - each output value goes float → double (exact), + the voice's value, → float, voice
//   after voice in voice order, as the scalar kernel does slot after slot;
// - the rounding mode and flush-to-zero flags are the thread's, for both.
// Thread: audio thread.
#include "engine/held_voices.h"
#include "platform/bytes.h"
#include "platform/cpu.h"

#include <algorithm>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define CHANTERA_HELD_VOICES_AVX2 1
#endif

namespace chantera {

namespace {

#if defined(CHANTERA_HELD_VOICES_AVX2)

// Frames whose positions are laid out at once: 16 voices × 32 frames of positions is
// 4 KiB of stack, well inside the first-level cache.
constexpr int32_t kChunk = 32;

// One frame of one voice, the scalar formula itself (the frames after the last group of
// four).
inline void AddFrame(float* left, float* right, int32_t f, double position, const HeldVoice& voice) noexcept {
  const auto i = static_cast<uint32_t>(static_cast<int64_t>(position));
  const double frac = position - static_cast<double>(i);
  const int32_t a = platform::LoadSample16(voice.pcm + 2u * i);
  const int32_t b = platform::LoadSample16(voice.pcm + 2u * i + 2u);
  const double v = (a + (b - a) * frac) * voice.gain;
  left[f] = static_cast<float>(static_cast<double>(left[f]) + v);
  right[f] = static_cast<float>(static_cast<double>(right[f]) + v);
}

// The values of one voice at four frames: (a + (b - a) × frac) × gain in each lane.
__attribute__((target("avx2"))) inline __m256d VoiceValues(const double* positions, const uint8_t* pcm,
                                                           __m256d gain) noexcept {
  const __m256d position = _mm256_loadu_pd(positions);
  // Truncation is floor: positions are never negative, and below 2^31 here.
  const __m128i index = _mm256_cvttpd_epi32(position);
  const __m256d frac = _mm256_sub_pd(position, _mm256_cvtepi32_pd(index));
  // One 32-bit read at byte 2 × index holds value index (low half) and its right-hand
  // partner (high half); both are sign-extended from 16 bits.
  alignas(16) int32_t at[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(at), index);
  uint32_t u[4];
  for (int j = 0; j < 4; ++j) std::memcpy(&u[j], pcm + 2u * static_cast<uint32_t>(at[j]), 4);
  const __m128i pair =
      _mm_setr_epi32(static_cast<int>(u[0]), static_cast<int>(u[1]), static_cast<int>(u[2]), static_cast<int>(u[3]));
  const __m128i a = _mm_srai_epi32(_mm_slli_epi32(pair, 16), 16);
  const __m128i b = _mm_srai_epi32(pair, 16);
  const __m256d slope = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm_sub_epi32(b, a)), frac);
  return _mm256_mul_pd(_mm256_add_pd(_mm256_cvtepi32_pd(a), slope), gain);
}

// out = float(double(out) + v), four lanes; out holds float values widened to double.
__attribute__((target("avx2"))) inline __m256d Accumulate(__m256d out, __m256d v) noexcept {
  return _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(out, v)));
}

// Each output frame is a chain over the voices (add, round to float, widen), and each
// link waits for the one before: four groups of four frames are carried side by side so
// that their chains overlap. A mono voice adds the same value to both channels, so where
// the two channels hold the same bits (as they do throughout when every note is mono) one
// chain serves both: the same operations on the same values give the same results.
template <bool kSame>
__attribute__((target("avx2"))) inline void RenderSixteen(const double (*positions)[kChunk], const HeldVoice* voices,
                                                          int count, float* left, float* right, int32_t f) noexcept {
  __m256d l0 = _mm256_cvtps_pd(_mm_loadu_ps(left + f)), l1 = _mm256_cvtps_pd(_mm_loadu_ps(left + f + 4));
  __m256d l2 = _mm256_cvtps_pd(_mm_loadu_ps(left + f + 8)), l3 = _mm256_cvtps_pd(_mm_loadu_ps(left + f + 12));
  __m256d r0 = l0, r1 = l1, r2 = l2, r3 = l3;
  if constexpr (!kSame) {
    r0 = _mm256_cvtps_pd(_mm_loadu_ps(right + f)), r1 = _mm256_cvtps_pd(_mm_loadu_ps(right + f + 4));
    r2 = _mm256_cvtps_pd(_mm_loadu_ps(right + f + 8)), r3 = _mm256_cvtps_pd(_mm_loadu_ps(right + f + 12));
  }
  for (int k = 0; k < count; ++k) {
    const double* p = &positions[k][f];
    const uint8_t* pcm = voices[k].pcm;
    const __m256d gain = _mm256_set1_pd(voices[k].gain);
    const __m256d v0 = VoiceValues(p, pcm, gain), v1 = VoiceValues(p + 4, pcm, gain);
    const __m256d v2 = VoiceValues(p + 8, pcm, gain), v3 = VoiceValues(p + 12, pcm, gain);
    l0 = Accumulate(l0, v0), l1 = Accumulate(l1, v1), l2 = Accumulate(l2, v2), l3 = Accumulate(l3, v3);
    if constexpr (!kSame) {
      r0 = Accumulate(r0, v0), r1 = Accumulate(r1, v1), r2 = Accumulate(r2, v2), r3 = Accumulate(r3, v3);
    }
  }
  if constexpr (kSame) r0 = l0, r1 = l1, r2 = l2, r3 = l3;
  _mm_storeu_ps(left + f, _mm256_cvtpd_ps(l0)), _mm_storeu_ps(left + f + 4, _mm256_cvtpd_ps(l1));
  _mm_storeu_ps(left + f + 8, _mm256_cvtpd_ps(l2)), _mm_storeu_ps(left + f + 12, _mm256_cvtpd_ps(l3));
  _mm_storeu_ps(right + f, _mm256_cvtpd_ps(r0)), _mm_storeu_ps(right + f + 4, _mm256_cvtpd_ps(r1));
  _mm_storeu_ps(right + f + 8, _mm256_cvtpd_ps(r2)), _mm_storeu_ps(right + f + 12, _mm256_cvtpd_ps(r3));
}

// True when left[f, f + 16) and right[f, f + 16) hold the same bits.
__attribute__((target("avx2"))) inline bool SameSixteen(const float* left, const float* right) noexcept {
  const __m256i a = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(left)),
                                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(right)));
  const __m256i b = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(left + 8)),
                                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(right + 8)));
  const __m256i both = _mm256_or_si256(a, b);
  return _mm256_testz_si256(both, both) != 0;
}

__attribute__((target("avx2"))) void RenderChunk(const double (*positions)[kChunk], const HeldVoice* voices, int count,
                                                 float* left, float* right, int32_t frames) noexcept {
  int32_t f = 0;
  for (; f + 16 <= frames; f += 16) {
    if (SameSixteen(left + f, right + f))
      RenderSixteen<true>(positions, voices, count, left, right, f);
    else
      RenderSixteen<false>(positions, voices, count, left, right, f);
  }
  for (; f + 4 <= frames; f += 4) {
    __m256d l = _mm256_cvtps_pd(_mm_loadu_ps(left + f));
    __m256d r = _mm256_cvtps_pd(_mm_loadu_ps(right + f));
    for (int k = 0; k < count; ++k) {
      const __m256d v = VoiceValues(&positions[k][f], voices[k].pcm, _mm256_set1_pd(voices[k].gain));
      l = Accumulate(l, v);
      r = Accumulate(r, v);
    }
    _mm_storeu_ps(left + f, _mm256_cvtpd_ps(l));
    _mm_storeu_ps(right + f, _mm256_cvtpd_ps(r));
  }
  for (; f < frames; ++f)
    for (int k = 0; k < count; ++k) AddFrame(left, right, f, positions[k][f], voices[k]);
}

// Lays out the positions of Groups × 4 voices for frames [0, frames): positions[k][f] is
// voice k's position at frame f, and position[k] moves on by step[k] once per frame. Each
// lane of a vector is one voice's chain of additions, summed one by one in frame order as
// the scalar formula does; the groups' chains run side by side, and every four frames a
// 4 × 4 transpose turns four frames of four voices into four voices of four frames.
template <int Groups>
__attribute__((target("avx2"))) void LayOutPositions(double (*positions)[kChunk], double* position, const double* step,
                                                     int32_t frames) noexcept {
  __m256d p[Groups], s[Groups];
  for (int g = 0; g < Groups; ++g) {
    p[g] = _mm256_loadu_pd(position + 4 * g);
    s[g] = _mm256_loadu_pd(step + 4 * g);
  }
  int32_t f = 0;
  for (; f + 4 <= frames; f += 4) {
    for (int g = 0; g < Groups; ++g) {
      const __m256d f0 = p[g];
      const __m256d f1 = _mm256_add_pd(f0, s[g]);
      const __m256d f2 = _mm256_add_pd(f1, s[g]);
      const __m256d f3 = _mm256_add_pd(f2, s[g]);
      p[g] = _mm256_add_pd(f3, s[g]);
      const __m256d lo01 = _mm256_unpacklo_pd(f0, f1), hi01 = _mm256_unpackhi_pd(f0, f1);
      const __m256d lo23 = _mm256_unpacklo_pd(f2, f3), hi23 = _mm256_unpackhi_pd(f2, f3);
      _mm256_storeu_pd(&positions[4 * g][f], _mm256_permute2f128_pd(lo01, lo23, 0x20));
      _mm256_storeu_pd(&positions[4 * g + 1][f], _mm256_permute2f128_pd(hi01, hi23, 0x20));
      _mm256_storeu_pd(&positions[4 * g + 2][f], _mm256_permute2f128_pd(lo01, lo23, 0x31));
      _mm256_storeu_pd(&positions[4 * g + 3][f], _mm256_permute2f128_pd(hi01, hi23, 0x31));
    }
  }
  for (; f < frames; ++f) {
    for (int g = 0; g < Groups; ++g) {
      alignas(32) double lanes[4];
      _mm256_store_pd(lanes, p[g]);
      for (int j = 0; j < 4; ++j) positions[4 * g + j][f] = lanes[j];
      p[g] = _mm256_add_pd(p[g], s[g]);
    }
  }
  for (int g = 0; g < Groups; ++g) _mm256_storeu_pd(position + 4 * g, p[g]);
}

// Decided when the library loads, so that the audio thread only reads a flag.
const bool avx2Available = platform::Cpu().avx2;

#endif

}  // namespace

bool HeldVoiceKernelAvailable() noexcept {
#if defined(CHANTERA_HELD_VOICES_AVX2)
  return avx2Available;
#else
  return false;
#endif
}

void RenderHeldVoices(HeldVoice* voices, int count, float* left, float* right, int32_t n) noexcept {
#if defined(CHANTERA_HELD_VOICES_AVX2)
  count = std::clamp(count, 0, kMaxHeldVoices);
  double positions[kMaxHeldVoices][kChunk];
  // The lanes past the last voice step from 0 by 0: laid out, never read.
  double position[kMaxHeldVoices] = {};
  double step[kMaxHeldVoices] = {};
  for (int k = 0; k < count; ++k) {
    position[k] = voices[k].position;
    step[k] = voices[k].step;
  }
  const int groups = (count + 3) / 4;
  for (int32_t start = 0; start < n; start += kChunk) {
    const int32_t frames = std::min(kChunk, n - start);
    switch (groups) {
      case 1:
        LayOutPositions<1>(positions, position, step, frames);
        break;
      case 2:
        LayOutPositions<2>(positions, position, step, frames);
        break;
      case 3:
        LayOutPositions<3>(positions, position, step, frames);
        break;
      default:
        LayOutPositions<4>(positions, position, step, frames);
        break;
    }
    RenderChunk(positions, voices, count, left + start, right + start, frames);
  }
  for (int k = 0; k < count; ++k) voices[k].position = position[k];
#else
  (void)voices;
  (void)count;
  (void)left;
  (void)right;
  (void)n;
#endif
}

}  // namespace chantera
