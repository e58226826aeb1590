// chantera-voice loop (see loop.h). The file is rewritten through a temporary file and a
// rename, so that a failure never leaves half a recording.
#include "tools/voice/loop.h"

#include <cstdio>
#include <fstream>

#include "library/sample.h"
#include "library/wave_reader.h"
#include "library/wave_writer.h"

namespace chantera::voice {

bool SetSustainLoop(const std::filesystem::path& file, uint32_t first, uint32_t last, std::string& done,
                    std::string& error) {
  const std::string shown = file.string();
  uint32_t frames = 0, rate = 0;
  std::error_code code;
  if (!std::filesystem::exists(file, code)) {
    error = shown + ": no such file";
    return false;
  }
  if (std::filesystem::is_directory(file, code)) {
    error = shown + ": a folder, not a WAV file";
    return false;
  }
  {
    WaveReader reader;
    if (reader.Open(shown.c_str()) != kWaveOk || reader.format.blockAlign == 0) {
      error = shown + ": not a RIFF/WAVE file with a \"fmt \" chunk and a \"data\" chunk after it";
      return false;
    }
    frames = reader.dataSize / reader.format.blockAlign;
    rate = reader.format.samplesPerSec;
  }
  if (last < first || last >= frames || last - first + 1 < Sample::kMinLoopFrames) {
    error = shown + ": frames " + std::to_string(first) + "-" + std::to_string(last) +
            " make no loop the instrument plays (the file has " + std::to_string(frames) +
            " frames; a loop needs at least " + std::to_string(Sample::kMinLoopFrames) + ")";
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  const std::string looped = WithSustainLoop(bytes, WaveLoop{first, last});
  if (looped.empty()) {
    error = shown + ": its chunks cannot be walked; the file is unchanged";
    return false;
  }
  std::filesystem::path temporary = file;
  temporary += ".looping";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(looped.data(), static_cast<std::streamsize>(looped.size()));
    if (!out) {
      error = temporary.string() + ": cannot be written; the file is unchanged";
      return false;
    }
  }
  std::filesystem::rename(temporary, file, code);
  if (code) {
    std::filesystem::remove(temporary, code);
    error = shown + ": cannot be replaced; the file is unchanged";
    return false;
  }
  char text[160];
  std::snprintf(text, sizeof text, ": sustain loop over frames %u-%u (%u frames, %.1f ms)", first, last,
                last - first + 1, rate > 0 ? 1000.0 * double(last - first + 1) / rate : 0.0);
  done = shown + text;
  return true;
}

}  // namespace chantera::voice
