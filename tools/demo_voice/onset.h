// How the demo voice's singer (synth.h) starts a syllable: the formants of its vowels, and
// for each kind of consonant the plan of its onset (which sources sound when, and where
// the formants stand at the release).
//
// Thread: offline only (the generator and the tests).
#pragma once

#include <array>
#include <string>

#include "tools/demo_voice/filters.h"

namespace chantera::demo {

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

// The plan of one onset as it is made: the release formants of its consonant before its
// vowel, then one method per kind of consonant for the rest.
class OnsetPlanner {
 public:
  OnsetPlanner(const std::string& consonantSymbol, char vowel)
      : c_(consonantSymbol), palatal_(IsPalatal(consonantSymbol)) {
    if (!c_.empty() && c_.back() == '\'') c_.pop_back();
    // A palatalised consonant glides through an i before another vowel.
    const bool glide = palatal_ && vowel != 'i';
    const auto locus = Locus(c_, vowel, palatal_);
    const auto target = VowelFormants(vowel).hz;
    const double pull = palatal_ ? 1.0 : 0.75;  // how far the release stands towards the locus
    o_.releaseHz = {locus[0], target[1] + pull * (locus[1] - target[1]), target[2] + pull * (locus[2] - target[2])};
    hold_ = glide ? 0.035 : 0.0;
    glideTime_ = glide ? 0.11 : 0.06;
  }

  // The consonant without its palatal mark: "k" of "k'".
  const std::string& Consonant() const { return c_; }
  const Onset& Plan() const { return o_; }

  void BareVowel() {  // a soft, slightly breathy start
    o_.voicing = Track{{0.0, 0.0}, {0.07, 1.0}};
    o_.aspiration = Track{{0.0, 0.0}, {0.01, 1.0}, {0.06, 0.0}};
    o_.aspirationLevel = 0.05;
    o_.releaseHz = {0, 0, 0};
  }

  void Hum() {  // the moraic nasal sung on its own: a hum through the nose
    o_.humOnly = true;
    o_.voicing = Track{{0.0, 0.0}, {0.06, 1.0}};
    o_.nasal = Track{{0.0, 1.0}};
    o_.closure = Track{{0.0, 0.15}};
    o_.nasalZeroHz = 2000;
    o_.releaseHz = {0, 0, 0};
  }

  void VoicelessStop() {  // k t p: closure, burst, aspiration
    const double asp = (c_ == "k" ? 0.040 : c_ == "t" ? 0.026 : 0.022) + (palatal_ ? 0.010 : 0.0);
    o_.burst = Track{{0.010, 0.0}, {0.013, 1.0}, {0.018, 0.35}, {0.022, 0.0}};
    o_.aspiration = Track{{0.016, 0.0}, {0.020, 1.0}, {0.018 + asp, 0.7}, {0.028 + asp, 0.0}};
    o_.burstLevel = 0.7;
    o_.aspirationLevel = 0.22;
    if (c_ == "p") o_.burstHz = 1000, o_.burstBandwidth = 2500;
    if (c_ == "t") o_.burstHz = 4000, o_.burstBandwidth = 2500;
    if (c_ == "k") o_.burstHz = palatal_ ? 3000 : o_.releaseHz[1], o_.burstBandwidth = palatal_ ? 1000 : 700;
    VoiceFrom(0.018 + asp);
  }

  void VoicedStop() {  // g d b: a voice bar, then a weak burst
    o_.voicing = Track{{0.0, 0.0}, {0.01, 0.12}, {0.045, 0.12}, {0.05, 0.5}, {0.07, 1.0}};
    o_.closure = Track{{0.0, 1.0}, {0.045, 1.0}, {0.05, 0.0}};
    o_.burst = Track{{0.043, 0.0}, {0.046, 1.0}, {0.050, 0.3}, {0.054, 0.0}};
    o_.burstLevel = 0.35;
    if (c_ == "b") o_.burstHz = 1000, o_.burstBandwidth = 2500;
    if (c_ == "d") o_.burstHz = 3800, o_.burstBandwidth = 2500;
    if (c_ == "g") o_.burstHz = palatal_ ? 2800 : o_.releaseHz[1], o_.burstBandwidth = 900;
    o_.voiceOnset = 0.05;
    HoldFrom(0.05);
  }

  void Fricative() {  // s S
    SibilantNoise();
    const double end = c_ == "s" ? 0.110 : 0.120;
    o_.frication = Track{{0.0, 0.0}, {0.03, 1.0}, {end, 0.9}, {end + 0.025, 0.0}};
    o_.fricationLevel = c_ == "s" ? 0.35 : 0.4;
    VoiceFrom(end + 0.005);
  }

  void Affricate() {  // ts tS
    SibilantNoise();
    o_.burst = Track{{0.008, 0.0}, {0.011, 1.0}, {0.016, 0.0}};
    o_.burstHz = c_ == "ts" ? 4500 : 3500, o_.burstBandwidth = 3000, o_.burstLevel = 0.5;
    o_.frication = Track{{0.013, 0.0}, {0.025, 1.0}, {0.075, 0.8}, {0.09, 0.0}};
    o_.fricationLevel = 0.35;
    VoiceFrom(0.08);
  }

