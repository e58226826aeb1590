// The Chorus rebuild against a reference written straight from the stage descriptions, every
// stage, stretched copy and echo tap in a buffer of its own: the fast rebuild, in place in one
// buffer, must give the same values bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "library/chorus_builder.h"
#include "library/sample.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

std::vector<int32_t> RefAddStretchedCopy(const std::vector<int32_t>& working, double ratio, double gain) {
  const size_t n = working.size();
  const auto m = static_cast<size_t>(static_cast<double>(n) * ratio);
  std::vector<int32_t> a(m, 0);
  for (size_t i = 0; i < n && i < m; ++i) a[i] = working[i];
  std::vector<int32_t> c(m, 0);
  for (size_t i = 0; i < m; ++i) {
    const auto j = static_cast<size_t>(static_cast<double>(i) / ratio);
    c[i] = static_cast<int32_t>(a.at(j) * gain);
  }
  for (size_t i = 0; i < m; ++i) a[i] = a[i] + c[i];
  return a;
}

std::vector<int32_t> RefAddEchoTaps(const std::vector<int32_t>& w, int taps) {
  const size_t n = w.size();
  int d = 600 * taps;
  const size_t length = n + static_cast<size_t>(600 * taps * taps);
  std::vector<std::vector<int32_t>> tapBuffers;
  double g = 0.6;
  for (int t = 0; t < taps; ++t) {
    std::vector<int32_t> tap(length, 0);
    for (size_t j = 0; j < n; ++j) tap.at(static_cast<size_t>((t + 1) * d) + j) = static_cast<int32_t>(w[j] * g);
    tapBuffers.push_back(std::move(tap));
    g = g * 0.8;
    d = static_cast<int>(d * 0.95);
  }
  std::vector<int32_t> o(length, 0);
  for (size_t j = 0; j < n; ++j) o[j] = w[j];
  for (const auto& tap : tapBuffers)
    for (size_t k = 0; k < length; ++k) o[k] += tap[k];
  return o;
}

std::vector<int16_t> RefRebuild(const std::vector<int16_t>& values) {
  const double depth = 0.2;
  std::vector<int32_t> working(values.begin(), values.end());
  int16_t peak = 0;
  for (int16_t v : values)
    if (v != -32768) peak = std::max(peak, static_cast<int16_t>(std::abs(v)));
  working = RefAddStretchedCopy(working, 2.0, depth * 0.2 + 0.1);
  working = RefAddStretchedCopy(working, std::pow(2.0, 1.4166666666666667), depth * 0.25 + 0.2);
  working = RefAddStretchedCopy(working, std::pow(2.0, 0.5833333333333334), ((1.0 - depth) + 1.0) * 0.1);
  working = RefAddEchoTaps(working, 7);
  int32_t maxAbs = 0;
  for (int32_t v : working) maxAbs = std::max(maxAbs, std::abs(v));
  std::vector<int16_t> out(working.size(), 0);
  if (maxAbs == 0) return out;
  const double scale = static_cast<double>(peak) / maxAbs;
  for (size_t k = 0; k < working.size(); ++k) out[k] = static_cast<int16_t>(static_cast<int32_t>(working[k] * scale));
  return out;
}

std::vector<int16_t> RandomValues(size_t n, uint32_t seed, int lo = -32768, int hi = 32767) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(lo, hi);
  std::vector<int16_t> values(n);
  for (auto& v : values) v = static_cast<int16_t>(dist(rng));
  return values;
}

void LoadBytes(Sample& sample, const std::string& bytes) {
  auto data = std::make_unique<uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), data.get());
  sample.SetData(std::move(data), static_cast<uint32_t>(bytes.size()));
}

