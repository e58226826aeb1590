// The band-limited interpolator of Quality "high": what a listener hears at five shifts
// of a looped sine and of a harmonic-rich loop (distortion against the ideal signal,
// aliases of the partials the new Nyquist frequency takes away), with the linear kernel's
// figures printed beside them; both fast paths against the double-precision reference,
// over the edges of a recording and a loop's end; and the setting as a host reaches it
// through the VST 2 entry (controller 86, offline rendering).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "engine/sinc_kernel.h"
#include "host/vendor_queries.h"
#include "library/wave_writer.h"
#include "support/fixtures.h"
#include "support/vst_host.h"

namespace chantera::test {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// A mono 16-bit recording of partials (cycles per loop, amplitude) whose loop
// [loopStart, loopStart + loopLength) holds whole cycles of each, with room before and
// after; the source reads it as a held note does.
struct LoopedRecording {
  std::vector<std::pair<int, double>> partials;
  uint32_t loopLength;
  uint32_t loopStart = 256;
  std::string bytes;
  SincSource source;

  LoopedRecording(std::vector<std::pair<int, double>> p, uint32_t length) : partials(std::move(p)), loopLength(length) {
    const size_t frames = loopStart + loopLength + 256;
    std::vector<int16_t> values(frames);
    for (size_t i = 0; i < frames; ++i) values[i] = static_cast<int16_t>(std::lround(Ideal(static_cast<double>(i))));
    bytes = Pcm16(values);
    source.pcm = reinterpret_cast<const uint8_t*>(bytes.data());
    source.frames = static_cast<uint32_t>(frames);
    source.loopStart = loopStart;
    source.loopEnd = loopStart + loopLength;
  }
  double Frequency(int cycles) const { return cycles / static_cast<double>(loopLength); }
  double Ideal(double position) const {
    double v = 0.0;
    for (const auto& [cycles, amplitude] : partials) v += amplitude * std::sin(kTwoPi * Frequency(cycles) * position);
    return v;
  }
  // What the linear kernel plays at a position (its right-hand partner read through the
  // loop as the sinc's frames are: the loop's first frame partners its last).
  double Linear(double position) const {
    const auto i = static_cast<int64_t>(position);
    const double a = source.Value(i, 0), b = source.Value(i + 1, 0);
    return a + (b - a) * (position - static_cast<double>(i));
  }
};

// The positions a held note reads at step, from well inside the recording on.
std::vector<double> Positions(const SincSource& source, double step, int frames) {
  std::vector<double> positions;
  double position = 300.25;
  for (int k = 0; k < frames; ++k) {
    positions.push_back(position);
    position += step;
    if (position >= source.loopEnd)  // as a held note wraps
      position = source.loopStart + std::fmod(position - source.loopStart, source.loopEnd - source.loopStart);
  }
  return positions;
}

double Decibels(double noise, double signal) {
  return 10.0 * std::log10(signal / noise);
}

// What is left of output once the best mix of sines and cosines at the given frequencies
// (cycles per frame of the recording, at the positions read) is taken away: its energy,
// and the energy of that mix.
std::pair<double, double> ResidualAfterFit(const std::vector<double>& output, const std::vector<double>& positions,
                                           const std::vector<double>& frequencies) {
  const size_t basis = 2 * frequencies.size(), n = output.size();
  auto at = [&](size_t b, size_t k) {
    const double phase = kTwoPi * frequencies[b / 2] * positions[k];
    return b % 2 == 0 ? std::sin(phase) : std::cos(phase);
  };
  // Normal equations, solved by Gaussian elimination (the basis is nearly orthogonal).
  std::vector<std::vector<double>> a(basis, std::vector<double>(basis + 1, 0.0));
  for (size_t k = 0; k < n; ++k) {
    std::vector<double> row(basis);
    for (size_t b = 0; b < basis; ++b) row[b] = at(b, k);
    for (size_t i = 0; i < basis; ++i) {
      for (size_t j = 0; j < basis; ++j) a[i][j] += row[i] * row[j];
      a[i][basis] += row[i] * output[k];
    }
  }
  for (size_t i = 0; i < basis; ++i)
    for (size_t r = i + 1; r < basis; ++r) {
      const double factor = a[r][i] / a[i][i];
      for (size_t j = i; j <= basis; ++j) a[r][j] -= factor * a[i][j];
    }
  std::vector<double> x(basis);
  for (size_t i = basis; i-- > 0;) {
    double s = a[i][basis];
    for (size_t j = i + 1; j < basis; ++j) s -= a[i][j] * x[j];
    x[i] = s / a[i][i];
  }
  double residual = 0.0, fitted = 0.0;
  for (size_t k = 0; k < n; ++k) {
    double v = 0.0;
    for (size_t b = 0; b < basis; ++b) v += x[b] * at(b, k);
    residual += (output[k] - v) * (output[k] - v);
    fitted += v * v;
  }
  return {residual, fitted};
}

const int kShifts[] = {-12, -7, 5, 7, 12};

TEST(SincKernel, LoopedSineKeepsItsPurityAtEveryShift) {
  // 19 cycles in 128 frames (0.148 cycles per frame): well inside the passband of the new
  // Nyquist frequency an octave up too.
  const LoopedRecording sine({{19, 32000.0}}, 128);
  for (const int shift : kShifts) {
    const double step = std::exp2(shift / 12.0);
    const std::vector<double> positions = Positions(sine.source, step, 4096);
    double signal = 0.0, noise = 0.0, linearNoise = 0.0;
    for (const double p : positions) {
      const double ideal = sine.Ideal(p);
      signal += ideal * ideal;
      noise += std::pow(SincValue(sine.source, p, step, 0) - ideal, 2);
      linearNoise += std::pow(sine.Linear(p) - ideal, 2);
    }
    const double sinad = Decibels(noise, signal), linear = Decibels(linearNoise, signal);
    std::printf("  sine %+3d semitones: SINAD high %6.1f dB (target 90), linear %6.1f dB\n", shift, sinad, linear);
    EXPECT_GE(sinad, 90.0) << shift << " semitones";
  }
}

TEST(SincKernel, HarmonicLoopLosesWhatPassesTheNewNyquist) {
  // A sawtooth of 3 cycles in 256 frames, band-limited to the recording's own Nyquist
  // frequency: 42 partials, up to 0.49 cycles per frame.
  std::vector<std::pair<int, double>> partials;
  for (int k = 1; 3 * k < 128; ++k) partials.emplace_back(3 * k, 16000.0 / k);
  const LoopedRecording saw(partials, 256);
  for (const int shift : kShifts) {
    const double step = std::exp2(shift / 12.0);
    // Every partial that stays below the new Nyquist frequency may sound (those near it
    // softer); whatever else the output holds is aliasing.
    std::vector<double> kept;
    for (const auto& [cycles, amplitude] : partials)
      if (saw.Frequency(cycles) * step < 0.5) kept.push_back(saw.Frequency(cycles));
    const std::vector<double> positions = Positions(saw.source, step, 4096);
    std::vector<double> high, linear;
    for (const double p : positions) {
      high.push_back(SincValue(saw.source, p, step, 0));
      linear.push_back(saw.Linear(p));
    }
    const auto [aliases, signal] = ResidualAfterFit(high, positions, kept);
    const auto [linearAliases, linearSignal] = ResidualAfterFit(linear, positions, kept);
    const double down = Decibels(aliases, signal), linearDown = Decibels(linearAliases, linearSignal);
    std::printf("  saw  %+3d semitones: aliases high %6.1f dB down (target 80), linear %6.1f dB down\n", shift, down,
                linearDown);
    EXPECT_GE(down, 80.0) << shift << " semitones";
  }
}

TEST(SincKernel, FastPathsMatchTheReference) {
  // Noise, so that every frame a window reads counts: a mono 16-bit recording with a
  // loop, and a stereo 8-bit one without.
  std::mt19937 random(27);
  std::uniform_int_distribution<int> value(-32768, 32767);
  std::vector<int16_t> mono(3000);
  for (int16_t& v : mono) v = static_cast<int16_t>(value(random));
  const std::string monoBytes = Pcm16(mono);
  std::string stereoBytes(2 * 2000, '\0');
  for (char& byte : stereoBytes) byte = static_cast<char>(value(random) & 0xFF);
  SincSource looped;
  looped.pcm = reinterpret_cast<const uint8_t*>(monoBytes.data());
  looped.frames = 3000;
  looped.loopStart = 1000;
  looped.loopEnd = 1700;
  SincSource stereo;
  stereo.pcm = reinterpret_cast<const uint8_t*>(stereoBytes.data());
  stereo.frames = 2000;
  stereo.channels = 2;
  stereo.sixteenBit = false;

  struct Case {
    const SincSource* source;
    uint32_t channel;
  };
  const Case cases[] = {{&looped, 0}, {&stereo, 0}, {&stereo, 1}};
  // Before frame 0, the first frames, inside, around a loop's end (or the data's end),
  // past the end; steps from two octaves down to past kSincMaxStep.
  const double positions[] = {-20.5, 0.0, 3.7, 500.125, 1689.9, 1700.5, 1999.3, 2010.0, 2990.2, 4000.0};
  const double steps[] = {0.25, 0.749, 1.0, 1.4983, 2.0, 5.3, 40.0};
  double worstPlain = 0.0, worstAvx2 = 0.0;
  for (const Case& c : cases)
    for (const double p : positions)
      for (const double step : steps) {
        const double reference = SincValueReference(*c.source, p, step, c.channel);
        worstPlain = std::max(worstPlain, std::fabs(SincValuePlain(*c.source, p, step, c.channel) - reference));
        worstAvx2 = std::max(worstAvx2, std::fabs(SincValueAvx2(*c.source, p, step, c.channel) - reference));
      }
  std::printf("  worst difference from the reference: plain %.3g, AVX2 %.3g (of 32768; AVX2 %s)\n", worstPlain,
              worstAvx2, SincAvx2Available() ? "in use" : "not available");
  // The runs over a held note's frames, each fast path: every frame they render (all but
  // those whose window reaches the loop's end) against the reference.
  double worstRun[2] = {0.0, 0.0};
  for (int wide = 0; wide < 2; ++wide)
    for (const double step : {0.5, 1.0, 1.3, 1.9}) {
      std::vector<float> left(700, 0.0f), right(700, 0.0f);
      double position = 40.3;
      const int32_t done = wide != 0 ? SincRunMono16(looped, position, step, 0.5, left.data(), right.data(), 700)
                                     : SincRunMono16Avx2(looped, position, step, 0.5, left.data(), right.data(), 700);
      if (SincAvx2Available()) {
        EXPECT_GT(done, 300) << "step " << step;
      }
      for (int32_t f = 0; f < done; ++f) {
        const double reference = 0.5 * SincValueReference(looped, 40.3 + f * step, step, 0);
        worstRun[wide] = std::max(worstRun[wide], std::fabs(left[static_cast<size_t>(f)] - reference));
        ASSERT_EQ(left[static_cast<size_t>(f)], right[static_cast<size_t>(f)]);
      }
      EXPECT_NEAR(position, 40.3 + done * step, 1e-9);
    }
  std::printf("  runs: AVX2 %.3g, wide %.3g (AVX-512 %s)\n", worstRun[0], worstRun[1],
              SincAvx512Available() ? "in use" : "not available");
  // 95 dB below full scale (a gain of 0.5 halves the runs' figures).
  EXPECT_LT(worstPlain, 0.5);
  EXPECT_LT(worstAvx2, 0.5);
  EXPECT_LT(worstRun[0], 0.25);
  EXPECT_LT(worstRun[1], 0.25);
  // Far from the data every value is 0.
  EXPECT_EQ(SincValue(stereo, 3000.0, 1.0, 0), 0.0);
  EXPECT_EQ(SincValue(stereo, -100.0, 1.0, 1), 0.0);
}

// Through the plug-in as a host drives it: a voice whose one recording is a looped sine
// (root key 69), a note held a second, and how pure the sine comes out, against what the
// host says and what controller 86 chose. "high" by itself only while the host renders
// offline; the controller's choice holds either way.
// A voice whose one recording is a sine of cycles per frame (root key 69) with a loop of
// 1600 frames, and the plug-in beside it; the path of the plug-in's copy.
std::string WriteLoopedSineVoice(const TempDir& dir, double cycles) {
  std::vector<int16_t> values(30000);
  for (size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<int16_t>(std::lround(30000.0 * std::sin(kTwoPi * cycles * static_cast<double>(i))));
  const WaveLoop loop{8000, 9599};
  VoiceFolder voice;
  voice.folder = "v";
  voice.sampleLines = {"s.wav,s,69"};
  voice.programLines = {"Program", "P,1.0,2,a", "S,0,127,s.wav", "End"};
  voice.files = {{"s.wav", WaveFileBytes(values, 1, 44100, &loop)}};
  WriteVoiceLibrary(dir, {{"Voice", voice}});
  const std::filesystem::path path = dir.path() / std::filesystem::path(CHANTERA_PLUGIN_PATH).filename();
  std::filesystem::copy_file(CHANTERA_PLUGIN_PATH, path);
  return path.string();
}

TEST(QualitySetting, ThePluginSingsHighWhenOfflineOrAskedAndLiveOtherwise) {
  TempDir dir;
  constexpr double kCycles = 0.1;  // 4410 Hz
  VstHost host(WriteLoopedSineVoice(dir, kCycles));
  ASSERT_TRUE(host.Ok()) << host.Error();

  struct Case {
    vst2::VstIntPtr level;
    int controller;  // the value sent on controller 86, or -1 for none
    int key;
    bool high;
  };
  const Case cases[] = {
      {vst2::kVstProcessLevelUnknown, -1, 76, false},  {vst2::kVstProcessLevelOffline, -1, 76, true},
      {vst2::kVstProcessLevelOffline, 0, 76, false},   {vst2::kVstProcessLevelRealtime, 127, 57, true},
      {vst2::kVstProcessLevelRealtime, -1, 57, false},
  };
  for (const Case& c : cases) {
    VstHost::processLevelAnswer = c.level;
    vst2::AEffect* effect = host.Create();
    ASSERT_NE(effect, nullptr);
    VstHost::Dispatch(effect, vst2::effMainsChanged, 0, 1);
    std::vector<std::pair<int64_t, Midi3>> events;
    if (c.controller >= 0) events.push_back({0, {0xB0, 86, static_cast<uint8_t>(c.controller)}});
    events.push_back({0, {0x90, static_cast<uint8_t>(c.key), 100}});
    const std::vector<float> out = PlayMidi(effect, events, 44100);
    EXPECT_EQ(VstHost::Close(effect), 1);
    // The held part before the loop (whose seam the voice blends): past the first frames,
    // whose window reaches before the recording's start.
    std::vector<double> output, positions;
    for (int f = 1000; f < 5000; ++f) {
      output.push_back(out[static_cast<size_t>(f)]);
      positions.push_back(f);
    }
    const double hz = kCycles * std::exp2((c.key - 69) / 12.0);
    const auto [noise, signal] = ResidualAfterFit(output, positions, {hz});
    const double sinad = Decibels(noise, signal);
    std::printf("  process level %d, controller 86 %d, key %d: SINAD %.1f dB\n", static_cast<int>(c.level),
                c.controller, c.key, sinad);
    if (c.high) {
      EXPECT_GE(sinad, 90.0) << "level " << c.level << ", controller " << c.controller;
    } else {
      EXPECT_LT(sinad, 50.0) << "level " << c.level << ", controller " << c.controller;
    }
  }
  VstHost::processLevelAnswer = vst2::kVstProcessLevelUnknown;
}

// What the instrument does to a note sings the same at both qualities: a bend, a glide, a
// vibrato and the Chorus give "high" the pitch and the level "live" has (441 Hz looped
// sine, a second of a held note), and every value is finite.
TEST(QualitySetting, HighSingsWhatLiveSingsThroughBendGlideVibratoAndTheChorus) {
  TempDir dir;
  VstHost host(WriteLoopedSineVoice(dir, 0.01));
  ASSERT_TRUE(host.Ok()) << host.Error();
  struct Case {
    const char* what;
    std::vector<Midi3> before;  // sent with the note, at frame 0
    bool chorus;
  };
  const Case cases[] = {
      {"pitch bend up two semitones", {{0xE0, 0x7F, 0x7F}}, false},
      {"a glide from key 57", {{0xB0, 65, 127}, {0xB0, 5, 64}, {0xB0, 84, 57}}, false},
      {"vibrato", {{0xB0, 1, 127}}, false},
      {"the Chorus", {}, true},
  };
  for (const Case& c : cases) {
    double hz[2], level[2];
    for (int high = 0; high < 2; ++high) {
      vst2::AEffect* effect = host.Create();
      ASSERT_NE(effect, nullptr);
      VstHost::Dispatch(effect, vst2::effMainsChanged, 0, 1);
      if (c.chorus) {
        effect->setParameter(effect, 2, 1.0f);
        ASSERT_TRUE(WaitUntil([&] {
          return VstHost::Dispatch(effect, vst2::effVendorSpecific, kChanteraQuery, kChanteraLoaderBusy) == 0;
        }));
      }
      std::vector<std::pair<int64_t, Midi3>> events{{0, {0xB0, 86, static_cast<uint8_t>(high * 127)}}};
      for (const Midi3& m : c.before) events.push_back({0, m});
      events.push_back({0, {0x90, 69, 100}});
      const std::vector<float> out = PlayMidi(effect, events, 44100);
      EXPECT_EQ(VstHost::Close(effect), 1);
      double sum = 0.0;
      for (size_t f = 22050; f < out.size(); ++f) {
        ASSERT_TRUE(std::isfinite(out[f])) << c.what;
        sum += static_cast<double>(out[f]) * out[f];
      }
      hz[high] = MeasuredHz(out);
      level[high] = 10.0 * std::log10(sum / static_cast<double>(out.size() - 22050));
    }
    EXPECT_GT(hz[0], 300.0) << c.what;  // it sings
    EXPECT_NEAR(hz[1], hz[0], 0.01 * hz[0]) << c.what;
    EXPECT_NEAR(level[1], level[0], 0.5) << c.what;
  }
}

}  // namespace
}  // namespace chantera::test
