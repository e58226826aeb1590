// The singer of the demo voice: a small formant synthesiser that sings one Japanese
// syllable at one pitch.
//
// Source: KLGLOTT88-style glottal flow-derivative pulses (band-limited at the closure with
// a polyBLEP), with vibrato, jitter, shimmer and a little breath noise. Tract: a cascade of
// five formant resonators behind a nasal pole/zero pair; aspiration goes through the same
// cascade, while bursts and frication come from noise through resonators of their own in
// parallel. Everything runs at twice the output rate and is decimated by a windowed-sinc
// low-pass at the end. Its building blocks are in filters.h, the plans of its onsets in
// onset.h.
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

#include "library/pitch.h"
#include "library/wave_writer.h"
#include "tools/demo_voice/filters.h"
#include "tools/demo_voice/onset.h"

namespace chantera::demo {

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

// The noise branches of the onset, sample by sample, each with the envelope it was made
// with (for its level against the vowel).
struct OnsetNoise {
  explicit OnsetNoise(size_t samples)
      : aspiration(samples), burst(samples), frication(samples), aspEnv(samples), burstEnv(samples), fricEnv(samples) {}
  std::vector<double> aspiration, burst, frication;
  std::vector<double> aspEnv, burstEnv, fricEnv;
};

// The voice of one syllable at one pitch, sample by sample at kInternalRate: the glottal
// source through the nasal pair and the formant cascade, the lips' presence, and the noise
// of the onset. Its random values are drawn in one fixed order: the vibrato rate, then per
// sample the jitter and shimmer of a new period, the breath, and in the onset the
// aspiration, burst and frication noise.
class SyllableSinger {
 public:
  SyllableSinger(const Onset& plan, char vowel, int rootNote, uint64_t seed)
      : plan_(plan), rootHz_(NoteToHz(rootNote)), random_(seed) {
    // Formant targets: slightly smaller tract for higher notes, and F1 kept above the
    // fundamental as trained singers do on high notes.
    vowelF_ = VowelFormants(plan.humOnly ? 0 : vowel);
    const double scale = 1.0 + 0.08 * std::clamp((rootNote - 48) / 32.0, 0.0, 1.0);
    for (size_t k = 1; k < 5; ++k) vowelF_.hz[k] *= scale;
    // The low resonances of the closed or nasal tract follow the same rule, or a high hum
    // would lose its fundamental.
    lowF1_ = std::max(250.0, 1.05 * rootHz_);
    nasalPoleHz_ = std::max(270.0, 1.05 * rootHz_);
    vowelF_.hz[0] = std::max(vowelF_.hz[0], 1.05 * rootHz_);
    vibratoRate_ = 5.3 + 0.4 * random_.Uniform();
  }

  double RootHz() const { return rootHz_; }
  double VibratoRate() const { return vibratoRate_; }

  // The filters, levels and pitch of the block of samples that starts at time t; the
  // onset's own filters too while it lasts.
  void StartBlock(double t, bool inOnset) {
    SetTract(t, inOnset);
    SetLevels(t);
    SetPitch(t);
  }

  // The next sample of the voice through the tract, and of the lips' presence.
  void Sing(double& voice, double& presence) {
    const double pulse = NextPulse();
    tilt_ = (1.0 - tiltPole_) * pulse + tiltPole_ * tilt_;
    double v = av_ * tilt_;
    v = nasalZero_.Run(nasalPole_.Run(v));
    for (auto& r : cascade_) v = r.Run(v);
    voice = v;
    // The cascade leaves almost nothing above its fifth formant; the lips radiate more.
    presence = presenceBand_.Run(av_ * pulse);
  }

  // Sample i of the onset's noise branches.
  void Breathe(OnsetNoise& noise, size_t i) {
    double a = asp_ * random_.Noise();
    a = aspNasalZero_.Run(aspNasalPole_.Run(a));
    for (auto& r : aspCascade_) a = r.Run(a);
    noise.aspiration[i] = a;
    noise.aspEnv[i] = asp_;
    noise.burst[i] = burstBand_.Run(bst_ * random_.Noise());
    noise.burstEnv[i] = bst_;
    noise.frication[i] = fricBand2_.Run(fricBand1_.Run(fri_ * random_.Noise()));
    noise.fricEnv[i] = fri_;
  }

