// The singer of the demo voice: a small formant synthesiser that sings one Japanese
// syllable at one pitch.
//
// Source: KLGLOTT88-style glottal flow-derivative pulses (band-limited at the closure with
// a polyBLEP), with vibrato, jitter, shimmer and a little breath noise. Tract: a cascade of
// five formant resonators behind a nasal pole/zero pair; aspiration goes through the same
// cascade, while bursts and frication come from noise through resonators of their own in
// parallel. Everything runs at twice the output rate and is decimated by a windowed-sinc
// low-pass at the end.
//
// Determinism: every random value comes from a xorshift generator seeded by the syllable's
// program and the root note, and nothing reads the clock, so a recording is the same bytes
// on every run of the same binary.
//
// Thread: offline only (the generator and the tests); allocates freely.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "library/wave_writer.h"

namespace chantera::demo {

inline constexpr int kOutputRate = 22050;
inline constexpr int kOversample = 2;
inline constexpr double kInternalRate = double(kOutputRate) * kOversample;
inline constexpr double kRecordingSeconds = 1.6;
inline constexpr double kPi = 3.14159265358979323846;

// Root frequency of a MIDI note, as the instrument computes it from samples.txt.
inline double RootHz(int note) {
  return 440.0 * std::pow(2.0, (note - 69.0) / 12.0);
}

// ---- Building blocks ----------------------------------------------------------------------

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

// ---- Vowels ---------------------------------------------------------------------------------

struct Formants {
  std::array<double, 5> hz;
  std::array<double, 5> bandwidth;
};

// Japanese vowels of a light adult voice; 'M' is the unrounded u.
inline Formants VowelFormants(char vowel) {
  switch (vowel) {
    case 'a':
      return {{800, 1200, 2800, 3600, 4500}, {90, 100, 140, 200, 260}};
    case 'i':
      return {{300, 2300, 3000, 3700, 4600}, {60, 110, 160, 200, 260}};
    case 'M':
      return {{350, 1400, 2500, 3500, 4500}, {70, 110, 140, 200, 260}};
    case 'e':
      return {{500, 1900, 2700, 3600, 4500}, {70, 100, 150, 200, 260}};
    case 'o':
      return {{500, 850, 2600, 3500, 4500}, {80, 90, 140, 200, 260}};
    default:
      return {{250, 1200, 2400, 3400, 4500}, {90, 200, 250, 300, 350}};  // nasal hum
  }
}

// ---- The onset of a syllable ----------------------------------------------------------------

// How a syllable starts: amplitude tracks for each sound source, where the formants stand
// at the release and how they move to the vowel. Levels of the noise sources are given
// relative to the RMS of the sung vowel, so that they come out alike for every vowel and
// pitch.
struct Onset {
  Track voicing{{0.0, 0.0}, {0.07, 1.0}};    // glottal source amplitude
  Track aspiration;                          // noise into the cascade
  Track burst;                               // release burst, parallel
  Track frication;                           // frication noise, parallel
  Track nasal;                               // 1: nasal zero at nasalZeroHz, F1 lowered
  Track closure;                             // 1: upper formants damped (voice bar, murmur)
  std::array<double, 3> releaseHz{0, 0, 0};  // F1..F3 at the release (0: the vowel's)
  double holdUntil = 0.0;                    // onset formants held until here,
  double glideUntil = 0.0;                   // then moved to the vowel's by here
  double voiceOnset = 0.0;                   // the pitch settles from here
  double burstHz = 1500, burstBandwidth = 2000;
  double fricationHz = 5000, fricationBandwidth = 2500;
  double nasalZeroHz = 1400;
  double aspirationLevel = 0.0, burstLevel = 0.0, fricationLevel = 0.0;
  bool humOnly = false;  // the moraic nasal: a hum, no vowel
};

// Where the tract closes for a consonant (F1..F3 at the constriction).
inline std::array<double, 3> Locus(const std::string& c, char vowel, bool palatal) {
  if (palatal) return {260, 2250, 3000};
  if (c == "p" || c == "b" || c == "m" || c == "p\\") return {250, 900, 2200};
  if (c == "k" || c == "g") {
    return VowelFormants(vowel).hz[1] < 1500 ? std::array<double, 3>{250, 1400, 1900}
                                             : std::array<double, 3>{250, 2300, 2800};
  }
  if (c == "w") return {300, 750, 2300};
  return {250, 1700, 2600};  // alveolar: t d n s dz ts 4
}

inline bool IsPalatal(const std::string& c) {
  return (!c.empty() && c.back() == '\'') || c == "J" || c == "C" || c == "S" || c == "tS" || c == "dZ" || c == "j";
}

// The onset plan of a consonant before vowel; an apostrophe marks palatalisation ("k'").
inline Onset PlanOnset(const std::string& consonantSymbol, char vowel) {
  Onset o;
  const bool palatal = IsPalatal(consonantSymbol);
  std::string c = consonantSymbol;
  if (!c.empty() && c.back() == '\'') c.pop_back();
  // A palatalised consonant glides through an i before another vowel.
  const bool glide = palatal && vowel != 'i';
  const auto locus = Locus(c, vowel, palatal);
  const auto target = VowelFormants(vowel).hz;
  const double pull = palatal ? 1.0 : 0.75;  // how far the release stands towards the locus
  o.releaseHz = {locus[0], target[1] + pull * (locus[1] - target[1]), target[2] + pull * (locus[2] - target[2])};
  const double hold = glide ? 0.035 : 0.0;
  const double glideTime = glide ? 0.11 : 0.06;
  auto voiceFrom = [&](double tv, double rise, double from = 0.0) {
    o.voiceOnset = tv;
    o.voicing = Track{{0.0, from}, {tv, from}, {tv + rise, 1.0}};
    o.holdUntil = tv + hold;
    o.glideUntil = o.holdUntil + glideTime;
  };

  if (c.empty()) {  // a bare vowel: a soft, slightly breathy start
    o.voicing = Track{{0.0, 0.0}, {0.07, 1.0}};
    o.aspiration = Track{{0.0, 0.0}, {0.01, 1.0}, {0.06, 0.0}};
    o.aspirationLevel = 0.05;
    o.releaseHz = {0, 0, 0};
    return o;
  }
  if (c == "N") {  // the moraic nasal sung on its own: a hum through the nose
    o.humOnly = true;
    o.voicing = Track{{0.0, 0.0}, {0.06, 1.0}};
    o.nasal = Track{{0.0, 1.0}};
    o.closure = Track{{0.0, 0.15}};
    o.nasalZeroHz = 2000;
    o.releaseHz = {0, 0, 0};
    return o;
  }
  if (c == "k" || c == "t" || c == "p") {  // voiceless stops: closure, burst, aspiration
    const double asp = (c == "k" ? 0.040 : c == "t" ? 0.026 : 0.022) + (palatal ? 0.010 : 0.0);
    o.burst = Track{{0.010, 0.0}, {0.013, 1.0}, {0.018, 0.35}, {0.022, 0.0}};
    o.aspiration = Track{{0.016, 0.0}, {0.020, 1.0}, {0.018 + asp, 0.7}, {0.028 + asp, 0.0}};
    o.burstLevel = 0.7;
    o.aspirationLevel = 0.22;
    if (c == "p") o.burstHz = 1000, o.burstBandwidth = 2500;
    if (c == "t") o.burstHz = 4000, o.burstBandwidth = 2500;
    if (c == "k") o.burstHz = palatal ? 3000 : o.releaseHz[1], o.burstBandwidth = palatal ? 1000 : 700;
    voiceFrom(0.018 + asp, 0.025);
    return o;
  }
  if (c == "g" || c == "d" || c == "b") {  // voiced stops: a voice bar, then a weak burst
    o.voicing = Track{{0.0, 0.0}, {0.01, 0.12}, {0.045, 0.12}, {0.05, 0.5}, {0.07, 1.0}};
    o.closure = Track{{0.0, 1.0}, {0.045, 1.0}, {0.05, 0.0}};
    o.burst = Track{{0.043, 0.0}, {0.046, 1.0}, {0.050, 0.3}, {0.054, 0.0}};
    o.burstLevel = 0.35;
    if (c == "b") o.burstHz = 1000, o.burstBandwidth = 2500;
    if (c == "d") o.burstHz = 3800, o.burstBandwidth = 2500;
    if (c == "g") o.burstHz = palatal ? 2800 : o.releaseHz[1], o.burstBandwidth = 900;
    o.voiceOnset = 0.05;
    o.holdUntil = 0.05 + hold;
    o.glideUntil = o.holdUntil + glideTime;
    return o;
  }
  const bool sibilant = c == "s" || c == "ts" || c == "dz";
  const bool postalveolar = c == "S" || c == "tS" || c == "dZ";
  if (sibilant || postalveolar) {
    o.fricationHz = sibilant ? 6000 : 3200;
    o.fricationBandwidth = sibilant ? 2500 : 1800;
  }
  if (c == "s" || c == "S") {
    const double end = c == "s" ? 0.110 : 0.120;
    o.frication = Track{{0.0, 0.0}, {0.03, 1.0}, {end, 0.9}, {end + 0.025, 0.0}};
    o.fricationLevel = c == "s" ? 0.35 : 0.4;
    voiceFrom(end + 0.005, 0.025);
    return o;
  }
  if (c == "ts" || c == "tS") {
    o.burst = Track{{0.008, 0.0}, {0.011, 1.0}, {0.016, 0.0}};
    o.burstHz = c == "ts" ? 4500 : 3500, o.burstBandwidth = 3000, o.burstLevel = 0.5;
    o.frication = Track{{0.013, 0.0}, {0.025, 1.0}, {0.075, 0.8}, {0.09, 0.0}};
    o.fricationLevel = 0.35;
    voiceFrom(0.08, 0.025);
    return o;
  }
  if (c == "dz" || c == "dZ") {  // voiced affricates: voice bar, weak release, voiced frication
    o.voicing = Track{{0.0, 0.0}, {0.01, 0.12}, {0.03, 0.12}, {0.035, 0.3}, {0.075, 0.3}, {0.095, 1.0}};
    o.closure = Track{{0.0, 1.0}, {0.03, 1.0}, {0.035, 0.0}};
    o.burst = Track{{0.028, 0.0}, {0.031, 1.0}, {0.036, 0.0}};
    o.burstHz = o.fricationHz, o.burstBandwidth = 3000, o.burstLevel = 0.25;
    o.frication = Track{{0.03, 0.0}, {0.04, 1.0}, {0.07, 0.8}, {0.085, 0.0}};
    o.fricationLevel = 0.22;
    o.voiceOnset = 0.075;
    o.holdUntil = 0.075 + hold;
    o.glideUntil = o.holdUntil + glideTime;
    return o;
  }
  if (c == "h" || c == "C" || c == "p\\") {  // breathy fricatives shaped by the vowel's tract
    const double end = c == "h" ? 0.08 : c == "C" ? 0.09 : 0.075;
    o.aspiration = Track{{0.0, 0.0}, {0.02, 1.0}, {end, 0.9}, {end + 0.025, 0.0}};
    o.aspirationLevel = c == "h" ? 0.25 : 0.15;
    if (c != "h") {
      o.frication = Track{{0.0, 0.0}, {0.02, 1.0}, {end, 0.9}, {end + 0.025, 0.0}};
      o.fricationHz = c == "C" ? 3800 : 1400;
      o.fricationBandwidth = c == "C" ? 1500 : 3000;
      o.fricationLevel = c == "C" ? 0.25 : 0.12;
    }
    if (c == "h") o.releaseHz = {0, 0, 0};
    voiceFrom(end + 0.005, 0.025);
    return o;
  }
  if (c == "m" || c == "n" || c == "J") {  // nasals: a murmur, then the mouth opens
    o.voicing = Track{{0.0, 0.0}, {0.015, 0.45}, {0.07, 0.45}, {0.09, 1.0}};
    o.nasal = Track{{0.0, 1.0}, {0.07, 1.0}, {0.08, 0.0}};
    o.closure = Track{{0.0, 0.6}, {0.07, 0.6}, {0.08, 0.0}};
    o.nasalZeroHz = c == "m" ? (palatal ? 1400 : 1000) : c == "n" ? 1600 : 2100;
    o.voiceOnset = 0.0;
    o.holdUntil = 0.07 + hold;
    o.glideUntil = o.holdUntil + glideTime;
    return o;
  }
  if (c == "4") {  // the flap: a brief tap of the tongue inside voicing
    o.releaseHz = palatal ? o.releaseHz : std::array<double, 3>{300, 1650, 2400};
    o.voicing = Track{{0.0, 0.0}, {0.015, 0.5}, {0.025, 0.5}, {0.035, 0.2}, {0.06, 1.0}};
    o.closure = Track{{0.02, 0.0}, {0.03, 0.4}, {0.04, 0.0}};
    o.holdUntil = 0.04 + hold;
    o.glideUntil = o.holdUntil + glideTime;
    return o;
  }
  // Glides j and w: the voice starts in the locus and moves to the vowel.
  o.voicing = Track{{0.0, 0.0}, {0.04, 0.8}, {0.1, 1.0}};
  o.holdUntil = 0.05;
  o.glideUntil = c == "j" ? 0.15 : 0.14;
  return o;
}

// ---- Rendering ------------------------------------------------------------------------------

// Low-pass for the decimation to the output rate: a Blackman-windowed sinc.
inline std::vector<double> DecimationFilter() {
  constexpr int kTaps = 47;
  const double cutoff = 10000.0 / kInternalRate;
  std::vector<double> h(kTaps);
  double sum = 0.0;
  for (int k = 0; k < kTaps; ++k) {
    const double m = k - (kTaps - 1) / 2.0;
    const double sinc = m == 0.0 ? 2.0 * cutoff : std::sin(2.0 * kPi * cutoff * m) / (kPi * m);
    const double w = 0.42 - 0.5 * std::cos(2.0 * kPi * k / (kTaps - 1)) + 0.08 * std::cos(4.0 * kPi * k / (kTaps - 1));
    h[size_t(k)] = sinc * w;
    sum += h[size_t(k)];
  }
  for (double& v : h) v /= sum;
  return h;
}

// Scale so that a branch sounds at `level` × the vowel's RMS, given its envelope.
inline double BranchGain(const std::vector<double>& branch, const std::vector<double>& envelope, double level,
                         double vowelRms) {
  double power = 0.0, weight = 0.0;
  for (size_t i = 0; i < branch.size(); ++i) power += branch[i] * branch[i], weight += envelope[i] * envelope[i];
  if (power <= 0.0 || weight <= 0.0) return 0.0;
  return level * vowelRms / std::sqrt(power / weight);
}

// Sings the syllable of consonant `consonant` ("" for none) and vowel `vowel` ('a', 'i',
// 'M', 'e', 'o'; ignored for the moraic nasal "N") at MIDI note rootNote, for
// kRecordingSeconds at kOutputRate. The result is peak-normalised to about -3 dBFS.
// A recording and its sustain loop: whole vibrato cycles of the steady vowel, cut where
// the waveform after the loop's end matches the one at its start.
struct Recording {
  std::vector<int16_t> pcm;
  WaveLoop loop;
};

// Where the steady vowel starts (full vibrato, constant level) and where the fade begins.
inline constexpr double kSteadyFrom = 0.75;
inline constexpr double kFadeFrom = 1.2;

inline WaveLoop FindSustainLoop(const std::vector<int16_t>& pcm, double vibratoHz, double f0) {
  const auto frames = static_cast<int64_t>(pcm.size());
  const auto period = static_cast<int64_t>(std::lround(kOutputRate / f0));
  // The start: the first rising zero crossing after the steady part begins.
  int64_t start = std::lround(kSteadyFrom * kOutputRate);
  for (int64_t i = start; i < start + 2 * period && i + 1 < frames; ++i)
    if (pcm[size_t(i)] < 0 && pcm[size_t(i + 1)] >= 0) {
      start = i + 1;
      break;
    }
  // The end (the frame that would follow the loop): two vibrato cycles later, moved by up
  // to a period to where the waveform best continues into the loop's start.
  const int64_t wanted = start + std::lround(2.0 * kOutputRate / vibratoHz);
  const int64_t latest = std::min<int64_t>(std::lround(kFadeFrom * kOutputRate), frames - 16);
  int64_t end = std::min(wanted, latest);
  double best = 1e300;
  for (int64_t e = wanted - period; e <= wanted + period && e <= latest; ++e) {
    double mismatch = 0.0;
    for (int64_t k = -8; k < 8; ++k) {
      const double d = double(pcm[size_t(e + k)]) - double(pcm[size_t(start + k)]);
      mismatch += d * d;
    }
    if (mismatch < best) best = mismatch, end = e;
  }
  return {uint32_t(start), uint32_t(end - 1)};
}

inline Recording SingSyllable(const std::string& consonant, char vowel, int rootNote, uint64_t seed) {
  const Onset plan = PlanOnset(consonant, vowel);
  const double aspirationEnd = std::max({plan.aspiration.End(), plan.burst.End(), plan.frication.End()}) + 0.05;
  const size_t n = size_t(kRecordingSeconds * kInternalRate);
  const double dt = 1.0 / kInternalRate;
  const double f0 = RootHz(rootNote);
  Random random(seed);

  // Formant targets: slightly smaller tract for higher notes, and F1 kept above the
  // fundamental as trained singers do on high notes.
  Formants vowelF = VowelFormants(plan.humOnly ? 0 : vowel);
  const double scale = 1.0 + 0.08 * std::clamp((rootNote - 48) / 32.0, 0.0, 1.0);
  for (size_t k = 1; k < 5; ++k) vowelF.hz[k] *= scale;
  // The low resonances of the closed or nasal tract follow the same rule, or a high hum
  // would lose its fundamental.
  const double lowF1 = std::max(250.0, 1.05 * f0);
  const double nasalPoleHz = std::max(270.0, 1.05 * f0);
  vowelF.hz[0] = std::max(vowelF.hz[0], 1.05 * f0);

  // The noise branches sound only during the onset; the voice is padded on both sides
  // for the decimation filter.
  const std::vector<double> h = DecimationFilter();
  const size_t half = h.size() / 2;
  // The long buffers are kept from one recording to the next: touching fresh pages for
  // every recording would cost more than the synthesis itself.
  thread_local std::vector<double> padded, presence, out;
  padded.assign(n + 2 * half, 0.0);
  presence.assign(n, 0.0);
  double* voice = padded.data() + half;
  const size_t onsetSamples = std::min(n, size_t(aspirationEnd * kInternalRate) + 1);
  std::vector<double> aspiration(onsetSamples), burst(onsetSamples), frication(onsetSamples);
  std::vector<double> aspEnv(onsetSamples), burstEnv(onsetSamples), fricEnv(onsetSamples);

  std::array<Resonator, 5> cascade, aspCascade;
  Resonator nasalPole, aspNasalPole;
  BandPass burstBand, fricBand1, fricBand2, presenceBand;
  AntiResonator nasalZero, aspNasalZero;

  // Glottal source state.
  double phase = 0.0, periodScale = 1.0, shimmer = 1.0, tilt = 0.0, pending = 0.0;
  const double openQuotient = 0.6;
  const double tiltPole = std::exp(-2.0 * kPi * 5000.0 * dt);
  const double vibratoRate = 5.3 + 0.4 * random.Uniform();

  constexpr size_t kBlock = 16;  // samples between updates of the filter coefficients
  double av = 0.0, asp = 0.0, bst = 0.0, fri = 0.0, pitchStep = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double t = double(i) * dt;
    if (i % kBlock == 0) {
      // Formants: onset values held, then a smooth (raised-cosine) glide to the vowel.
      double g = 1.0;
      if (plan.glideUntil > 0.0 && t < plan.glideUntil) {
        g = t <= plan.holdUntil ? 0.0 : (t - plan.holdUntil) / (plan.glideUntil - plan.holdUntil);
        g = 0.5 - 0.5 * std::cos(kPi * g);
      }
      const double nasal = plan.nasal.At(t);
      const double closed = plan.closure.At(t);
      for (size_t k = 0; k < 5; ++k) {
        double hz = vowelF.hz[k];
        if (k < 3 && plan.releaseHz[k] > 0.0) hz = plan.releaseHz[k] + g * (vowelF.hz[k] - plan.releaseHz[k]);
        double bw = vowelF.bandwidth[k];
        if (k == 0) hz += (lowF1 - hz) * std::max(nasal, closed), bw += 60.0 * nasal;
        if (k > 0) bw *= 1.0 + 4.0 * closed;
        cascade[k].Set(hz, bw);
        if (i < onsetSamples) aspCascade[k].Set(hz, bw * 1.3);
      }
      // The nasal pair cancels when the velum is closed.
      const double zero = nasalPoleHz + nasal * std::max(plan.nasalZeroHz - nasalPoleHz, 0.0);
      nasalPole.Set(nasalPoleHz, 100.0);
      nasalZero.Set(zero, 100.0 + 100.0 * nasal);
      if (i < onsetSamples) aspNasalPole.Set(nasalPoleHz, 100.0), aspNasalZero.Set(zero, 100.0 + 100.0 * nasal);
      burstBand.Set(plan.burstHz, plan.burstBandwidth);
      fricBand1.Set(plan.fricationHz, plan.fricationBandwidth);
      fricBand2.Set(plan.fricationHz, plan.fricationBandwidth);
      presenceBand.Set(5500.0, 5000.0);

      // Amplitude: the onset's voicing, a slow decline and a fade over the last 0.4 s.
      // The level is constant over the steady vowel, where the sustain loop lies.
      const double fade = t < kFadeFrom ? 1.0 : std::pow(std::cos(0.5 * kPi * (t - kFadeFrom) / 0.4), 2.0);
      const double decline = 1.0 - 0.15 * std::clamp((t - 0.2) / 1.0, 0.0, kSteadyFrom - 0.2);
      av = plan.voicing.At(t) * fade * decline;
      asp = plan.aspiration.At(t);
      bst = plan.burst.At(t);
      fri = plan.frication.At(t);

      // Pitch: a small scoop up to the note at the voice onset, then vibrato after 0.35 s.
      const double sinceOnset = t - plan.voiceOnset;
      double cents = -35.0 * std::exp(-std::max(sinceOnset, 0.0) / 0.025);
      const double vibratoDepth = 30.0 * std::clamp((t - 0.35) / 0.35, 0.0, 1.0);
      cents += vibratoDepth * std::sin(2.0 * kPi * vibratoRate * std::max(t - 0.35, 0.0));
      pitchStep = f0 * std::pow(2.0, cents / 1200.0) * dt;
    }

    const double step = pitchStep * periodScale;

    // KLGLOTT88 flow derivative 2x - 3x^2 over the open phase: it ends at -1 and jumps to
    // 0 at the closure. A two-sample polyBLEP band-limits that jump, which costs the source
    // one sample of delay: `pending` is the previous sample, still open to correction.
    phase += step;
    double value = 0.0;
    if (phase >= 1.0) {  // a new period: fresh jitter and shimmer
      phase -= 1.0;
      periodScale = 1.0 + 0.004 * (random.Uniform() + random.Uniform() - 1.0);
      shimmer = 1.0 + 0.05 * (random.Uniform() - 0.5);
    }
    if (phase < openQuotient) {
      const double x = phase / openQuotient;
      value = shimmer * (2.0 * x - 3.0 * x * x);
    } else if (phase - step < openQuotient) {
      const double d = (phase - openQuotient) / step;  // samples since the closure, 0..1
      pending += shimmer * 0.5 * d * d;
      value = -shimmer * 0.5 * (1.0 - d) * (1.0 - d);
    }
    const double breath = (phase < openQuotient ? 0.04 : 0.01) * random.Noise();
    const double pulse = pending + breath;
    pending = value;
    tilt = (1.0 - tiltPole) * pulse + tiltPole * tilt;

    double v = av * tilt;
    v = nasalZero.Run(nasalPole.Run(v));
    for (auto& r : cascade) v = r.Run(v);
    voice[i] = v;
    // The cascade leaves almost nothing above its fifth formant; the lips radiate more.
    presence[i] = presenceBand.Run(av * pulse);

    if (i < onsetSamples) {
      double a = asp * random.Noise();
      a = aspNasalZero.Run(aspNasalPole.Run(a));
      for (auto& r : aspCascade) a = r.Run(a);
      aspiration[i] = a;
      aspEnv[i] = asp;
      burst[i] = burstBand.Run(bst * random.Noise());
      burstEnv[i] = bst;
      frication[i] = fricBand2.Run(fricBand1.Run(fri * random.Noise()));
      fricEnv[i] = fri;
    }
  }

