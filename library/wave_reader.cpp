// A RIFF walker on a stdio stream that takes the steps of the Windows multimedia file
// functions (open, descend to RIFF/WAVE, descend to "fmt ", read, ascend, descend to
// "data") and answers with their status codes, so that callers see the same successes
// and failures on every platform.
//
// Every step is bounded by the file's size, taken once at Open: a chunk whose stored
// size runs past the end of the file can be found (a truncated "data" chunk opens, and
// shows up as a short Read), but it cannot be skipped over, so a search ends with 265
// instead of seeking beyond the file.
#include "library/wave_reader.h"

#include <algorithm>
#include <cstring>

#include "library/riff.h"
#include "platform/bytes.h"
#include "platform/platform.h"

namespace chantera {
namespace {

using riff::kData;
using riff::kFmt;
using riff::kSmpl;
using riff::kSmplHeader;
using riff::kSmplLoop;

// Loops looked at for a forward one: a real file has one or two.
constexpr uint32_t kSmplLoopsExamined = 64;

}  // namespace

WaveReader::~WaveReader() {
  // The sample loader discards a reader without closing it after a failed step or a
  // short read; the file must not stay open for the life of the process.
  Close();
}

bool WaveReader::ReadExact(void* buffer, uint32_t count) {
  const size_t got = std::fread(buffer, 1, count, handle.get());
  position_ += got;
  return got == count;
}

bool WaveReader::SeekTo(uint64_t position) {
  if (position == position_) return true;  // no call, and the stream keeps its buffer
  if (std::fseek(handle.get(), static_cast<long>(position), SEEK_SET) != 0) return false;
  position_ = position;
  return true;
}

uint64_t WaveReader::BytesRemaining() {
  if (handle == nullptr || position_ >= fileSize_) return 0;
  return fileSize_ - position_;
}

void WaveReader::Ascend(const ChunkInfo& chunk) {
  uint64_t end = static_cast<uint64_t>(chunk.dwDataOffset) + chunk.cksize + (chunk.cksize & 1u);
  // Seeking past the end is allowed by the platform; the next header read then fails.
  // Clamping keeps the offset representable in a long on every platform.
  end = std::min(end, fileSize_);
  SeekTo(end);
}

uint32_t WaveReader::Descend(ChunkInfo& chunk, const ChunkInfo* parent, bool findRiff) {
  uint64_t limit = fileSize_;
  if (parent != nullptr) limit = std::min(limit, static_cast<uint64_t>(parent->dwDataOffset) + parent->cksize);
  const uint32_t wantedId = findRiff ? riff::kRiff : chunk.ckid;
  const uint32_t wantedType = chunk.fccType;

  uint64_t position = position_;
  for (;;) {
    if (position + riff::kHeaderBytes > limit) return kWaveChunkNotFound;
    if (!SeekTo(position)) return kWaveCannotSeek;
    uint8_t header[riff::kHeaderBytes];
    if (!ReadExact(header, riff::kHeaderBytes)) return kWaveChunkNotFound;
    const riff::Chunk step = riff::ChunkAt(header, position);
    ChunkInfo found;
    found.ckid = step.id;
    found.cksize = step.size;
    found.dwDataOffset = static_cast<uint32_t>(step.payload);
    if (step.HasFormType()) {
      uint8_t type[4];
      if (position + 12 > limit || !ReadExact(type, 4)) return kWaveChunkNotFound;
      found.fccType = platform::LoadLe32(type);
    }
    if (found.ckid == wantedId && (!findRiff || found.fccType == wantedType)) {
      chunk = found;
      // Positioned after the form type for RIFF and LIST, at the payload otherwise.
      return 0;
    }
    if (parent != nullptr && found.ckid == kSmpl && smplChunk_.ckid == 0) smplChunk_ = found;
    // Skip this chunk, payload padded to an even length. One that claims to run past
    // what contains it cannot be skipped: the search ends there.
    if (step.next > limit) return kWaveChunkNotFound;
    position = step.next;
  }
}

uint32_t WaveReader::Open(const char* fileName) {
  if (handle != nullptr) return kWaveCannotOpen;
  dataSize = 0;
  if (fileName == nullptr || fileName[0] == '\0') return kWaveFileNotFound;

  handle = platform::OpenForReading(fileName);
  if (handle == nullptr) return kWaveOpenFailed;
  fileSize_ = platform::OpenFileSize(handle.get());
  position_ = 0;

  riffChunk = ChunkInfo{};
  smplChunk_ = ChunkInfo{};
  dataChunk_ = ChunkInfo{};
  riffChunk.fccType = riff::kWave;
  if (const uint32_t status = Descend(riffChunk, nullptr, true); status != 0) return status;

  subChunk = ChunkInfo{};
  subChunk.ckid = kFmt;
  if (const uint32_t status = Descend(subChunk, &riffChunk, false); status != 0) return status;

  std::memset(&format, 0, sizeof format);
  std::memset(&extension, 0, sizeof extension);
  hasExtension = false;
  const uint32_t n = std::min<uint32_t>(subChunk.cksize, sizeof format);
  if (Read(&format, static_cast<int32_t>(n)) != static_cast<int32_t>(n)) return kWaveCannotRead;
  // The extensible format's sub-format says what its data are. A chunk cut short there
  // opens all the same; without the sub-format its data count as unreadable.
  if (subChunk.cksize >= sizeof format + sizeof extension)
    hasExtension = Read(&extension, sizeof extension) == static_cast<int32_t>(sizeof extension);
  Ascend(subChunk);

  subChunk = ChunkInfo{};
  subChunk.ckid = kData;
  if (const uint32_t status = Descend(subChunk, &riffChunk, false); status != 0) return status;
  dataSize = subChunk.cksize;
  dataChunk_ = subChunk;
  return kWaveOk;
}

bool WaveReader::ReadLoop(uint32_t& start, uint32_t& lastFrame) {
  if (handle == nullptr || dataChunk_.ckid != kData) return false;
  if (smplChunk_.ckid != kSmpl) {
    Ascend(dataChunk_);
    ChunkInfo smpl;
    smpl.ckid = kSmpl;
    if (Descend(smpl, &riffChunk, false) != 0) return false;
    smplChunk_ = smpl;
  }
  const uint32_t size = smplChunk_.cksize;
  if (size < kSmplHeader || !SeekTo(smplChunk_.dwDataOffset)) return false;
  uint8_t header[kSmplHeader];
  if (!ReadExact(header, kSmplHeader)) return false;
  const uint32_t count = platform::LoadLe32(header + 28);
  if (count > (size - kSmplHeader) / kSmplLoop) return false;  // more loops than the chunk holds
  for (uint32_t i = 0; i < std::min(count, kSmplLoopsExamined); ++i) {
    uint8_t loop[kSmplLoop];
    if (!ReadExact(loop, kSmplLoop)) return false;
    if (platform::LoadLe32(loop + 4) != 0) continue;  // alternating or backward: not a sustain loop we play
    start = platform::LoadLe32(loop + 8);
    lastFrame = platform::LoadLe32(loop + 12);
    return true;
  }
  return false;
}

int32_t WaveReader::Read(void* buffer, int32_t count) {
  if (handle == nullptr || buffer == nullptr || count < 0) return -1;
  if (count == 0) return 0;
  const size_t got = std::fread(buffer, 1, static_cast<size_t>(count), handle.get());
  position_ += got;
  if (got == 0 && std::ferror(handle.get())) return -1;
  return static_cast<int32_t>(got);
}

uint32_t WaveReader::Close() {
  if (handle == nullptr) return 0;
  const int result = platform::CloseFile(handle);
  return result == 0 ? kWaveOk : kWaveCannotClose;
}

}  // namespace chantera
