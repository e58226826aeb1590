// WAV data encodings and their conversion to 16-bit values (see wave_decode.h).
#include "library/wave_decode.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "library/wave_reader.h"
#include "platform/bytes.h"

namespace chantera {
namespace {

constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagALaw = 6;
constexpr uint16_t kTagMuLaw = 7;
constexpr uint16_t kTagExtensible = 0xFFFE;

// The standard sub-format GUIDs are {tag-0000-0010-8000-00AA00389B71}: the bytes after the
// 16-bit tag. Others (ambisonic formats, vendors' codecs) are not plain samples.
constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint32_t StoredBytes(WaveEncoding encoding) {
  switch (encoding) {
    case WaveEncoding::kSigned24:
      return 3;
    case WaveEncoding::kSigned32:
    case WaveEncoding::kFloat32:
      return 4;
    case WaveEncoding::kFloat64:
      return 8;
    case WaveEncoding::kSigned16:
      return 2;
    default:
      return 1;
  }
}

int16_t Clipped(int64_t v) {
  return static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
}

int16_t FromFloat(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<int16_t>(std::lround(std::clamp(v * 32768.0, -32768.0, 32767.0)));
}

// G.711 expansions: a 13-bit (A-law) or 14-bit (mu-law) magnitude at 16-bit scale.
int16_t FromALaw(uint8_t code) {
  const unsigned a = code ^ 0x55u;
  const unsigned segment = (a & 0x70u) >> 4;
  int32_t magnitude = static_cast<int32_t>((a & 0x0Fu) << 4) + (segment == 0 ? 8 : 0x108);
  if (segment > 1) magnitude <<= segment - 1;
  return static_cast<int16_t>((a & 0x80u) != 0 ? magnitude : -magnitude);
}

int16_t FromMuLaw(uint8_t code) {
  const unsigned u = ~code & 0xFFu;
  const int32_t magnitude = ((static_cast<int32_t>(u & 0x0Fu) << 3) + 0x84) << ((u & 0x70u) >> 4);
  return static_cast<int16_t>((u & 0x80u) != 0 ? 0x84 - magnitude : magnitude - 0x84);
}

}  // namespace

WaveEncoding EncodingOf(const WaveReader& reader) noexcept {
  const WaveFormat& format = reader.format;
  uint16_t tag = format.formatTag;
  if (tag == kTagExtensible) {
    const uint8_t* guid = reader.extension.subFormat;
    if (!reader.hasExtension || std::memcmp(guid + 2, kGuidTail, sizeof kGuidTail) != 0)
      return WaveEncoding::kUnreadable;
    tag = static_cast<uint16_t>(guid[0] | guid[1] << 8);
  }
  const uint16_t bits = format.bitsPerSample;
  switch (tag) {
    case kTagPcm:
      if (bits == 8) return WaveEncoding::kUnsigned8;
      if (bits == 16) return WaveEncoding::kSigned16;
      if (bits == 24) return WaveEncoding::kSigned24;
      if (bits == 32) return WaveEncoding::kSigned32;
      break;
    case kTagFloat:
      if (bits == 32) return WaveEncoding::kFloat32;
      if (bits == 64) return WaveEncoding::kFloat64;
      break;
    case kTagALaw:
      if (bits == 8) return WaveEncoding::kALaw;
      break;
    case kTagMuLaw:
      if (bits == 8) return WaveEncoding::kMuLaw;
      break;
    default:
      break;
  }
  return WaveEncoding::kUnreadable;
}

int16_t DecodeTo16(WaveEncoding encoding, const uint8_t* p) noexcept {
  switch (encoding) {
    case WaveEncoding::kUnsigned8:
      return static_cast<int16_t>(p[0] - 128);
    case WaveEncoding::kSigned16:
      return static_cast<int16_t>(platform::LoadSample16(p));
    case WaveEncoding::kSigned24: {
      const auto v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                                          static_cast<uint32_t>(p[2]) << 24) >>
                     8;
      return Clipped((int64_t{v} + 128) >> 8);
    }
    case WaveEncoding::kSigned32: {
      uint32_t bits = 0;
      std::memcpy(&bits, p, 4);
      return Clipped((int64_t{static_cast<int32_t>(bits)} + 32768) >> 16);
    }
    case WaveEncoding::kFloat32: {
      float v = 0.0f;
      std::memcpy(&v, p, 4);
      return FromFloat(v);
    }
    case WaveEncoding::kFloat64: {
      double v = 0.0;
      std::memcpy(&v, p, 8);
      return FromFloat(v);
    }
    case WaveEncoding::kALaw:
      return FromALaw(p[0]);
    case WaveEncoding::kMuLaw:
      return FromMuLaw(p[0]);
    case WaveEncoding::kUnreadable:
      break;
  }
  return 0;
}

std::unique_ptr<uint8_t[]> ConvertTo16(WaveEncoding encoding, std::span<const uint8_t> data, uint32_t& size) {
  const uint32_t width = StoredBytes(encoding);
  const uint64_t count = data.size() / width;
  size = 0;
  // 8-bit codes become twice their bytes: more than 2 GB of them cannot be held.
  if (count * 2 > 0xFFFFFFFFu) return nullptr;
  std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[count == 0 ? 1 : static_cast<size_t>(count) * 2]);
  if (!out) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    const auto v = static_cast<uint16_t>(DecodeTo16(encoding, data.data() + i * width));
    out[2 * size_t{i}] = static_cast<uint8_t>(v & 0xFFu);
    out[2 * size_t{i} + 1] = static_cast<uint8_t>(v >> 8);
  }
  size = static_cast<uint32_t>(count * 2);
  return out;
}

}  // namespace chantera
