#include "library/wave_writer.h"

#include <fstream>

#include "library/riff.h"
#include "platform/bytes.h"

namespace chantera {
namespace {

// The "smpl" chunk of one forward loop that plays for ever.
std::string SmplChunk(uint32_t sampleRate, const WaveLoop& loop) {
  std::string out = "smpl";
  platform::AppendLe32(out, riff::kSmplHeader + riff::kSmplLoop);
  platform::AppendLe32(out, 0);                                                                         // manufacturer
  platform::AppendLe32(out, 0);                                                                         // product
  platform::AppendLe32(out, sampleRate != 0 ? static_cast<uint32_t>(1000000000ull / sampleRate) : 0u);  // ns per sample
  platform::AppendLe32(out, 60);                                                                        // unity note
  platform::AppendLe32(out, 0);  // pitch fraction
  platform::AppendLe32(out, 0);  // SMPTE format
  platform::AppendLe32(out, 0);  // SMPTE offset
  platform::AppendLe32(out, 1);  // loops
  platform::AppendLe32(out, 0);  // sampler data bytes
  platform::AppendLe32(out, 0);  // cue point
  platform::AppendLe32(out, 0);  // forward loop
  platform::AppendLe32(out, loop.start);
  platform::AppendLe32(out, loop.end);
  platform::AppendLe32(out, 0);  // fraction
  platform::AppendLe32(out, 0);  // play count: for ever
  return out;
}

}  // namespace

std::string WithSustainLoop(const std::string& wav, const WaveLoop& loop) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(wav.data());
  if (wav.size() < riff::kFormHeaderBytes || platform::LoadLe32(bytes) != riff::kRiff ||
      platform::LoadLe32(bytes + 8) != riff::kWave)
    return {};
  std::string out = wav.substr(0, riff::kFormHeaderBytes);
  uint32_t sampleRate = 0;
  uint64_t at = riff::kFormHeaderBytes;
  while (at + riff::kHeaderBytes <= wav.size()) {
    const riff::Chunk chunk = riff::ChunkAt(bytes + at, at);
    if (chunk.next > wav.size() + (chunk.size & 1u)) return {};  // a chunk that runs past the file
    if (chunk.id == riff::kFmt && chunk.size >= 8) sampleRate = platform::LoadLe32(bytes + chunk.payload + 4);
    if (chunk.id != riff::kSmpl) out.append(wav, static_cast<size_t>(at), static_cast<size_t>(chunk.next - at));
    at = chunk.next;
  }
  if (out.size() & 1u) out.push_back('\0');
  out += SmplChunk(sampleRate, loop);
  const auto riff = static_cast<uint32_t>(out.size() - 8);
  for (int k = 0; k < 4; ++k) out[4 + static_cast<size_t>(k)] = static_cast<char>(riff >> (8 * k));
  return out;
}

std::string WaveFileBytes(std::span<const int16_t> samples, uint16_t channels, uint32_t sampleRate,
                          const WaveLoop* loop) {
  const size_t frames = channels == 0 ? 0 : samples.size() / channels;
  const auto dataBytes = static_cast<uint32_t>(frames * channels * 2u);
  const uint32_t smplBytes = loop != nullptr ? riff::kSmplHeader + riff::kSmplLoop : 0u;
  std::string out;
  out.reserve(44u + dataBytes + (smplBytes != 0 ? 8u + smplBytes : 0u));
  out += "RIFF";
  platform::AppendLe32(out,
                       4u + (8u + 16u) + (8u + dataBytes + (dataBytes & 1u)) + (smplBytes != 0 ? 8u + smplBytes : 0u));
  out += "WAVEfmt ";
  platform::AppendLe32(out, 16);
  platform::AppendLe16(out, 1);  // PCM
  platform::AppendLe16(out, channels);
  platform::AppendLe32(out, sampleRate);
  platform::AppendLe32(out, sampleRate * channels * 2u);
  platform::AppendLe16(out, channels * 2u);
  platform::AppendLe16(out, 16);
  out += "data";
  platform::AppendLe32(out, dataBytes);
  for (size_t i = 0; i < frames * channels; ++i) platform::AppendLe16(out, static_cast<uint16_t>(samples[i]));
  if (loop != nullptr) out += SmplChunk(sampleRate, *loop);
  return out;
}

bool WriteWaveFile(const std::filesystem::path& path, std::span<const int16_t> samples, uint16_t channels,
                   uint32_t sampleRate, const WaveLoop* loop) {
  const std::string bytes = WaveFileBytes(samples, channels, sampleRate, loop);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  return static_cast<bool>(file);
}

}  // namespace chantera
