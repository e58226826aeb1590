// What a WAV file's sample data are, and their conversion to the values the renderer
// plays. The renderer reads 8-bit and 16-bit PCM as stored (and its kernels are exact on
// them); every other encoding that holds plain samples is converted once, at load, to
// 16-bit values, so that a recording exported at 24 bits or in floats sounds as it was
// recorded. Data that are not plain samples (ADPCM, MP3, an unknown sub-format of the
// extensible format, PCM of another size) are unreadable: the loader refuses the file
// rather than play its bytes as noise.
// Thread: any; the conversion allocates, so never the audio thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace chantera {

class WaveReader;

enum class WaveEncoding : uint8_t {
  kUnreadable,
  kUnsigned8,  // played as stored
  kSigned16,   // played as stored
  kSigned24,   // the rest are converted to 16 bits at load
  kSigned32,
  kFloat32,
  kFloat64,
  kALaw,
  kMuLaw,
};

// The encoding of an opened file's data: from its format tag (for the extensible format,
// the tag that its sub-format stands for) and its bits per sample.
WaveEncoding EncodingOf(const WaveReader& reader) noexcept;

// True for the encodings that the loader converts to 16-bit values.
constexpr bool IsConverted(WaveEncoding encoding) {
  return encoding != WaveEncoding::kUnreadable && encoding != WaveEncoding::kUnsigned8 &&
         encoding != WaveEncoding::kSigned16;
}

// The value of one stored sample as a 16-bit one: 8-bit and 16-bit values as the renderer
// reads them (unsigned 8-bit minus 128, so at 1/256 of 16-bit full scale), wider integers
// rounded to the nearest, floats scaled by 32768 (so 16-bit values written as floats come back
// exactly), rounded and clipped to full scale, NaN as 0; A-law and mu-law as G.711 decodes
// them. p points at the sample's bytes (little-endian).
int16_t DecodeTo16(WaveEncoding encoding, const uint8_t* p) noexcept;

// The data of a converted encoding as 16-bit little-endian values, one for each whole
// stored value, in the same order; size receives their byte count. Null when no memory
// can be had.
std::unique_ptr<uint8_t[]> ConvertTo16(WaveEncoding encoding, std::span<const uint8_t> data, uint32_t& size);

}  // namespace chantera
