// The Chorus rebuild. The working values are whole numbers that fit 32 bits, held as
// doubles: a double holds each exactly, their sums are exact, and trunc(v × gain) is the
// same number whether v is held as an int32 or as a double, but the double needs no
// conversion before each of the chain's nine or so multiplications per value, only a
// rounding toward zero. All stages work in one buffer as long as the final result: each
// stretched copy is built bottom up from the scaled sources of its stage (kept beside the
// buffer), and the echoes are added in place from the top down, in blocks no longer than
// the shortest echo delay, so that a block reads only values below it that this stage has
// not rewritten yet. The buffer is the caller's workspace, reused from sample to sample.
// Thread: the loader thread (or a tool), never the audio thread.
#include "library/chorus_builder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

#include "library/chorus_stages.h"
#include "library/sample.h"
#include "platform/bytes.h"

namespace chantera {

namespace {

using namespace chorus;  // the stages are this file's own

// The result (and its dataSize in bytes) must fit the 32-bit fields of a Sample.
constexpr uint64_t kMaxValues = 0x7FFFFFFFu;

// Lengths after each stretched copy and after the echoes; false when they do not fit.
bool StageLengths(uint32_t n, uint32_t (&stretched)[3], uint32_t& total) {
  double count = n;
  for (int s = 0; s < 3; ++s) {
    const double m = count * kStretchStages[s].ratio;
    if (m >= static_cast<double>(kMaxValues)) return false;
    stretched[s] = static_cast<uint32_t>(m);
    count = stretched[s];
  }
  const uint64_t sum = uint64_t{stretched[2]} + kEchoLength;
  if (sum > kMaxValues) return false;
  total = static_cast<uint32_t>(sum);
  return true;
}

// Copies the values into work and returns the largest absolute value among them;
// -32768 does not count, its magnitude does not fit 16 bits.
template <class ReadValue>
int32_t WidenWithPeak(ReadValue read, uint32_t n, double* work) noexcept {
  int32_t peak = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const int32_t v = read(i);
    work[i] = v;
    const int32_t magnitude = v < 0 ? -v : v;
    if (v != -32768 && magnitude > peak) peak = magnitude;
  }
  return peak;
}

// Stretches the count values built so far by the ratio of stage s and adds the copy,
// scaled by its gain, to them: value i becomes (i < count ? W[i] : 0) + trunc(W[trunc(i /
// ratio)] × gain). Each source is scaled once into copies (count + 4 values of room),
// whatever the number of values that take it.
void AddStretchedCopy(double* work, double* copies, uint32_t count, uint32_t m, int s) noexcept {
  const StretchStage& stage = kStretchStages[s];
  const std::shared_ptr<const std::vector<uint8_t>> steps = SourceSteps::For(s, m);
#if defined(CHANTERA_CHORUS_AVX2)
  if (avx2 && steps != nullptr) {
    Avx2Stages::Scale(copies, work, count, stage.gain);
    std::fill(copies + count, copies + count + 4, 0.0);
    Avx2Stages::Stretch(work, copies, count, m, steps->data());
    return;
  }
#endif
  PlainStages::Scale(copies, work, count, stage.gain);
  if (steps != nullptr) return PlainStages::Stretch(work, copies, count, 0, m, 0, steps->data());
  // No memory for the steps: each source index on its own.
  int exponent = 0;
  const bool exact = std::frexp(stage.ratio, &exponent) == 0.5;
  for (uint32_t i = 0; i < m; ++i)
    work[i] = (i < count ? work[i] : 0.0) + copies[SourceIndex(i, stage.ratio, 1.0 / stage.ratio, exact)];
}

// Adds the seven echoes of the count values into work, which grows to total values (the
// kEchoReach values below work are zeros), and returns the largest absolute value of the
// result.
int32_t AddEchoTaps(double* work, uint32_t count, uint32_t total) noexcept {
  std::fill(work + count, work + total, 0.0);
  double maxAbs = 0.0;
  for (uint32_t high = total; high > 0;) {
    const uint32_t low = high > kEcho.shortestOffset ? high - kEcho.shortestOffset : 0;
#if defined(CHANTERA_CHORUS_AVX2)
    maxAbs = std::max(maxAbs, avx2 ? Avx2Stages::Echo(work, low, high) : PlainStages::Echo(work, low, high));
#else
    maxAbs = std::max(maxAbs, PlainStages::Echo(work, low, high));
#endif
    high = low;
  }
  return static_cast<int32_t>(maxAbs);
}

// Scales the working values to the recording's peak, trunc(v × peak / maxAbs), into out as
// 16-bit little-endian values. All zero when every working value is 0.
void NarrowToPeak(uint8_t* out, const double* work, uint32_t count, int32_t peak, int32_t maxAbs) noexcept {
  if (maxAbs == 0) {
    std::fill(out, out + size_t{count} * 2, uint8_t{0});
    return;
  }
  const double scale = static_cast<double>(peak) / static_cast<double>(maxAbs);
#if defined(CHANTERA_CHORUS_AVX2)
  if (avx2) return Avx2Stages::Narrow(out, work, count, scale);
#endif
  PlainStages::Narrow(out, work, 0, count, scale);
}

// The working buffer, at least values long, its first kEchoReach values zero; null when
// the memory cannot be had. The caller keeps it between calls (the loader rebuilds sample
// after sample). Not a thread_local: a thread-exit destructor in a Windows DLL can
// deadlock winpthreads when the library is unloaded while a loader thread ends.
double* WorkingBuffer(std::vector<double>& buffer, uint64_t values) noexcept {
  if (buffer.size() < values) {
    try {
      buffer.resize(values);
    } catch (const std::bad_alloc&) {
      return nullptr;
    } catch (const std::length_error&) {
      return nullptr;
    }
  }
  return buffer.data();
}

// Runs the whole chain over n values read by read(i) into the total 16-bit values that
// out(total) gives room for (little-endian bytes), working in workspace. False (and
// nothing written) when memory cannot be had.
template <class ReadValue, class Output>
bool Rebuild(ReadValue read, uint32_t n, Output out, std::vector<double>& workspace) {
  uint32_t stretched[3];
  uint32_t total = 0;
  if (!StageLengths(n, stretched, total)) return false;
  // Zeros, the working values, then room for one stage's scaled copies (the largest
  // stage stretched is the second's result).
  double* buffer = WorkingBuffer(workspace, uint64_t{kEchoReach} + total + stretched[1] + 4);
  if (buffer == nullptr) return false;
  double* work = buffer + kEchoReach;
  double* copies = work + total;
  uint8_t* bytes = out(total);
  if (bytes == nullptr) return false;

  const int32_t peak = WidenWithPeak(read, n, work);
  uint32_t count = n;
  for (int s = 0; s < 3; ++s) {
    AddStretchedCopy(work, copies, count, stretched[s], s);
    count = stretched[s];
  }
  NarrowToPeak(bytes, work, total, peak, AddEchoTaps(work, count, total));
  return true;
}

}  // namespace

