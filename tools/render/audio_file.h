// Writing the rendered audio: WAV (16-bit, 24-bit, 32-bit float) or FLAC, through
// libsndfile. No time stamps are written, so the same audio always gives the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chantera::render {

enum class AudioFormat { kWav16, kWav24, kWavFloat, kFlac16, kFlac24 };

// The format named by a --format value ("wav16", "wav24", "float", "flac", "flac24"), or
// chosen from the file name's extension when name is empty.
bool ParseAudioFormat(const std::string& name, const std::string& path, AudioFormat& format);

// An audio file written block by block as the song renders, so that a long song is never
// held in memory whole. The bytes are the same as those of one WriteAudioFile call.
class AudioFileWriter {
 public:
  AudioFileWriter() = default;
  ~AudioFileWriter();  // closes a file still open
  AudioFileWriter(const AudioFileWriter&) = delete;
  AudioFileWriter& operator=(const AudioFileWriter&) = delete;

  // Creates the file (stereo). On failure returns false with a message naming the file.
  bool Open(const std::string& path, AudioFormat format, int sampleRate, std::string& error);
  // Appends interleaved stereo frames; values beyond full scale are clipped.
  bool Write(const float* interleaved, int64_t frames, std::string& error);
  // Finishes the file (its header holds the length only from here on).
  bool Close(std::string& error);

 private:
  struct SndFile;
  SndFile* file_ = nullptr;
  std::string path_;
};

// Writes interleaved stereo frames. On failure returns false with a message naming the file.
bool WriteAudioFile(const std::string& path, AudioFormat format, int sampleRate, const std::vector<float>& interleaved,
                    std::string& error);

}  // namespace chantera::render
