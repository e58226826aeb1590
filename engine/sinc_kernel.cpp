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
#include <cmath>

#include "engine/sinc_tables.h"
#include "engine/sinc_x86.h"
#include "library/sample.h"
#include "platform/bytes.h"

namespace chantera {

using namespace sinc;

namespace {

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
#if defined(CHANTERA_SINC_X86)
  return avx2Available;
#else
  return false;
#endif
}

double SincValuePlain(const SincSource& source, double position, double step, uint32_t c) noexcept {
  return Evaluate(DotPlain, source, position, step, c);
}

double SincValueAvx2(const SincSource& source, double position, double step, uint32_t c) noexcept {
#if defined(CHANTERA_SINC_X86)
  if (avx2Available) {
    const int bucket = BucketOf(step);
    if (bucket >= 0 && source.pcm != nullptr && position >= 0.0 && position < 4.0e9) {
      // A phase table's kernel: its frames read straight where they lie inside.
      const PhaseTable& t = phaseTables[static_cast<size_t>(bucket)];
      const double whole = std::floor(position);
      const int64_t first = static_cast<int64_t>(whole) - t.reach + 1;
      const int64_t straight = source.Looping() ? std::min(source.loopEnd, source.frames) : source.frames;
      if (source.sixteenBit && source.channels == 1 && first >= 0 && first + t.taps <= straight)
        return DotPhasePcm16Avx2(t, source.pcm + 2 * first, position - whole);
      alignas(32) float window[kWindowCapacity];
      FillWindow(source, {first, t.taps}, source.channels == 2 ? (c & 1u) : 0u, window);
      return DotPhaseWindowAvx2(t, window, position - whole);
    }
    return Evaluate(DotGatherAvx2, source, position, step, c);
  }
#endif
  return SincValuePlain(source, position, step, c);
}

namespace {

int32_t Run(bool wide, const SincSource& source, double& position, double step, double gain, float* left, float* right,
            int32_t n) noexcept {
#if defined(CHANTERA_SINC_X86)
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
#if defined(CHANTERA_SINC_X86)
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
