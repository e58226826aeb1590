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

struct AudioFileWriter::SndFile {
  SNDFILE* handle;
};

AudioFileWriter::~AudioFileWriter() {
  if (file_ != nullptr) sf_close(file_->handle);
  delete file_;
}

bool AudioFileWriter::Open(const std::string& path, AudioFormat format, int sampleRate, std::string& error) {
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
  path_ = path;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    error = path + ": cannot write the audio file (" + sf_strerror(nullptr) + ")";
    return false;
  }
  // A float WAV gets a PEAK chunk with the time of writing unless told otherwise.
  sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
  // Values beyond full scale are clipped rather than wrapped in integer formats.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  file_ = new SndFile{file};
  return true;
}

bool AudioFileWriter::Write(const float* interleaved, int64_t frames, std::string& error) {
  if (file_ == nullptr) {
    error = path_ + ": the audio file is not open";
    return false;
  }
  if (frames <= 0) return true;
  if (sf_writef_float(file_->handle, interleaved, static_cast<sf_count_t>(frames)) != frames) {
    error = path_ + ": writing the audio failed (disk full?)";
    return false;
  }
  return true;
}

bool AudioFileWriter::Close(std::string& error) {
  if (file_ == nullptr) return true;
  const int closed = sf_close(file_->handle);
  delete file_;
  file_ = nullptr;
  if (closed != 0) {
    error = path_ + ": writing the audio failed (disk full?)";
    return false;
  }
  return true;
}

bool WriteAudioFile(const std::string& path, AudioFormat format, int sampleRate, const std::vector<float>& interleaved,
                    std::string& error) {
  AudioFileWriter writer;
  if (!writer.Open(path, format, sampleRate, error)) return false;
  const bool written = writer.Write(interleaved.data(), static_cast<int64_t>(interleaved.size() / 2), error);
  std::string closeError;
  const bool closed = writer.Close(closeError);
  if (written && !closed) error = closeError;
  return written && closed;
}

}  // namespace chantera::render
