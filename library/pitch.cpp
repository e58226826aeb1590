// Autocorrelation pitch measurement (see pitch.h).
#include "library/pitch.h"

#include <algorithm>
#include <cmath>

namespace chantera {
namespace {

constexpr double kLowestHz = 50.0;
constexpr double kHighestHz = 1500.0;
constexpr double kSteadyWindowSeconds = 0.05;
constexpr double kClearlyPeriodic = 0.8;
constexpr size_t kSteadyWindows = 7;

}  // namespace

double PitchHz(const std::vector<double>& x, size_t start, size_t length, double rate, double* clarity) {
  if (clarity != nullptr) *clarity = 0.0;
  const int minLag = std::max(2, int(rate / kHighestHz));
  const int maxLag = int(rate / kLowestHz);
  if (start >= x.size()) return 0.0;
  // Keep every read inside x: the window shrinks when x ends early.
  const size_t available = x.size() - start;
  if (available <= size_t(maxLag) + 2) return 0.0;
  length = std::min(length, available - size_t(maxLag) - 2);
  if (length < size_t(minLag) * 4) return 0.0;

  const double* w = x.data() + start;
  double xx = 0.0;
  for (size_t i = 0; i < length; ++i) xx += w[i] * w[i];
  // yy for lag minLag - 1, then slid one value along per lag.
  double yy = 0.0;
  for (size_t i = 0; i < length; ++i) yy += w[i + size_t(minLag - 1)] * w[i + size_t(minLag - 1)];
  std::vector<double> c(size_t(maxLag) + 2, 0.0);
  for (int lag = minLag - 1; lag <= maxLag + 1; ++lag) {
    if (lag > minLag - 1) {
      const double out = w[size_t(lag - 1)], in = w[length + size_t(lag) - 1];
      yy += in * in - out * out;
    }
    const double* y = w + lag;
    double xy = 0.0;
    for (size_t i = 0; i < length; ++i) xy += w[i] * y[i];
    c[size_t(lag)] = xy / std::sqrt(xx * std::max(yy, 0.0) + 1e-30);
  }
  double best = 0.0;
  for (int lag = minLag; lag <= maxLag; ++lag) best = std::max(best, c[size_t(lag)]);
  if (best <= 0.0) return 0.0;
  for (size_t lag = size_t(minLag); lag <= size_t(maxLag); ++lag) {
    if (c[lag] >= 0.9 * best && c[lag] >= c[lag - 1] && c[lag] >= c[lag + 1]) {
      const double curve = c[lag - 1] - 2.0 * c[lag] + c[lag + 1];
      const double shift = curve != 0.0 ? (c[lag - 1] - c[lag + 1]) / (2.0 * curve) : 0.0;
      if (clarity != nullptr) *clarity = c[lag];
      return rate / (double(lag) + shift);
    }
  }
  return 0.0;
}

double SteadyPitchHz(const std::vector<double>& x, size_t from, size_t to, double rate) {
  to = std::min(to, x.size());
  const size_t window = size_t(kSteadyWindowSeconds * rate);
  const size_t lookAhead = size_t(rate / kLowestHz) + 2;
  if (from >= to || to - from < window + lookAhead) return 0.0;
  const size_t span = to - from - window - lookAhead;
  std::vector<double> found;
  for (size_t k = 0; k < kSteadyWindows; ++k) {
    const size_t start = from + span * (2 * k + 1) / (2 * kSteadyWindows);
    double clarity = 0.0;
    const double hz = PitchHz(x, start, window, rate, &clarity);
    if (hz > 0.0 && clarity >= kClearlyPeriodic) found.push_back(hz);
  }
  if (found.size() * 2 < kSteadyWindows) return 0.0;
  std::sort(found.begin(), found.end());
  const size_t n = found.size();
  return n % 2 == 1 ? found[n / 2] : std::sqrt(found[n / 2 - 1] * found[n / 2]);
}

double CentsBetween(double a, double b) {
  return 1200.0 * std::log2(a / b);
}

}  // namespace chantera
