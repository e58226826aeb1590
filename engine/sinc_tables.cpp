// The tables of the band-limited interpolator (see sinc_tables.h).
#include "engine/sinc_tables.h"

#include <numbers>

#include "platform/bytes.h"

namespace chantera::sinc {

namespace {
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

}  // namespace

// The prototype at a distance of t frames: 2 fc sinc(2 fc t) × Kaiser window.
double Prototype(double t) noexcept {
  const double x = std::fabs(t) / kSincHalfWidth;
  if (x >= 1.0) return 0.0;
  const double a = 2.0 * kSincCutoff * t;
  const double sinc = a == 0.0 ? 1.0 : std::sin(std::numbers::pi * a) / (std::numbers::pi * a);
  static const double windowNorm = 1.0 / BesselI0(kKaiserBeta);
  return 2.0 * kSincCutoff * sinc * BesselI0(kKaiserBeta * std::sqrt(1.0 - x * x)) * windowNorm;
}

// Built when the library loads, in this order (the phase tables read the point table).
const SincTable table;

// The step of each bucket, 2^(k / 12): found by comparison rather than a logarithm, since
// frames at a recording's edges, releases and crossovers ask for it frame by frame.
const std::array<double, kBuckets + 1> bucketSteps = [] {
  std::array<double, kBuckets + 1> steps{};
  for (int k = 0; k <= kBuckets; ++k) steps[static_cast<size_t>(k)] = std::exp2(k / static_cast<double>(kBuckets));
  return steps;
}();

namespace {
std::vector<PhaseTable> BuildPhaseTables() {
  std::vector<PhaseTable> tables;
  for (int bucket = 0; bucket <= kBuckets; ++bucket) tables.emplace_back(bucket);
  return tables;
}
}  // namespace

const std::vector<PhaseTable> phaseTables = BuildPhaseTables();

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
}  // namespace chantera::sinc
