// Timing "beat": the vowel of each syllable on its note, measured on a voice whose
// recordings are a consonant of noise and a vowel of a steady tone, with an oto.ini that
// says where each vowel starts. Through the VST 2 instrument as a host drives it: the
// controller that sets Timing, the latency it reports, notes in blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "engine/beat_timing.h"
#include "engine/midi_protocol.h"
#include "host/sampler_plugin.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

using namespace vst2;

constexpr double kRate = 44100.0;

constexpr double kLatencySeconds = 0.150;  // the longest preutterance of the consonant-vowel voice

// Where a vowel of hz starts near frame expected: the first frame where its level reaches
// half of its level 15..30 ms after expected (the window is symmetric: half the level is
// half the window inside the tone).
int64_t VowelOnset(const std::vector<float>& x, double hz, int64_t expected) {
  double steady = 0.0;
  for (int64_t f = expected + 661; f <= expected + 1323; f += 44) steady = std::max(steady, ToneLevel(x, hz, f));
  for (int64_t f = expected - 8820; f < expected + 4410; f += 32) {
    if (ToneLevel(x, hz, f) < steady / 2.0) continue;
    for (int64_t g = f - 31; g <= f; ++g)
      if (ToneLevel(x, hz, g) >= steady / 2.0) return g;
  }
  return -1;
}

struct Note {
  double on, off;  // seconds
  uint8_t key;
};

int ioChanges = 0;
VstIntPtr VSTCALLBACK CountingHost(AEffect*, int32_t opcode, int32_t, VstIntPtr, void*, float) {
  if (opcode == audioMasterIOChanged) ++ioChanges;
  return opcode == audioMasterVersion ? 2400 : 0;
}

class BeatTiming : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteConsonantVowelVoice(dir);
    ioChanges = 0;
    plugin = std::make_unique<SamplerPlugin>(CountingHost, dir.str().c_str());
    plugin->setSampleRate(static_cast<float>(kRate));
  }
  AEffect* effect() { return plugin->getAeffect(); }

  // Renders the notes (and any extra messages), Timing set by controller 85 first.
  std::vector<float> Play(bool beat, const std::vector<Note>& notes, double seconds,
                          std::vector<std::pair<int64_t, Midi3>> extra = {}) {
    std::vector<std::pair<int64_t, Midi3>> events = {{0, {0xB0, midi::kTiming, uint8_t(beat ? 127 : 0)}}};
    for (const Note& n : notes) {
      events.push_back({std::llround(n.on * kRate), {0x90, n.key, 100}});
      events.push_back({std::llround(n.off * kRate), {0x80, n.key, 0}});
    }
    events.insert(events.end(), extra.begin(), extra.end());
    return PlayMidi(effect(), events, static_cast<int64_t>(seconds * kRate));
  }

  TempDir dir;
  std::unique_ptr<SamplerPlugin> plugin;
};

// Isolated notes, touching notes, a short note before a long one (the consonant limited to
// half of it) and a rest shorter than the consonant: every vowel on its note, once the
// reported latency is taken off; the note before has faded out when the next vowel starts.
TEST_F(BeatTiming, EveryVowelStartsOnItsNoteAfterTheReportedLatency) {
  const std::vector<Note> phrase = {{0.20, 0.70, 60},   // ka, after a rest
                                    {0.70, 1.10, 67},   // sa, touching
                                    {1.10, 1.20, 74},   // ta, touching, short
                                    {1.20, 1.70, 65},   // sa, after a note of 100 ms
                                    {1.76, 2.30, 76}};  // ta, after a rest of 60 ms
  const std::vector<float> out = Play(true, phrase, 2.6);
  const int64_t latency = std::llround(kLatencySeconds * kRate);
  EXPECT_EQ(effect()->initialDelay, latency);
  EXPECT_EQ(ioChanges, 0);  // never from the audio thread...
  effect()->dispatcher(effect(), effGetProgram, 0, 0, nullptr, 0.0f);
  EXPECT_EQ(ioChanges, 1);  // ...but at the host's next call
  for (size_t i = 0; i < phrase.size(); ++i) {
    const double hz = 440.0 * std::pow(2.0, (phrase[i].key - 69) / 12.0);
    const int64_t expected = std::llround(phrase[i].on * kRate) + latency;
    const int64_t onset = VowelOnset(out, hz, expected);
    EXPECT_NEAR(static_cast<double>(onset - expected) / kRate * 1000.0, 0.0, 10.0) << "note " << i << " (ms)";
    if (i > 0 && i != 4) {
      const double before = 440.0 * std::pow(2.0, (phrase[i - 1].key - 69) / 12.0);
      EXPECT_LT(ToneLevel(out, before, expected + 441), 0.02 * 12000.0 / 32768.0) << "note " << i - 1 << " faded";
    }
  }

  // "live": the same voice and notes, each vowel as late as its consonant.
  const std::vector<float> live = Play(false, phrase, 2.6);
  EXPECT_EQ(effect()->initialDelay, 0);
  const int64_t ka = std::llround(phrase[0].on * kRate);
  const double kaHz = 440.0 * std::pow(2.0, -9.0 / 12.0);  // key 60 plays 40 ms of consonant in 67 ms
  EXPECT_NEAR(static_cast<double>(VowelOnset(live, kaHz, ka + 2965) - ka) / kRate * 1000.0, 67.0, 2.0);
}

