// Loading one WAV file into a Sample, and the bounds that keep GetValue inside the data.
#include "library/sample.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "library/wave_reader.h"
#include "platform/platform.h"

namespace chantera {
namespace {

// Read in pieces: the reader's count is a signed 32-bit number.
constexpr uint32_t kReadPiece = 1u << 30;

}  // namespace

void Sample::SetData(std::unique_ptr<uint8_t[]> data, uint32_t size) noexcept {
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
  if (got < claimed) return false;
  return reader.Close() == 0;
}

}  // namespace chantera