  // Levels of the noise branches relative to the sung vowel.
  double vowelPower = 0.0;
  const size_t from = size_t(0.35 * kInternalRate), to = size_t(0.75 * kInternalRate);
  for (size_t i = from; i < to; ++i) vowelPower += voice[i] * voice[i];
  const double vowelRms = std::sqrt(vowelPower / double(to - from));
  const double gAsp = BranchGain(aspiration, aspEnv, plan.aspirationLevel, vowelRms);
  const double gBurst = BranchGain(burst, burstEnv, plan.burstLevel, vowelRms);
  const double gFric = BranchGain(frication, fricEnv, plan.fricationLevel, vowelRms);
  double presencePower = 0.0;
  for (size_t i = from; i < to; ++i) presencePower += presence[i] * presence[i];
  const double gPresence = presencePower > 0.0 ? 0.012 * vowelRms / std::sqrt(presencePower / double(to - from)) : 0.0;
  for (size_t i = 0; i < n; ++i) voice[i] += gPresence * presence[i];
  for (size_t i = 0; i < onsetSamples; ++i) voice[i] += gAsp * aspiration[i] + gBurst * burst[i] + gFric * frication[i];

  // Decimate to the output rate and normalise.
  const size_t outFrames = n / kOversample;
  out.assign(outFrames, 0.0);
  double peak = 0.0;
  for (size_t m = 0; m < outFrames; ++m) {
    const double* x = padded.data() + m * kOversample;  // x[half] is the centre
    double acc = 0.0;
    for (size_t k = 0; k < h.size(); ++k) acc += h[k] * x[k];
    out[m] = acc;
    peak = std::max(peak, std::abs(acc));
  }
  const double gain = peak > 0.0 ? 0.7 * 32767.0 / peak : 0.0;
  std::vector<int16_t> pcm(outFrames);
  for (size_t m = 0; m < outFrames; ++m) pcm[m] = int16_t(std::lrint(std::clamp(out[m] * gain, -32767.0, 32767.0)));
  const WaveLoop loop = FindSustainLoop(pcm, vibratoRate, f0);
  return {std::move(pcm), loop};
}

}  // namespace chantera::demo
