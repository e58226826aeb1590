// The vector kernel for held notes of 16-bit mono data (see held_voices.h). On x86 it is
// compiled for AVX2 and chosen at run time; elsewhere, and on processors without AVX2,
// HeldVoiceKernelAvailable is false and the scalar kernel renders every note.
//
// Why the result is the scalar formula's, bit for bit:
// - positions are summed one addition at a time, in frame order, per voice;
// - index, fraction, both partners, (a + (b - a) × frac) × gain are the same IEEE double
//   operations in each lane (multiplication and addition stay separate instructions:
//   the function is not compiled for FMA);
// - each output value goes float → double (exact), + the voice's value, → float, voice
//   after voice in voice order, as the scalar kernel does slot after slot;
// - the rounding mode and flush-to-zero flags are the thread's, for both.
// Thread: audio thread.
#include "engine/held_voices.h"

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

inline int32_t Load16(const uint8_t* bytes) noexcept {
  return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

// One frame of one voice, the scalar formula itself (the frames after the last group of
// four).
inline void AddFrame(float* left, float* right, int32_t f, double position, const HeldVoice& voice) noexcept {
  const auto i = static_cast<uint32_t>(static_cast<int64_t>(position));
  const double frac = position - static_cast<double>(i);
  const int32_t a = Load16(voice.pcm + 2u * i);
  const int32_t b = Load16(voice.pcm + 2u * i + 2u);
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
// that their chains overlap.
__attribute__((target("avx2"))) void RenderChunk(const double (*positions)[kChunk], const HeldVoice* voices, int count,
                                                 float* left, float* right, int32_t frames) noexcept {
  int32_t f = 0;
  for (; f + 16 <= frames; f += 16) {
    __m256d l0 = _mm256_cvtps_pd(_mm_loadu_ps(left + f)), l1 = _mm256_cvtps_pd(_mm_loadu_ps(left + f + 4));
    __m256d l2 = _mm256_cvtps_pd(_mm_loadu_ps(left + f + 8)), l3 = _mm256_cvtps_pd(_mm_loadu_ps(left + f + 12));
    __m256d r0 = _mm256_cvtps_pd(_mm_loadu_ps(right + f)), r1 = _mm256_cvtps_pd(_mm_loadu_ps(right + f + 4));
    __m256d r2 = _mm256_cvtps_pd(_mm_loadu_ps(right + f + 8)), r3 = _mm256_cvtps_pd(_mm_loadu_ps(right + f + 12));
    for (int k = 0; k < count; ++k) {
      const double* p = &positions[k][f];
      const uint8_t* pcm = voices[k].pcm;
      const __m256d gain = _mm256_set1_pd(voices[k].gain);
      const __m256d v0 = VoiceValues(p, pcm, gain), v1 = VoiceValues(p + 4, pcm, gain);
      const __m256d v2 = VoiceValues(p + 8, pcm, gain), v3 = VoiceValues(p + 12, pcm, gain);
      l0 = Accumulate(l0, v0), l1 = Accumulate(l1, v1), l2 = Accumulate(l2, v2), l3 = Accumulate(l3, v3);
      r0 = Accumulate(r0, v0), r1 = Accumulate(r1, v1), r2 = Accumulate(r2, v2), r3 = Accumulate(r3, v3);
    }
    _mm_storeu_ps(left + f, _mm256_cvtpd_ps(l0)), _mm_storeu_ps(left + f + 4, _mm256_cvtpd_ps(l1));
    _mm_storeu_ps(left + f + 8, _mm256_cvtpd_ps(l2)), _mm_storeu_ps(left + f + 12, _mm256_cvtpd_ps(l3));
    _mm_storeu_ps(right + f, _mm256_cvtpd_ps(r0)), _mm_storeu_ps(right + f + 4, _mm256_cvtpd_ps(r1));
    _mm_storeu_ps(right + f + 8, _mm256_cvtpd_ps(r2)), _mm_storeu_ps(right + f + 12, _mm256_cvtpd_ps(r3));
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

bool DetectAvx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}

// Decided when the library loads, so that the audio thread only reads a flag.
const bool avx2Available = DetectAvx2();

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
  double position[kMaxHeldVoices];
  for (int k = 0; k < count; ++k) position[k] = voices[k].position;
  for (int32_t start = 0; start < n; start += kChunk) {
    const int32_t frames = std::min(kChunk, n - start);
    // The voices' chains of additions side by side, so that they overlap.
    for (int32_t f = 0; f < frames; ++f) {
      for (int k = 0; k < count; ++k) {
        positions[k][f] = position[k];
        position[k] += voices[k].step;
      }
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
