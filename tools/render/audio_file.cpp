#include "tools/render/audio_file.h"

#include <sndfile.h>

#include <algorithm>

namespace chantera::render {

bool ParseAudioFormat(const std::string& name, const std::string& path, AudioFormat& format) {
  if (name.empty()) {
    const bool flac = path.size() >= 5 && path.compare(path.size() - 5, 5, ".flac") == 0;
    format = flac ? AudioFormat::kFlac16 : AudioFormat::kWav16;
    return true;
  }
  if (name == "wav16" || name == "wav")
    format = AudioFormat::kWav16;
  else if (name == "wav24")
    format = AudioFormat::kWav24;
  else if (name == "float" || name == "wavfloat")
    format = AudioFormat::kWavFloat;
  else if (name == "flac" || name == "flac16")
    format = AudioFormat::kFlac16;
  else if (name == "flac24")
    format = AudioFormat::kFlac24;
  else
    return false;
  return true;
}

bool WriteAudioFile(const std::string& path, AudioFormat format, int sampleRate, const std::vector<float>& interleaved,
                    std::string& error) {
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = 2;
  switch (format) {
    case AudioFormat::kWav16:
      info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
      break;
    case AudioFormat::kWav24:
      info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
      break;
    case AudioFormat::kWavFloat:
      info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
      break;
    case AudioFormat::kFlac16:
      info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
      break;
    case AudioFormat::kFlac24:
      info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
      break;
  }
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    error = path + ": cannot write the audio file (" + sf_strerror(nullptr) + ")";
    return false;
  }
  // A float WAV gets a PEAK chunk with the time of writing unless told otherwise.
  sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
  // Values beyond full scale are clipped rather than wrapped in integer formats.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  const sf_count_t frames = static_cast<sf_count_t>(interleaved.size() / 2);
  const sf_count_t written = sf_writef_float(file, interleaved.data(), frames);
  const int closed = sf_close(file);
  if (written != frames || closed != 0) {
    error = path + ": writing the audio failed (disk full?)";
    return false;
  }
  return true;
}

}  // namespace chantera::render