 private:
  // Formants: onset values held, then a smooth (raised-cosine) glide to the vowel.
  void SetTract(double t, bool inOnset) {
    double g = 1.0;
    if (plan_.glideUntil > 0.0 && t < plan_.glideUntil) {
      g = t <= plan_.holdUntil ? 0.0 : (t - plan_.holdUntil) / (plan_.glideUntil - plan_.holdUntil);
      g = 0.5 - 0.5 * std::cos(kPi * g);
    }
    const double nasal = plan_.nasal.At(t);
    const double closed = plan_.closure.At(t);
    for (size_t k = 0; k < 5; ++k) {
      double hz = vowelF_.hz[k];
      if (k < 3 && plan_.releaseHz[k] > 0.0) hz = plan_.releaseHz[k] + g * (vowelF_.hz[k] - plan_.releaseHz[k]);
      double bw = vowelF_.bandwidth[k];
      if (k == 0) hz += (lowF1_ - hz) * std::max(nasal, closed), bw += 60.0 * nasal;
      if (k > 0) bw *= 1.0 + 4.0 * closed;
      cascade_[k].Set(hz, bw);
      if (inOnset) aspCascade_[k].Set(hz, bw * 1.3);
    }
    // The nasal pair cancels when the velum is closed.
    const double zero = nasalPoleHz_ + nasal * std::max(plan_.nasalZeroHz - nasalPoleHz_, 0.0);
    nasalPole_.Set(nasalPoleHz_, 100.0);
    nasalZero_.Set(zero, 100.0 + 100.0 * nasal);
    if (inOnset) aspNasalPole_.Set(nasalPoleHz_, 100.0), aspNasalZero_.Set(zero, 100.0 + 100.0 * nasal);
    burstBand_.Set(plan_.burstHz, plan_.burstBandwidth);
    fricBand1_.Set(plan_.fricationHz, plan_.fricationBandwidth);
    fricBand2_.Set(plan_.fricationHz, plan_.fricationBandwidth);
    presenceBand_.Set(5500.0, 5000.0);
  }

  // Amplitude: the onset's voicing, a slow decline and a fade over the last 0.4 s. The
  // level is constant over the steady vowel, where the sustain loop lies.
  void SetLevels(double t) {
    const double fade = t < kFadeFrom ? 1.0 : std::pow(std::cos(0.5 * kPi * (t - kFadeFrom) / 0.4), 2.0);
    const double decline = 1.0 - 0.15 * std::clamp((t - 0.2) / 1.0, 0.0, kSteadyFrom - 0.2);
    av_ = plan_.voicing.At(t) * fade * decline;
    asp_ = plan_.aspiration.At(t);
    bst_ = plan_.burst.At(t);
    fri_ = plan_.frication.At(t);
  }

  // Pitch: a small scoop up to the note at the voice onset, then vibrato after 0.35 s.
  void SetPitch(double t) {
    const double sinceOnset = t - plan_.voiceOnset;
    double cents = -35.0 * std::exp(-std::max(sinceOnset, 0.0) / 0.025);
    const double vibratoDepth = 30.0 * std::clamp((t - 0.35) / 0.35, 0.0, 1.0);
    cents += vibratoDepth * std::sin(2.0 * kPi * vibratoRate_ * std::max(t - 0.35, 0.0));
    pitchStep_ = rootHz_ * std::pow(2.0, cents / 1200.0) * kDt;
  }

  // The glottal source's next sample with its breath noise, before the spectral tilt.
  // KLGLOTT88 flow derivative 2x - 3x^2 over the open phase: it ends at -1 and jumps to 0
  // at the closure. A two-sample polyBLEP band-limits that jump, which costs the source one
  // sample of delay: `pending_` is the previous sample, still open to correction.
  double NextPulse() {
    const double step = pitchStep_ * periodScale_;
    phase_ += step;
    double value = 0.0;
    if (phase_ >= 1.0) {  // a new period: fresh jitter and shimmer
      phase_ -= 1.0;
      periodScale_ = 1.0 + 0.004 * (random_.Uniform() + random_.Uniform() - 1.0);
      shimmer_ = 1.0 + 0.05 * (random_.Uniform() - 0.5);
    }
    if (phase_ < kOpenQuotient) {
      const double x = phase_ / kOpenQuotient;
      value = shimmer_ * (2.0 * x - 3.0 * x * x);
    } else if (phase_ - step < kOpenQuotient) {
      const double d = (phase_ - kOpenQuotient) / step;  // samples since the closure, 0..1
      pending_ += shimmer_ * 0.5 * d * d;
      value = -shimmer_ * 0.5 * (1.0 - d) * (1.0 - d);
    }
    const double breath = (phase_ < kOpenQuotient ? 0.04 : 0.01) * random_.Noise();
    const double pulse = pending_ + breath;
    pending_ = value;
    return pulse;
  }

  static constexpr double kDt = 1.0 / kInternalRate;
  static constexpr double kOpenQuotient = 0.6;

  const Onset& plan_;
  const double rootHz_;
  Random random_;
  Formants vowelF_{};
  double lowF1_ = 0.0, nasalPoleHz_ = 0.0, vibratoRate_ = 0.0;
  const double tiltPole_ = std::exp(-2.0 * kPi * 5000.0 * kDt);

