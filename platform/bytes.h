// Little-endian integers in byte buffers: the one reader and writer of RIFF fields, WAV
// sample data and the bytes the instrument writes. Thread: any; noexcept, allocation-free
// (but the appending writers).
#pragma once

#include <cstdint>
#include <string>

namespace chantera::platform {

inline uint16_t LoadLe16(const uint8_t* bytes) noexcept {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}
// A signed 16-bit sample value.
inline int32_t LoadSample16(const uint8_t* bytes) noexcept {
  return static_cast<int16_t>(LoadLe16(bytes));
}
inline uint32_t LoadLe32(const uint8_t* bytes) noexcept {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}
inline void StoreLe16(uint8_t* bytes, uint16_t value) noexcept {
  bytes[0] = static_cast<uint8_t>(value & 0xFF);
  bytes[1] = static_cast<uint8_t>(value >> 8);
}
inline void StoreLe32(uint8_t* bytes, uint32_t value) noexcept {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
}
// The same, appended to a byte string (file images being built).
inline void AppendLe16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}
inline void AppendLe32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace chantera::platform