  void VoicedAffricate() {  // dz dZ: voice bar, weak release, voiced frication
    SibilantNoise();
    o_.voicing = Track{{0.0, 0.0}, {0.01, 0.12}, {0.03, 0.12}, {0.035, 0.3}, {0.075, 0.3}, {0.095, 1.0}};
    o_.closure = Track{{0.0, 1.0}, {0.03, 1.0}, {0.035, 0.0}};
    o_.burst = Track{{0.028, 0.0}, {0.031, 1.0}, {0.036, 0.0}};
    o_.burstHz = o_.fricationHz, o_.burstBandwidth = 3000, o_.burstLevel = 0.25;
    o_.frication = Track{{0.03, 0.0}, {0.04, 1.0}, {0.07, 0.8}, {0.085, 0.0}};
    o_.fricationLevel = 0.22;
    o_.voiceOnset = 0.075;
    HoldFrom(0.075);
  }

  void BreathyFricative() {  // h C p\: shaped by the vowel's tract
    const double end = c_ == "h" ? 0.08 : c_ == "C" ? 0.09 : 0.075;
    o_.aspiration = Track{{0.0, 0.0}, {0.02, 1.0}, {end, 0.9}, {end + 0.025, 0.0}};
    o_.aspirationLevel = c_ == "h" ? 0.25 : 0.15;
    if (c_ != "h") {
      o_.frication = Track{{0.0, 0.0}, {0.02, 1.0}, {end, 0.9}, {end + 0.025, 0.0}};
      o_.fricationHz = c_ == "C" ? 3800 : 1400;
      o_.fricationBandwidth = c_ == "C" ? 1500 : 3000;
      o_.fricationLevel = c_ == "C" ? 0.25 : 0.12;
    }
    if (c_ == "h") o_.releaseHz = {0, 0, 0};
    VoiceFrom(end + 0.005);
  }

  void Nasal() {  // m n J: a murmur, then the mouth opens
    o_.voicing = Track{{0.0, 0.0}, {0.015, 0.45}, {0.07, 0.45}, {0.09, 1.0}};
    o_.nasal = Track{{0.0, 1.0}, {0.07, 1.0}, {0.08, 0.0}};
    o_.closure = Track{{0.0, 0.6}, {0.07, 0.6}, {0.08, 0.0}};
    o_.nasalZeroHz = c_ == "m" ? (palatal_ ? 1400 : 1000) : c_ == "n" ? 1600 : 2100;
    o_.voiceOnset = 0.0;
    HoldFrom(0.07);
  }

  void Flap() {  // 4: a brief tap of the tongue inside voicing
    o_.releaseHz = palatal_ ? o_.releaseHz : std::array<double, 3>{300, 1650, 2400};
    o_.voicing = Track{{0.0, 0.0}, {0.015, 0.5}, {0.025, 0.5}, {0.035, 0.2}, {0.06, 1.0}};
    o_.closure = Track{{0.02, 0.0}, {0.03, 0.4}, {0.04, 0.0}};
    HoldFrom(0.04);
  }

  void Glide() {  // j w: the voice starts in the locus and moves to the vowel
    o_.voicing = Track{{0.0, 0.0}, {0.04, 0.8}, {0.1, 1.0}};
    o_.holdUntil = 0.05;
    o_.glideUntil = c_ == "j" ? 0.15 : 0.14;
  }

 private:
  // The release formants held from `from` for the hold, then moved to the vowel's.
  void HoldFrom(double from) {
    o_.holdUntil = from + hold_;
    o_.glideUntil = o_.holdUntil + glideTime_;
  }
  // Voicing from silence at tv to full strength 25 ms later; the pitch settles from tv.
  void VoiceFrom(double tv) {
    constexpr double kRise = 0.025;
    o_.voiceOnset = tv;
    o_.voicing = Track{{0.0, 0.0}, {tv, 0.0}, {tv + kRise, 1.0}};
    HoldFrom(tv);
  }
  // The frication band of the sibilants (s ts dz) and the postalveolars (S tS dZ).
  void SibilantNoise() {
    const bool sibilant = c_ == "s" || c_ == "ts" || c_ == "dz";
    o_.fricationHz = sibilant ? 6000 : 3200;
    o_.fricationBandwidth = sibilant ? 2500 : 1800;
  }

  Onset o_;
  std::string c_;
  bool palatal_;
  double hold_ = 0.0, glideTime_ = 0.0;
};

// The onset plan of a consonant before vowel; an apostrophe marks palatalisation ("k'").
inline Onset PlanOnset(const std::string& consonantSymbol, char vowel) {
  OnsetPlanner planner(consonantSymbol, vowel);
  const std::string& c = planner.Consonant();
  if (c.empty()) {
    planner.BareVowel();
  } else if (c == "N") {
    planner.Hum();
  } else if (c == "k" || c == "t" || c == "p") {
    planner.VoicelessStop();
  } else if (c == "g" || c == "d" || c == "b") {
    planner.VoicedStop();
  } else if (c == "s" || c == "S") {
    planner.Fricative();
  } else if (c == "ts" || c == "tS") {
    planner.Affricate();
  } else if (c == "dz" || c == "dZ") {
    planner.VoicedAffricate();
  } else if (c == "h" || c == "C" || c == "p\\") {
    planner.BreathyFricative();
  } else if (c == "m" || c == "n" || c == "J") {
    planner.Nasal();
  } else if (c == "4") {
    planner.Flap();
  } else {
    planner.Glide();
  }
  return planner.Plan();
}

}  // namespace chantera::demo