// Volume, expression and pitch bend move with the notes they shape: late by the latency.
TEST_F(BeatTiming, ControllersThatShapeTheSoundComeWithTheNotes) {
  const int64_t latency = std::llround(kLatencySeconds * kRate);
  const std::vector<float> out = Play(true, {{0.1, 1.0, 69}}, 1.2, {{std::llround(0.6 * kRate), {0xB0, 7, 0}}});
  const int64_t silenced = std::llround(0.6 * kRate) + latency;
  EXPECT_GT(ToneLevel(out, 440.0, silenced - 882), 0.1);
  EXPECT_EQ(ToneLevel(out, 440.0, silenced + 882), 0.0);
}

// A library without oto.ini has no latency: "beat" plays exactly as "live".
TEST_F(BeatTiming, AVoiceWithoutTimingPlaysAsLiveBitForBit) {
  std::filesystem::remove(dir.path() / "cv" / "oto.ini");
  plugin = std::make_unique<SamplerPlugin>(CountingHost, dir.str().c_str());
  const std::vector<Note> phrase = {{0.05, 0.3, 60}, {0.3, 0.4, 67}, {0.4, 0.9, 74}};
  const std::vector<float> beat = Play(true, phrase, 1.0);
  EXPECT_EQ(effect()->initialDelay, 0);
  EXPECT_EQ(beat, Play(false, phrase, 1.0));
}

// The placement rules alone, in frames: the latency bounds the preutterance; touching or
// overlapping notes limit P - O to half of the note before and fade it; a rest shorter
// than P limits P to the rest; the overlap shrinks in proportion; a chord limits nothing.
TEST(BeatPlacement, FollowsTheRulesOfUtauEditors) {
  const struct {
    double p, o;
    int64_t latency;
    PreviousNote previous;
    double wantP, wantO;
    bool fade;
  } rows[] = {
      {100, 30, 150, {}, 100, 30, false},                                        // alone
      {200, 40, 150, {}, 150, 30, false},                                        // beyond the latency
      {100, 30, 150, {true, 0, 1000}, 100, 30, true},                            // touching a long note
      {100, 30, 150, {true, 900, 1000}, 100 * 50.0 / 70, 30 * 50.0 / 70, true},  // after 100 frames
      {100, 30, 150, {true, 900, -1}, 100 * 50.0 / 70, 30 * 50.0 / 70, true},    // overlapping it
      {100, 30, 150, {true, 0, 960}, 40, 12, false},                             // a rest of 40
      {100, 30, 150, {true, 0, 800}, 100, 30, false},                            // a rest longer than P
      {100, 30, 150, {true, 1000, -1}, 100, 30, false},                          // a chord
      {100, -20, 150, {}, 100, 0, false},                                        // a negative overlap
  };
  for (const auto& r : rows) {
    const NoteOnBeat got = PlaceNote(r.p, r.o, 1000, r.latency, r.previous);
    EXPECT_NEAR(got.preutterance, r.wantP, 1e-9) << r.p << " " << r.previous.start << " " << r.previous.end;
    EXPECT_NEAR(got.overlap, r.wantO, 1e-9) << r.p << " " << r.previous.start << " " << r.previous.end;
    EXPECT_EQ(got.fadePrevious, r.fade) << r.p << " " << r.previous.start << " " << r.previous.end;
  }
}

}  // namespace
}  // namespace chantera::test
