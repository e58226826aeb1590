// Writing 16-bit PCM WAV files: the demo voice generator, the voice tools and the tests
// all write their recordings through here. A file with a sustain loop carries a "smpl"
// chunk after "data" (one forward loop), which readers that only walk "fmt " and "data"
// skip like any other chunk.
// Thread: any thread; never the audio thread (it allocates and writes files).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace chantera {

// A sustain loop in frames, as a "smpl" chunk stores it: end is the last frame played
// before the loop starts again (inclusive).
struct WaveLoop {
  uint32_t start = 0;
  uint32_t end = 0;
};

// The bytes of a WAV file of interleaved 16-bit samples: whole frames of channels values.
std::string WaveFileBytes(std::span<const int16_t> samples, uint16_t channels, uint32_t sampleRate,
                          const WaveLoop* loop = nullptr);

// A WAV file image with its sustain loop set: every "smpl" chunk of wav is dropped and one
// holding loop is added at the end; the other chunks (the audio above all) stay as they
// are, byte for byte. Empty when wav is not a RIFF/WAVE image whose chunks can be walked.
std::string WithSustainLoop(const std::string& wav, const WaveLoop& loop);

// Writes WaveFileBytes to path; false when the file cannot be written.
bool WriteWaveFile(const std::filesystem::path& path, std::span<const int16_t> samples, uint16_t channels,
                   uint32_t sampleRate, const WaveLoop* loop = nullptr);

}  // namespace chantera
