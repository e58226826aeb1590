// Loading one WAV file into a Sample, and the bounds that keep GetValue inside the data.
#include "library/sample.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "library/wave_reader.h"
#include "platform/platform.h"

namespace chantera {
namespace {

// Read in pieces: the reader's count is a signed 32-bit number.
constexpr uint32_t kReadPiece = 1u << 30;

// The loop's crossfade: 10 ms of the sound around the loop's start (at the sample's own
// rate), at most half the loop.
constexpr double kLoopFadeSeconds = 0.010;

// The stored values of one channel as GetValue reads them, and their inverse.
struct Values {
  uint8_t* pcm;
  bool sixteen;
  uint32_t channels;
  uint32_t channel;
  uint32_t Index(uint32_t frame) const { return channels == 1 ? frame : 2u * frame + channel; }
  int32_t Get(uint32_t frame) const {
    const uint32_t i = Index(frame);
    if (sixteen) return static_cast<int16_t>(static_cast<uint16_t>(pcm[2u * i] | (pcm[2u * i + 1] << 8)));
    return static_cast<int32_t>(pcm[i]) - 128;
  }
  void Set(uint32_t frame, double value) const {
    const uint32_t i = Index(frame);
    const long rounded = std::lround(value);
    if (sixteen) {
      const auto v = static_cast<uint16_t>(static_cast<int16_t>(std::clamp<long>(rounded, -32768, 32767)));
      pcm[2u * i] = static_cast<uint8_t>(v & 0xFFu);
      pcm[2u * i + 1] = static_cast<uint8_t>(v >> 8);
    } else {
      pcm[i] = static_cast<uint8_t>(std::clamp<long>(rounded, -128, 127) + 128);
    }
  }
};

// True when the loop's wrap (last looped frame, then the first) steps no further than the
// sound itself does on either side of it: such a loop was cut well and is left alone.
bool SeamIsSmooth(const Values& v, uint32_t start, uint32_t end) {
  const int32_t seam = std::abs(v.Get(start) - v.Get(end - 1));
  const int32_t before = std::abs(v.Get(end - 1) - v.Get(end - 2));
  const int32_t after = std::abs(v.Get(start + 1) - v.Get(start));
  return seam <= 2 * std::max(before, after) + 2;
}

// Makes the loop's wrap seamless without changing its length: the frames just before the
// loop's end are blended toward the frames just before its start, and the frames from its
// end on toward the frames from its start on, both fully at the end itself and fading to
// the recording's own sound within `fade` frames. So the last looped frame is the frame
// before the start (the wrap continues the sound as it was), and a released note, which
// plays on through the end, also passes it without a step. With no sound before the loop
// (a loop from frame 0) the start is blended toward what follows the end instead.
void CrossfadeSeam(const Values& v, uint32_t start, uint32_t end, uint32_t frames, uint32_t fade) {
  const uint32_t length = end - start;
  const uint32_t pre = std::min({fade, start, length / 2});
  const uint32_t post = std::min({fade, frames - end, length / 2});
  for (uint32_t k = 1; k <= pre; ++k) {  // frames end - k, blended toward start - k
    const double w = static_cast<double>(pre + 1 - k) / pre;
    const double a = v.Get(end - k);
    v.Set(end - k, a + w * (v.Get(start - k) - a));
  }
  if (pre != 0) {
    for (uint32_t k = 0; k < post; ++k) {  // frames end + k, blended toward start + k
      const double w = static_cast<double>(post - k) / post;
      const double a = v.Get(end + k);
      v.Set(end + k, a + w * (v.Get(start + k) - a));
    }
  } else {
    for (uint32_t k = 0; k < post; ++k) {  // frames start + k, blended toward end + k
      const double w = static_cast<double>(post - k) / post;
      const double a = v.Get(start + k);
      v.Set(start + k, a + w * (v.Get(end + k) - a));
    }
  }
}

}  // namespace

bool Sample::SetLoop(uint32_t firstFrame, uint32_t lastFrame) noexcept {
  ClearLoop();
  if (!pcm || lastFrame < firstFrame || lastFrame >= readableFrames) return false;
  if (lastFrame - firstFrame + 1 < kMinLoopFrames) return false;
  loopStart = firstFrame;
  loopEnd = lastFrame + 1;
  const auto fade = static_cast<uint32_t>(std::max(1.0, kLoopFadeSeconds * sampleRate));
  const uint32_t layoutChannels = channels == 1 ? 1u : 2u;
  for (uint32_t c = 0; c < layoutChannels; ++c) {
    const Values values{pcm.get(), bitsPerSample == 16, channels, c};
    if (!SeamIsSmooth(values, loopStart, loopEnd)) CrossfadeSeam(values, loopStart, loopEnd, readableFrames, fade);
  }
  return true;
}

void Sample::SetData(std::unique_ptr<uint8_t[]> data, uint32_t size) noexcept {
  ClearLoop();
  pcm = std::move(data);
  dataSize = pcm ? size : 0;
  UpdateLayout();
}

void Sample::UpdateLayout() noexcept {
  if (!pcm || blockAlign == 0) {
    readableFrames = 0;
    return;
  }
  // GetValue reads by bitsPerSample and channels, not by blockAlign: a file whose
  // blockAlign is smaller than its frames really are would let the last frames read past
  // the data, so the frame count is also limited by what GetValue touches per frame.
  const uint32_t bytesPerFrame = bitsPerSample == 16 ? (channels == 1 ? 2u : 4u) : (channels == 1 ? 1u : 2u);
  readableFrames = std::min(dataSize / blockAlign, dataSize / bytesPerFrame);
}

bool Sample::LoadFromWav(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  WaveReader reader;
  if (reader.Open(path) != 0) {
    platform::ShowMessage("Wave file load failed.", "Error");
    return false;
  }

  // The data chunk's stored size is not checked against the file: never allocate more
  // than the file can still supply, so a corrupt header cannot claim gigabytes.
  const uint32_t claimed = reader.dataSize;
  const uint32_t capacity = static_cast<uint32_t>(std::min<uint64_t>(claimed, reader.BytesRemaining()));
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[capacity == 0 ? 1 : capacity]);
  if (!buffer) return false;  // out of memory: the sample keeps what it had

  uint32_t got = 0;
  while (got < capacity) {
    const uint32_t want = std::min(capacity - got, kReadPiece);
    const int32_t n = reader.Read(buffer.get() + got, static_cast<int32_t>(want));
    if (n > 0) got += static_cast<uint32_t>(n);
    if (n < 0 || static_cast<uint32_t>(n) < want) break;  // end of file or read error
  }

  sampleRate = reader.format.samplesPerSec;
  bitsPerSample = reader.format.bitsPerSample;
  channels = reader.format.channels;
  blockAlign = reader.format.blockAlign;
  pcm = std::move(buffer);
  // Only the bytes that arrived count as data; the sample plays what the file holds.
  dataSize = got;
  UpdateLayout();
  ClearLoop();
  if (got < claimed) return false;
  // A sustain loop is optional: a file without one, or with one that cannot be used,
  // plays once as before, with no message.
  uint32_t loopFirst = 0, loopLast = 0;
  if (reader.ReadLoop(loopFirst, loopLast)) SetLoop(loopFirst, loopLast);
  return reader.Close() == 0;
}

}  // namespace chantera
