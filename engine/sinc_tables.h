// The tables of the band-limited interpolator and what its paths share (see
// sinc_kernel.h): the prototype, its point table, the semitone buckets of cut-offs above
// the root with a table laid out by phase for each, and the window of frames a value
// reads. Built when the library loads, so that the audio thread only reads them. For the
// interpolator's sources only.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/sinc_kernel.h"

namespace chantera::sinc {

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

// The prototype at a distance of t frames: 2 fc sinc(2 fc t) × Kaiser window.
double Prototype(double t) noexcept;

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

extern const SincTable table;

// Cut-offs above the root come in steps of a semitone up to an octave (a step of 2):
// the kernel of the next semitone up, never of a lower one, so nothing passes the new
// Nyquist frequency. Each has a table by phase (below); higher steps read the points.
constexpr int kBuckets = 12;
constexpr int kRunPhases = 256;

// The step of each bucket, 2^(k / 12): found by comparison rather than a logarithm, since
// frames at a recording's edges, releases and crossovers ask for it frame by frame.
extern const std::array<double, kBuckets + 1> bucketSteps;

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

extern const std::vector<PhaseTable> phaseTables;

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
void FillWindow(const SincSource& source, Span span, uint32_t c, float* window) noexcept;

}  // namespace chantera::sinc
