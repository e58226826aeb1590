// Legato, portamento, vibrato and smooth dynamics, measured on the output of the VST 2
// instrument with a pitch tracker (the zero crossings of its pure vowels).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "engine/beat_timing.h"
#include "engine/expression.h"
#include "engine/midi_protocol.h"
#include "host/sampler_plugin.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

constexpr double kRate = 44100.0;

int64_t At(double seconds) {
  return std::llround(seconds * kRate);
}

// Semitones above key 69 of x at each upward zero crossing from..to (seconds): the
// instantaneous pitch of a pure tone, one value per period.
struct PitchPoint {
  double seconds, semitones;
};
std::vector<PitchPoint> PitchTrack(const std::vector<float>& x, double from, double to) {
  std::vector<PitchPoint> track;
  double last = -1.0;
  for (int64_t i = std::max<int64_t>(At(from), 1); i < std::min<int64_t>(At(to), x.size()); ++i) {
    const float a = x[static_cast<size_t>(i - 1)], b = x[static_cast<size_t>(i)];
    if (!(a < 0.0f && b >= 0.0f)) continue;
    const double crossing = (static_cast<double>(i) - 1.0 + a / (a - b)) / kRate;
    if (last >= 0.0) track.push_back({(crossing + last) / 2.0, 12.0 * std::log2(1.0 / (crossing - last) / 440.0)});
    last = crossing;
  }
  return track;
}

class Expression : public ::testing::Test {
 protected:
  // The consonant-vowel voice: key 69 sings sa, with 90 ms of noise before its vowel.
  void SetUp() override {
    WriteConsonantVowelVoice(dir);
    plugin = std::make_unique<SamplerPlugin>(QuietHost, dir.str().c_str());
    plugin->setSampleRate(static_cast<float>(kRate));
  }
  std::vector<float> Play(const std::vector<std::pair<int64_t, Midi3>>& events, double seconds) {
    return PlayMidi(plugin->getAeffect(), events, At(seconds));
  }
  TempDir dir;
  std::unique_ptr<SamplerPlugin> plugin;
};

// A melisma of three notes, each starting before the one before ends: under legato the
// vowel goes on at each new pitch (no dip of 3 dB, no consonant again: one note sounds);
// without legato each note starts its syllable again, and so it does under legato when
// the note before has ended (its note-off came first). Under Timing "beat" the same,
// behind the latency (150 ms).
TEST_F(Expression, LegatoCarriesTheVowelThroughAMelisma) {
  const struct {
    bool legato, beat, overlap;
  } rows[] = {{true, false, true}, {false, false, true}, {true, true, true}, {true, true, false}};
  for (const auto& [legatoOn, beat, overlap] : rows) {
    const bool legato = legatoOn && overlap;
    plugin = std::make_unique<SamplerPlugin>(QuietHost, dir.str().c_str());
    const double off = overlap ? 0.01 : 0.0;  // after the next note-on, or just before it
    std::vector<std::pair<int64_t, Midi3>> events = {{0, {0xB0, midi::kTiming, uint8_t(beat ? 127 : 0)}},
                                                     {0, {0xB0, midi::kLegato, uint8_t(legatoOn ? 127 : 0)}},
                                                     {At(0.1), {0x90, 67, 100}}};
    for (const auto& [on, key, before] : {std::tuple{0.4, 69, 67}, std::tuple{0.6, 70, 69}}) {
      if (!overlap) events.push_back({At(on), {0x80, uint8_t(before), 0}});
      events.push_back({At(on), {0x90, uint8_t(key), 100}});
      if (overlap) events.push_back({At(on + off), {0x80, uint8_t(before), 0}});
    }
    const std::vector<float> out = Play(events, 0.9);
    const double late = beat ? 0.150 : 0.0;
    double lowest = 1.0, steady = 0.0;
    for (const auto& [on, from, to] : {std::tuple{0.4, 67, 69}, std::tuple{0.6, 69, 70}}) {
      const double join = on + late;
      steady = std::max(steady, ToneLevel(out, 440.0 * std::exp2((from - 69) / 12.0), At(join - 0.05)));
      // Under legato the old pitch until the join itself (under "beat" the new one comes
      // with its note).
      if (legato) {
        for (const PitchPoint& p : PitchTrack(out, join - 0.04, join - 0.005))
          EXPECT_NEAR(p.semitones, from - 69, 0.1) << beat << " at " << p.seconds;
      }
      for (double t = join - 0.01; t < join + 0.1; t += 0.005) {
        const double level = std::max(ToneLevel(out, 440.0 * std::exp2((from - 69) / 12.0), At(t)),
                                      ToneLevel(out, 440.0 * std::exp2((to - 69) / 12.0), At(t)));
        lowest = std::min(lowest, level);
      }
    }
    const double dipDb = 20.0 * std::log10(lowest / steady);
    int sounding = 0;
    for (const NoteSlot& slot : plugin->engine().Slots().slots) sounding += slot.Held() ? 1 : 0;
    EXPECT_EQ(sounding, 1) << legato << beat;  // the last note, held
    if (legato) {
      EXPECT_GT(dipDb, -3.0) << beat;
    } else {
      EXPECT_LT(dipDb, -4.0) << beat;  // the consonant's noise replaces the vowel
    }
  }
}

