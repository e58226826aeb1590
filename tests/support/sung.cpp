#include "support/sung.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

#include "library/wave_writer.h"

namespace chantera::test {

std::vector<int16_t> Sung(double hz, double rate) {
  std::mt19937 noise(7);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const auto at = [&](double s) { return size_t(s * rate); };
  std::vector<int16_t> v(at(1.05), 0);
  for (size_t i = at(0.1); i < at(0.15); ++i) v[i] = int16_t(3000 * uniform(noise));
  for (size_t i = at(0.15); i < at(0.95); ++i) {
    double x = 0.0;
    for (int k = 1; k <= 8; ++k) x += std::sin(2.0 * std::numbers::pi * hz * k * double(i) / rate) / k;
    v[i] = int16_t(7000 * x * std::min(1.0, double(i - at(0.15)) / at(0.01)));
  }
  return v;
}

std::string Wav(const std::vector<int16_t>& v, uint32_t rate, uint16_t channels) {
  return WaveFileBytes(v, channels, rate);
}

}  // namespace chantera::test
