// The Chorus rebuild against a reference written straight from the stage descriptions:
// separate buffers for every stage, the stretched copy built apart and then added, the
// seven echo taps each in a buffer of their own. The fast rebuild works in place in one
// buffer and must give the same values bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "library/chorus_builder.h"
#include "library/sample.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

// ---- Reference --------------------------------------------------------------------------

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
  for (int16_t v : values) {
    if (v == -32768) continue;
    const auto magnitude = static_cast<int16_t>(std::abs(v));
    if (magnitude > peak) peak = magnitude;
  }
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

// ---- Helpers ------------------------------------------------------------------------------

std::vector<int16_t> RandomValues(size_t n, uint32_t seed, int lo = -32768, int hi = 32767) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(lo, hi);
  std::vector<int16_t> values(n);
  for (auto& v : values) v = static_cast<int16_t>(dist(rng));
  return values;
}

void LoadValues(Sample& sample, const std::vector<int16_t>& values) {
  const std::string bytes = Pcm16(values);
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

std::vector<int16_t> Build(const std::vector<int16_t>& values) {
  std::vector<int16_t> out;
  EXPECT_TRUE(BuildChorus(values.data(), static_cast<uint32_t>(values.size()), out));
  return out;
}

// ---- Tests ---------------------------------------------------------------------------------

TEST(ChorusBuilder, RatiosAreTheDoublesOfTheSemitonePowers) {
  EXPECT_EQ(std::pow(2.0, 1.4166666666666667), 2.6696797083400687);
  EXPECT_EQ(std::pow(2.0, 0.5833333333333334), 1.4983070768766815);
}

TEST(ChorusBuilder, MatchesTheReferenceBitForBitOnRandomData) {
  // Lengths around the echo offsets and the block size of the in-place echo stage.
  for (size_t n : {1u, 2u, 3u, 7u, 100u, 1000u, 3085u, 3086u, 4199u, 4200u, 4201u, 9999u, 44100u}) {
    const auto values = RandomValues(n, static_cast<uint32_t>(n));
    EXPECT_EQ(Build(values), RefRebuild(values)) << "n = " << n;
  }
}

TEST(ChorusBuilder, MatchesTheReferenceOnQuietAndOneSidedData) {
  EXPECT_EQ(Build(RandomValues(5000, 1, -3, 3)), RefRebuild(RandomValues(5000, 1, -3, 3)));
  EXPECT_EQ(Build(RandomValues(5000, 2, 0, 32767)), RefRebuild(RandomValues(5000, 2, 0, 32767)));
  EXPECT_EQ(Build(RandomValues(5000, 3, -32768, -1)), RefRebuild(RandomValues(5000, 3, -32768, -1)));
  const auto sine = Sine(20000, 1.0 / 100.0, 12000.0);
  EXPECT_EQ(Build(sine), RefRebuild(sine));
}

TEST(ChorusBuilder, LengthsFollowTheStages) {
  EXPECT_EQ(ChorusLength(0), 29400u);
  EXPECT_EQ(ChorusLength(1000), 37399u);
  EXPECT_EQ(ChorusLength(44100), 382198u);
  EXPECT_EQ(Build(RandomValues(1000, 9)).size(), 37399u);
  // Too long for a 32-bit data size: no length.
  EXPECT_EQ(ChorusLength(0x7FFFFFFFu), 0u);
}

TEST(ChorusBuilder, RebuildsASampleInPlace) {
  Sample sample;
  const auto values = RandomValues(1000, 4);
  LoadValues(sample, values);
  sample.rootFrequency = 261.6;
  sample.sampleRate = 22050;
  RebuildSample(sample);
  EXPECT_EQ(sample.dataSize, 74798u);
  EXPECT_EQ(ValuesOf(sample), RefRebuild(values));
  EXPECT_EQ(sample.ReadableFrames(), 37399u);
  EXPECT_EQ(sample.rootFrequency, 261.6);
  EXPECT_EQ(sample.sampleRate, 22050u);
}

TEST(ChorusBuilder, FortyFourThousandValuesBecome382198) {
  Sample sample;
  LoadValues(sample, Sine(44100, 440.0 / 44100.0));
  RebuildSample(sample);
  EXPECT_EQ(sample.dataSize, 382198u * 2);
}

TEST(ChorusBuilder, EmptySampleBecomesSilence) {
  for (uint32_t size : {0u, 1u}) {
    Sample sample;
    auto data = std::make_unique<uint8_t[]>(1);
    data[0] = 0x7F;
    sample.SetData(std::move(data), size);
    RebuildSample(sample);
    ASSERT_EQ(sample.dataSize, 58800u) << size;
    for (int16_t v : ValuesOf(sample)) ASSERT_EQ(v, 0);
  }
  Sample noData;  // never loaded: no buffer at all
  RebuildSample(noData);
  EXPECT_EQ(noData.dataSize, 58800u);
}

TEST(ChorusBuilder, OddLastByteIsDropped) {
  Sample sample;
  const auto values = RandomValues(500, 5);
  std::string bytes = Pcm16(values) + '\x55';
  auto data = std::make_unique<uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), data.get());
  sample.SetData(std::move(data), static_cast<uint32_t>(bytes.size()));
  RebuildSample(sample);
  EXPECT_EQ(ValuesOf(sample), RefRebuild(values));
}