  std::array<Resonator, 5> cascade_, aspCascade_;
  Resonator nasalPole_, aspNasalPole_;
  BandPass burstBand_, fricBand1_, fricBand2_, presenceBand_;
  AntiResonator nasalZero_, aspNasalZero_;

  // Glottal source state, and the levels and pitch of the current block.
  double phase_ = 0.0, periodScale_ = 1.0, shimmer_ = 1.0, tilt_ = 0.0, pending_ = 0.0;
  double av_ = 0.0, asp_ = 0.0, bst_ = 0.0, fri_ = 0.0, pitchStep_ = 0.0;
};

// Adds the noise branches and the presence to the voice, each at its level relative to
// the sung vowel.
inline void MixBranches(double* voice, const std::vector<double>& presence, const OnsetNoise& noise,
                        const Onset& plan) {
  const size_t n = presence.size(), onsetSamples = noise.aspiration.size();
  double vowelPower = 0.0;
  const size_t from = size_t(0.35 * kInternalRate), to = size_t(0.75 * kInternalRate);
  for (size_t i = from; i < to; ++i) vowelPower += voice[i] * voice[i];
  const double vowelRms = std::sqrt(vowelPower / double(to - from));
  const double gAsp = BranchGain(noise.aspiration, noise.aspEnv, plan.aspirationLevel, vowelRms);
  const double gBurst = BranchGain(noise.burst, noise.burstEnv, plan.burstLevel, vowelRms);
  const double gFric = BranchGain(noise.frication, noise.fricEnv, plan.fricationLevel, vowelRms);
  double presencePower = 0.0;
  for (size_t i = from; i < to; ++i) presencePower += presence[i] * presence[i];
  const double gPresence = presencePower > 0.0 ? 0.012 * vowelRms / std::sqrt(presencePower / double(to - from)) : 0.0;
  for (size_t i = 0; i < n; ++i) voice[i] += gPresence * presence[i];
  for (size_t i = 0; i < onsetSamples; ++i)
    voice[i] += gAsp * noise.aspiration[i] + gBurst * noise.burst[i] + gFric * noise.frication[i];
}

// Decimates the padded voice (h.size() / 2 samples of silence on each side) to the output
// rate through the filter h, peak-normalised to about -3 dBFS.
inline std::vector<int16_t> DecimateTo16Bit(const std::vector<double>& padded, size_t outFrames,
                                            const std::vector<double>& h) {
  // Kept from one recording to the next, as the synthesis's own buffers are.
  thread_local std::vector<double> out;
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
  return pcm;
}

// Sings the syllable of consonant `consonant` ("" for none) and vowel `vowel` ('a', 'i',
// 'M', 'e', 'o'; ignored for the moraic nasal "N") at MIDI note rootNote, for
// kRecordingSeconds at kOutputRate. The result is peak-normalised to about -3 dBFS.
inline Recording SingSyllable(const std::string& consonant, char vowel, int rootNote, uint64_t seed) {
  const Onset plan = PlanOnset(consonant, vowel);
  const double aspirationEnd = std::max({plan.aspiration.End(), plan.burst.End(), plan.frication.End()}) + 0.05;
  const size_t n = size_t(kRecordingSeconds * kInternalRate);
  const double dt = 1.0 / kInternalRate;
  SyllableSinger singer(plan, vowel, rootNote, seed);

  // The noise branches sound only during the onset; the voice is padded on both sides
  // for the decimation filter.
  const std::vector<double> h = DecimationFilter();
  const size_t half = h.size() / 2;
  // The long buffers are kept from one recording to the next: touching fresh pages for
  // every recording would cost more than the synthesis itself.
  thread_local std::vector<double> padded, presence;
  padded.assign(n + 2 * half, 0.0);
  presence.assign(n, 0.0);
  double* voice = padded.data() + half;
  OnsetNoise noise(std::min(n, size_t(aspirationEnd * kInternalRate) + 1));

  constexpr size_t kBlock = 16;  // samples between updates of the filter coefficients
  for (size_t i = 0; i < n; ++i) {
    const bool inOnset = i < noise.aspiration.size();
    if (i % kBlock == 0) singer.StartBlock(double(i) * dt, inOnset);
    singer.Sing(voice[i], presence[i]);
    if (inOnset) singer.Breathe(noise, i);
  }
  MixBranches(voice, presence, noise, plan);
  std::vector<int16_t> pcm = DecimateTo16Bit(padded, n / kOversample, h);
  const WaveLoop loop = FindSustainLoop(pcm, singer.VibratoRate(), singer.RootHz());
  return {std::move(pcm), loop};
}

}  // namespace chantera::demo