uint32_t ChorusLength(uint32_t n) {
  uint32_t stretched[3];
  uint32_t total = 0;
  return StageLengths(n, stretched, total) ? total : 0;  // 0: too long to be held
}

bool BuildChorus(std::span<const int16_t> data, std::vector<int16_t>& out) {
  static_assert(std::endian::native == std::endian::little, "the rebuild writes little-endian values");
  if (data.size() > kMaxValues) return false;
  std::vector<double> workspace;
  return Rebuild([data](uint32_t i) { return int32_t{data[i]}; }, static_cast<uint32_t>(data.size()),
                 [&out](uint32_t total) -> uint8_t* {
                   try {
                     out.resize(total);
                   } catch (const std::exception&) {
                     return nullptr;
                   }
                   return reinterpret_cast<uint8_t*>(out.data());
                 },
                 workspace);
}

void RebuildSample(Sample& sample) {
  std::vector<double> workspace;
  RebuildSample(sample, workspace);
}

void RebuildSample(Sample& sample, std::vector<double>& workspace) {
  const uint8_t* pcm = sample.pcm.get();
  std::unique_ptr<uint8_t[]> rebuilt;
  uint32_t total = 0;
  if (sample.bitsPerSample == 16 && sample.channels == 1) {
    // 16-bit mono: the data as one stream of values, whatever the stored blockAlign says.
    const uint32_t n = pcm != nullptr ? sample.dataSize / 2 : 0;  // an odd last byte is dropped
    const bool done = Rebuild([pcm](uint32_t i) { return platform::LoadSample16(pcm + 2 * i); }, n,
                              [&rebuilt, &total](uint32_t values) {
                                rebuilt.reset(new (std::nothrow) uint8_t[size_t{values} * 2]);
                                total = values;
                                return rebuilt.get();
                              },
                              workspace);
    // Only now is the old data let go: a failed allocation leaves the sample as it was.
    if (done) sample.SetData(std::move(rebuilt), total * 2);
    return;
  }
  // 8-bit data, or data of more than one channel (which the renderer plays as two): each
  // channel rebuilt on its own from the values the renderer plays (8-bit ones at their
  // level, -128 to 127) into 16-bit values, interleaved as the recording's were. Each
  // channel keeps its own peak, and so the stereo image.
  const uint32_t frames = sample.ReadableFrames();
  const uint32_t layoutChannels = sample.channels == 1 ? 1u : 2u;
  std::unique_ptr<uint8_t[]> channel;
  for (uint32_t c = 0; c < layoutChannels; ++c) {
    const bool done =
        Rebuild([&sample, c](uint32_t i) { return int32_t{sample.GetValue(i, static_cast<int>(c))}; }, frames,
                [&channel, &total](uint32_t values) {
                  channel.reset(new (std::nothrow) uint8_t[size_t{values} * 2]);
                  total = values;
                  return channel.get();
                },
                workspace);
    if (!done || uint64_t{total} * 2 * layoutChannels > 0xFFFFFFFFu) return;  // dataSize is 32 bits
    if (!rebuilt) {
      rebuilt.reset(new (std::nothrow) uint8_t[size_t{total} * 2 * layoutChannels]);
      if (!rebuilt) return;
    }
    for (size_t k = 0; k < total; ++k) {
      const size_t to = 2 * (k * layoutChannels + c);
      rebuilt[to] = channel[2 * k];
      rebuilt[to + 1] = channel[2 * k + 1];
    }
  }
  // The fields change with the data, and only now: a failure above leaves the sample as
  // it was. The loader rebuilds a sample that no render reads yet.
  sample.bitsPerSample = 16;
  sample.channels = layoutChannels;
  sample.blockAlign = 2 * layoutChannels;
  sample.SetData(std::move(rebuilt), total * 2 * layoutChannels);
}

}  // namespace chantera