std::vector<int16_t> ValuesOf(const Sample& sample) {
  std::vector<int16_t> values(sample.dataSize / 2);
  for (size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<int16_t>(static_cast<uint16_t>(sample.pcm[2 * i] | (sample.pcm[2 * i + 1] << 8)));
  return values;
}

TEST(ChorusBuilder, MatchesTheReferenceBitForBit) {
  std::vector<std::pair<std::string, std::vector<int16_t>>> cases;
  // Lengths around the echo offsets and the block size of the in-place echo stage.
  for (size_t n : {1u, 2u, 3u, 7u, 100u, 1000u, 3085u, 3086u, 4199u, 4200u, 4201u, 9999u, 44100u})
    cases.emplace_back("random " + std::to_string(n), RandomValues(n, static_cast<uint32_t>(n)));
  // A short quiet rebuild right after the long loud one on the same thread: nothing the
  // long one left in the working buffer may leak into it.
  cases.emplace_back("quiet after loud", RandomValues(700, 7, -50, 50));
  cases.emplace_back("tiny", RandomValues(5000, 1, -3, 3));
  cases.emplace_back("positive", RandomValues(5000, 2, 0, 32767));
  cases.emplace_back("negative", RandomValues(5000, 3, -32768, -1));
  cases.emplace_back("sine", Sine(20000, 1.0 / 100.0, 12000.0));
  cases.emplace_back("silence", std::vector<int16_t>(1000, 0));
  // -32768 does not count toward the peak: alone it makes silence, beside 100 it is
  // scaled down to 100.
  std::vector<int16_t> minus(2000, 0);
  for (size_t i = 0; i < minus.size(); i += 3) minus[i] = -32768;
  cases.emplace_back("minus full scale", minus);
  minus[1] = 100;
  cases.emplace_back("minus full scale and 100", minus);
  for (const auto& [name, values] : cases) {
    std::vector<int16_t> out;
    EXPECT_TRUE(BuildChorus(values, out)) << name;
    EXPECT_EQ(out, RefRebuild(values)) << name;
  }
}

// An odd last byte is dropped; no values (or one byte) rebuild to silence. The recording's
// pitch and rate stay.
TEST(ChorusBuilder, RebuildsASampleInPlace) {
  const auto values = RandomValues(1000, 4);
  const std::pair<std::string, std::vector<int16_t>> cases[] = {
      {Pcm16(values), values}, {Pcm16(values) + '\x55', values}, {"", {}}, {"\x7F", {}}};
  for (const auto& [bytes, kept] : cases) {
    Sample sample;
    LoadBytes(sample, bytes);
    sample.rootFrequency = 261.6;
    sample.sampleRate = 22050;
    RebuildSample(sample);
    EXPECT_EQ(ValuesOf(sample), RefRebuild(kept)) << bytes.size();
    EXPECT_EQ(sample.dataSize, 2 * ChorusLength(uint32_t(kept.size())));
    EXPECT_EQ(sample.ReadableFrames(), ChorusLength(uint32_t(kept.size())));
    EXPECT_EQ(sample.rootFrequency, 261.6);
    EXPECT_EQ(sample.sampleRate, 22050u);
  }
  EXPECT_EQ(ChorusLength(1000), 37399u);
  EXPECT_EQ(ChorusLength(0), 29400u);
  Sample noData;  // never loaded: no buffer at all
  RebuildSample(noData);
  EXPECT_EQ(noData.dataSize, 58800u);
}

// 8-bit and stereo recordings rebuild channel by channel from the values the renderer plays
// (8-bit ones at their level), each channel to its own peak, into 16-bit data.
TEST(ChorusBuilder, RebuildsEachChannelAsItSounds) {
  const auto left = RandomValues(900, 5), right = RandomValues(900, 6, -300, 300);
  std::vector<int16_t> left8, right8;
  std::string interleaved, mono8, stereo8;
  for (size_t i = 0; i < left.size(); ++i) {
    interleaved += Pcm16({left[i], right[i]});
    left8.push_back(static_cast<int16_t>((left[i] >> 8)));
    right8.push_back(static_cast<int16_t>((right[i] >> 3)));
    mono8.push_back(static_cast<char>(left8.back() + 128));
    stereo8 += {static_cast<char>(left8.back() + 128), static_cast<char>(right8.back() + 128)};
  }
  const struct {
    const char* what;
    uint32_t bits, channels;
    std::string bytes;
    std::vector<std::vector<int16_t>> sound;  // each channel as the renderer plays it
  } cases[] = {{"16-bit stereo", 16, 2, interleaved, {left, right}},
               {"8-bit mono", 8, 1, mono8, {left8}},
               {"8-bit stereo", 8, 2, stereo8, {left8, right8}}};
  for (const auto& c : cases) {
    Sample sample;
    sample.bitsPerSample = c.bits;
    sample.channels = c.channels;
    sample.blockAlign = c.bits / 8 * c.channels;
    LoadBytes(sample, c.bytes);
    RebuildSample(sample);
    EXPECT_EQ(sample.bitsPerSample, 16u) << c.what;
    EXPECT_EQ(sample.blockAlign, 2 * c.channels) << c.what;
    ASSERT_EQ(sample.ReadableFrames(), ChorusLength(900)) << c.what;
    for (uint32_t channel = 0; channel < c.channels; ++channel) {
      const std::vector<int16_t> expected = RefRebuild(c.sound[channel]);
      std::vector<int16_t> rebuilt(sample.ReadableFrames());
      for (uint32_t f = 0; f < rebuilt.size(); ++f) rebuilt[f] = sample.GetValue(f, static_cast<int>(channel));
      EXPECT_EQ(rebuilt, expected) << c.what << ", channel " << channel;
    }
  }
}

TEST(ChorusBuilder, ResultTooLongToHoldLeavesTheSampleAsItWas) {
  Sample sample;
  LoadBytes(sample, Pcm16({1, 2, 3}));
  const uint8_t* before = sample.pcm.get();
  sample.dataSize = 0xFFFFFFFEu;  // 2^31 - 1 values would make more than 2^32 bytes
  RebuildSample(sample);
  EXPECT_EQ(sample.pcm.get(), before);
  EXPECT_EQ(sample.dataSize, 0xFFFFFFFEu);
  EXPECT_EQ(ChorusLength(0x7FFFFFFFu), 0u);
}

}  // namespace
}  // namespace chantera::test
