// The building blocks of the demo voice's singer (synth.h): its rates, a random generator
// that is the same on every platform, the resonators of the vocal tract, and the
// piecewise-linear tracks that shape a syllable over time.
//
// Thread: offline only (the generator and the tests).
#pragma once

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace chantera::demo {

inline constexpr int kOutputRate = 22050;
inline constexpr int kOversample = 2;
inline constexpr double kInternalRate = double(kOutputRate) * kOversample;
inline constexpr double kRecordingSeconds = 1.6;
inline constexpr double kPi = 3.14159265358979323846;

// xorshift64*: small, fast and the same on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {
    if (state_ == 0) state_ = 1;
  }
  uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
  }
  double Uniform() { return double(Next() >> 11) * (1.0 / 9007199254740992.0); }  // [0, 1)
  double Noise() { return 2.0 * Uniform() - 1.0; }                                // [-1, 1)

 private:
  uint64_t state_;
};

// Klatt's digital resonator: a two-pole band-pass with unity gain at 0 Hz.
class Resonator {
 public:
  void Set(double hz, double bandwidth) {
    if (hz == hz_ && bandwidth == bandwidth_) return;
    hz_ = hz, bandwidth_ = bandwidth;
    const double t = 1.0 / kInternalRate;
    c_ = -std::exp(-2.0 * kPi * bandwidth * t);
    b_ = 2.0 * std::exp(-kPi * bandwidth * t) * std::cos(2.0 * kPi * hz * t);
    a_ = 1.0 - b_ - c_;
  }
  double Run(double x) {
    const double y = a_ * x + b_ * y1_ + c_ * y2_;
    y2_ = y1_;
    y1_ = y;
    return y;
  }

 private:
  double a_ = 1.0, b_ = 0.0, c_ = 0.0, y1_ = 0.0, y2_ = 0.0;
  double hz_ = -1.0, bandwidth_ = -1.0;
};

// The inverse of a resonator: a zero pair, the nasal tract's side branch.
class AntiResonator {
 public:
  void Set(double hz, double bandwidth) {
    if (hz == hz_ && bandwidth == bandwidth_) return;
    hz_ = hz, bandwidth_ = bandwidth;
    const double t = 1.0 / kInternalRate;
    const double c = -std::exp(-2.0 * kPi * bandwidth * t);
    const double b = 2.0 * std::exp(-kPi * bandwidth * t) * std::cos(2.0 * kPi * hz * t);
    const double a = 1.0 - b - c;
    a_ = 1.0 / a;
    b_ = -b / a;
    c_ = -c / a;
  }
  double Run(double x) {
    const double y = a_ * x + b_ * x1_ + c_ * x2_;
    x2_ = x1_;
    x1_ = x;
    return y;
  }

 private:
  double a_ = 1.0, b_ = 0.0, c_ = 0.0, x1_ = 0.0, x2_ = 0.0;
  double hz_ = -1.0, bandwidth_ = -1.0;
};

// A band-pass of 0 dB peak gain with zeros at 0 Hz and at the Nyquist frequency (the
// RBJ cookbook's constant-peak form), for noise that must not reach the low end.
class BandPass {
 public:
  void Set(double hz, double bandwidth) {
    if (hz == hz_ && bandwidth == bandwidth_) return;
    hz_ = hz, bandwidth_ = bandwidth;
    const double w = 2.0 * kPi * hz / kInternalRate;
    const double alpha = std::sin(w) * bandwidth / (2.0 * hz);
    const double a0 = 1.0 + alpha;
    b0_ = alpha / a0;
    a1_ = -2.0 * std::cos(w) / a0;
    a2_ = (1.0 - alpha) / a0;
  }
  double Run(double x) {
    const double y = b0_ * (x - x2_) - a1_ * y1_ - a2_ * y2_;
    x2_ = x1_, x1_ = x, y2_ = y1_, y1_ = y;
    return y;
  }

 private:
  double b0_ = 0.0, a1_ = 0.0, a2_ = 0.0, x1_ = 0.0, x2_ = 0.0, y1_ = 0.0, y2_ = 0.0;
  double hz_ = -1.0, bandwidth_ = -1.0;
};

// A piecewise-linear track over time in seconds; before the first point it holds the
// first value, after the last the last value.
class Track {
 public:
  Track() = default;
  Track(std::initializer_list<std::pair<double, double>> points) : points_(points) {}
  double At(double t) const {
    if (points_.empty()) return 0.0;
    if (t <= points_.front().first) return points_.front().second;
    for (size_t i = 1; i < points_.size(); ++i) {
      const auto& [t1, v1] = points_[i];
      if (t <= t1) {
        const auto& [t0, v0] = points_[i - 1];
        return t1 > t0 ? v0 + (v1 - v0) * (t - t0) / (t1 - t0) : v1;
      }
    }
    return points_.back().second;
  }
  double End() const { return points_.empty() ? 0.0 : points_.back().first; }
  // The middle of the track's last rise to its final value: halfway between the point the
  // rise starts from and the point that reaches that value (0 for a track that never rises).
  double FinalRiseMiddle() const {
    if (points_.empty()) return 0.0;
    size_t top = points_.size() - 1;
    while (top > 0 && points_[top - 1].second == points_.back().second) --top;
    size_t foot = top;
    while (foot > 0 && points_[foot - 1].second < points_[foot].second) --foot;
    return 0.5 * (points_[foot].first + points_[top].first);
  }

 private:
  std::vector<std::pair<double, double>> points_;
};

}  // namespace chantera::demo