// Portamento under legato, for two times of controller 5: the pitch passes the middle at
// half the time, within 10 %.
TEST_F(Expression, PortamentoPassesTheMiddleAtHalfItsTime) {
  for (const int time : {36, 64}) {
    plugin = std::make_unique<SamplerPlugin>(QuietHost, dir.str().c_str());
    const double seconds = PortamentoSeconds(time);
    // Legato needs one recording: 66 to 70 (both sa), the middle at 68.
    const std::vector<float> out = Play({{0, {0xB0, midi::kLegato, 127}},
                                         {0, {0xB0, midi::kPortamento, 127}},
                                         {0, {0xB0, midi::kPortamentoTime, uint8_t(time)}},
                                         {At(0.05), {0x90, 66, 100}},
                                         {At(0.3), {0x90, 70, 100}},
                                         {At(0.31), {0x80, 66, 0}}},
                                        0.3 + seconds + 0.1);
    double middle = -1.0;
    for (const PitchPoint& p : PitchTrack(out, 0.3, 0.3 + seconds + 0.05))
      if (middle < 0.0 && p.semitones >= -1.0) middle = p.seconds - 0.3;
    EXPECT_NEAR(middle, seconds / 2.0, seconds * 0.1) << time;
    const std::vector<PitchPoint> after = PitchTrack(out, 0.3 + seconds + 0.02, 0.3 + seconds + 0.09);
    EXPECT_NEAR(after.back().semitones, 1.0, 0.05) << "lands on key 70";
  }
}

// Vibrato: depth from controller 1 or 77 (the larger), rate from 76 (5.5 Hz before any),
// delay from 78; measured after its fade-in.
TEST_F(Expression, VibratoHasTheRateAndDepthItsControllersSet) {
  const struct {
    uint8_t wheel, depth;
    int rate;  // -1: not sent
    uint8_t delay;
    double hz, cents;
  } rows[] = {{127, 0, -1, 0, 5.5, 50.0}, {32, 64, 96, 10, 11.0, 64 / 127.0 * 50.0}};
  for (const auto& r : rows) {
    plugin = std::make_unique<SamplerPlugin>(QuietHost, dir.str().c_str());
    std::vector<std::pair<int64_t, Midi3>> events = {{0, {0xB0, midi::kModulationWheel, r.wheel}},
                                                     {0, {0xB0, midi::kVibratoDepth, r.depth}},
                                                     {0, {0xB0, midi::kVibratoDelay, r.delay}},
                                                     {At(0.01), {0x90, 69, 100}}};
    if (r.rate >= 0) events.push_back({0, {0xB0, midi::kVibratoRate, uint8_t(r.rate)}});
    const std::vector<float> out = Play(events, 0.75);
    const double start = 0.01 + 0.09 + 0.01;  // the vowel, clear of its consonant
    const double delay = VibratoDelaySeconds(r.delay);
    // Still during the delay: a steady pitch.
    for (const PitchPoint& p : PitchTrack(out, start, 0.01 + delay)) ASSERT_NEAR(p.semitones, 0.0, 0.01) << p.seconds;
    const std::vector<PitchPoint> track = PitchTrack(out, 0.01 + delay + 1.0 / r.hz + 0.01, 0.74);
    double low = 1.0, high = -1.0;
    std::vector<double> rises;  // where the pitch rises through the note's own
    for (size_t i = 1; i < track.size(); ++i) {
      low = std::min(low, track[i].semitones);
      high = std::max(high, track[i].semitones);
      const PitchPoint &a = track[i - 1], &b = track[i];
      if (a.semitones < 0.0 && b.semitones >= 0.0)
        rises.push_back(a.seconds + (b.seconds - a.seconds) * a.semitones / (a.semitones - b.semitones));
    }
    EXPECT_NEAR((high - low) / 2.0 * 100.0, r.cents, r.cents * 0.1);
    ASSERT_GE(rises.size(), 2u);
    EXPECT_NEAR((rises.size() - 1) / (rises.back() - rises.front()), r.hz, r.hz * 0.05);
  }
}

// Expression 127 -> 0 under a held note: the level falls over 5 to 20 ms, never by a step
// larger than the vowel's own from one frame to the next.
TEST_F(Expression, ExpressionRampsInsteadOfStepping) {
  const std::vector<float> out = Play({{At(0.01), {0x90, 69, 127}}, {At(0.3), {0xB0, 11, 0}}}, 0.45);
  float ownStep = 0.0f, rampStep = 0.0f;
  for (int64_t i = At(0.2); i < At(0.3); ++i) ownStep = std::max(ownStep, std::fabs(out[i] - out[i - 1]));
  int64_t silentFrom = -1;
  for (int64_t i = At(0.3); i < At(0.4); ++i) {
    rampStep = std::max(rampStep, std::fabs(out[i] - out[i - 1]));
    if (silentFrom < 0 && out[i] == 0.0f && out[i + 1] == 0.0f) silentFrom = i;
  }
  EXPECT_LE(rampStep, ownStep);
  EXPECT_GE(silentFrom - At(0.3), At(0.005));
  EXPECT_LE(silentFrom - At(0.3), At(0.020));
}

}  // namespace
}  // namespace chantera::test