TEST(ChorusBuilder, NoValueExceedsTheRecordingsPeakAndTheLargestReachesIt) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    const auto values = RandomValues(3000, seed, -20000, 20000);
    int peak = 0;
    for (int16_t v : values) peak = std::max(peak, std::abs(int{v}));
    int largest = 0;
    for (int16_t v : Build(values)) {
      ASSERT_LE(std::abs(int{v}), peak);
      largest = std::max(largest, std::abs(int{v}));
    }
    EXPECT_GE(largest, peak - 1);
  }
}

TEST(ChorusBuilder, MinusFullScaleDoesNotCountTowardThePeak) {
  std::vector<int16_t> values(2000, 0);
  for (size_t i = 0; i < values.size(); i += 3) values[i] = -32768;
  for (int16_t v : Build(values)) ASSERT_EQ(v, 0);

  values[1] = 100;  // now the peak is 100, and -32768 is scaled down to it
  const auto out = Build(values);
  int largest = 0;
  for (int16_t v : out) largest = std::max(largest, std::abs(int{v}));
  EXPECT_LE(largest, 100);
  EXPECT_GE(largest, 99);
}

TEST(ChorusBuilder, BeforeTheFirstEchoOnlyTheRecordingAndItsCopiesSound) {
  // A single impulse at 0: the stretched copies smear it over the first few values only
  // (index i copies index i / ratio), and the first echo starts at 4200.
  std::vector<int16_t> values(1000, 0);
  values[0] = 10000;
  const auto out = Build(values);
  for (size_t k = 0; k < 8; ++k) EXPECT_GT(out[k], 0) << k;
  for (size_t k = 16; k < 4200; ++k) ASSERT_EQ(out[k], 0) << k;
  EXPECT_EQ(out[0], 10000);  // the largest working value maps to the peak
  EXPECT_NE(out[4200], 0);
  EXPECT_NE(out[21602], 0);  // the last tap
}

TEST(ChorusBuilder, AllZeroRecordingBecomesSilenceOfTheComputedLength) {
  const auto out = Build(std::vector<int16_t>(1000, 0));
  ASSERT_EQ(out.size(), 37399u);
  for (int16_t v : out) ASSERT_EQ(v, 0);
}

TEST(ChorusBuilder, ResultTooLongToHoldLeavesTheSampleAsItWas) {
  Sample sample;
  LoadValues(sample, {1, 2, 3});
  const uint8_t* before = sample.pcm.get();
  sample.dataSize = 0xFFFFFFFEu;  // 2^31 - 1 values would make more than 2^32 bytes
  RebuildSample(sample);
  EXPECT_EQ(sample.pcm.get(), before);
  EXPECT_EQ(sample.dataSize, 0xFFFFFFFEu);
}

TEST(ChorusBuilder, ReusedBufferDoesNotLeakIntoTheNextSample) {
  // A long loud rebuild, then a short one on the same thread: the short one must not see
  // what the long one left in the working buffer.
  Build(RandomValues(44100, 6));
  const auto quiet = RandomValues(700, 7, -50, 50);
  EXPECT_EQ(Build(quiet), RefRebuild(quiet));
}

}  // namespace
}  // namespace chantera::test
