// The RIFF file layout both the WAV reader (a stream, wave_reader.cpp) and the WAV writer
// (bytes in memory, wave_writer.cpp) walk: chunk ids, the 8-byte chunk header, the even
// padding of each payload, and the "smpl" chunk's layout.
#pragma once

#include <cstdint>

#include "platform/bytes.h"

namespace chantera::riff {

constexpr uint32_t FourCC(const char (&code)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(code[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[3])) << 24;
}

constexpr uint32_t kRiff = FourCC("RIFF");
constexpr uint32_t kList = FourCC("LIST");
constexpr uint32_t kWave = FourCC("WAVE");
constexpr uint32_t kFmt = FourCC("fmt ");
constexpr uint32_t kData = FourCC("data");
constexpr uint32_t kSmpl = FourCC("smpl");

constexpr uint32_t kHeaderBytes = 8;  // id, then the payload's size
// A RIFF file: "RIFF", its size, then the form type ("WAVE").
constexpr uint32_t kFormHeaderBytes = 12;

// The "smpl" chunk: 36 bytes of header (the loop count at byte 28), then 24 bytes per
// loop (type at 4, 0 forward; start at 8; last frame at 12).
constexpr uint32_t kSmplHeader = 36;
constexpr uint32_t kSmplLoop = 24;

// One chunk as its header describes it, for a header read at offset `at` of the file.
struct Chunk {
  uint32_t id = 0;
  uint32_t size = 0;     // the payload's stored size
  uint64_t payload = 0;  // where the payload starts
  uint64_t next = 0;     // where the next chunk starts: the payload padded to an even length
  bool HasFormType() const noexcept { return id == kRiff || id == kList; }
};

inline Chunk ChunkAt(const uint8_t* header, uint64_t at) noexcept {
  Chunk chunk;
  chunk.id = platform::LoadLe32(header);
  chunk.size = platform::LoadLe32(header + 4);
  chunk.payload = at + kHeaderBytes;
  chunk.next = chunk.payload + chunk.size + (chunk.size & 1u);
  return chunk;
}

}  // namespace chantera::riff
