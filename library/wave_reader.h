// A RIFF/WAVE reader: walks the chunks to "fmt " and then to "data", keeps the leading
// 18 bytes of the format (and the extensible format's 22 further bytes, when the chunk
// holds them) and the data size, and leaves the file positioned at the first byte of the
// data. Status codes are those of the Windows multimedia file functions it
// stands in for.
// Thread: used by one thread from construction to discard.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

namespace chantera {

enum WaveStatus : uint32_t {
  kWaveOk = 0,
  kWaveFileNotFound = 257,   // empty file name
  kWaveCannotOpen = 259,     // the reader already holds a file
  kWaveCannotRead = 261,     // the "fmt " chunk is shorter than it must be
  kWaveChunkNotFound = 265,  // no RIFF/WAVE, no "fmt ", or no "data" after it
  kWaveOpenFailed = 256,     // the file cannot be opened (missing, access denied, ...)
  kWaveCannotClose = 260,    // closing the file failed
  kWaveCannotSeek = 263,     // the file position cannot be set
};

struct ChunkInfo {  // the five fields of the platform's chunk record
  uint32_t ckid = 0;
  uint32_t cksize = 0;
  uint32_t fccType = 0;
  uint32_t dwDataOffset = 0;
  uint32_t dwFlags = 0;
};

#pragma pack(push, 1)
struct WaveFormat {  // WAVEFORMATEX, 18 bytes
  uint16_t formatTag;
  uint16_t channels;
  uint32_t samplesPerSec;
  uint32_t avgBytesPerSec;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
  uint16_t extraSize;
};
// The 22 bytes that follow WAVEFORMATEX in a 40-byte WAVE_FORMAT_EXTENSIBLE "fmt " chunk.
struct WaveFormatExtension {
  uint16_t validBitsPerSample;
  uint32_t channelMask;
  uint8_t subFormat[16];  // a GUID; the standard ones begin with the format tag they stand for
};
#pragma pack(pop)
static_assert(sizeof(WaveFormat) == 18);
static_assert(sizeof(WaveFormatExtension) == 22);

class WaveReader {
 public:
  WaveReader() = default;
  virtual ~WaveReader();  // closes a file the reader still holds
  WaveReader(const WaveReader&) = delete;
  WaveReader& operator=(const WaveReader&) = delete;

  uint32_t Open(const char* fileName);
  // Reads up to count bytes at the current position; the count read, 0 at the end, -1 on error.
  int32_t Read(void* buffer, int32_t count);
  uint32_t Close();

  // The first forward loop of the file's "smpl" chunk, as stored (start frame, and the
  // last frame of the loop, inclusive). Call after Open succeeded and the data was read:
  // a "smpl" chunk passed on the way to "data" is remembered, one after the data is
  // looked for from there. False when there is none, or when the chunk is damaged (too
  // short for its header, or counting more loops than it holds).
  bool ReadLoop(uint32_t& start, uint32_t& lastFrame);

  // Bytes from the current position to the end of the file (0 when closed). Callers cap
  // their allocations with it: a chunk's stored size is not checked against the file.
  uint64_t BytesRemaining();

  platform::File handle;
  ChunkInfo riffChunk;
  ChunkInfo subChunk;
  uint32_t dataSize = 0;
  WaveFormat format{};
  // Read when the "fmt " chunk is 40 bytes or more (whatever its tag); valid when
  // hasExtension.
  WaveFormatExtension extension{};
  bool hasExtension = false;

 private:
  // The platform's descend with MMIO_FINDRIFF (no parent) or MMIO_FINDCHUNK (inside parent).
  uint32_t Descend(ChunkInfo& chunk, const ChunkInfo* parent, bool findRiff);
  // The platform's ascend: to the end of chunk's payload, padded to an even length.
  void Ascend(const ChunkInfo& chunk);
  bool ReadExact(void* buffer, uint32_t count);
  // Moves to an absolute position; a move to where the stream already is makes no call.
  bool SeekTo(uint64_t position);

  ChunkInfo smplChunk_;  // a "smpl" chunk that a search passed over (ckid 0: none seen)
  ChunkInfo dataChunk_;
  uint64_t fileSize_ = 0;
  uint64_t position_ = 0;  // the stream's position, followed here rather than asked for
};

}  // namespace chantera
