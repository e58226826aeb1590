// Writing the rendered audio: WAV (16-bit, 24-bit, 32-bit float) or FLAC, through
// libsndfile. No time stamps are written, so the same audio always gives the same bytes.
// The file takes its name only once it is complete: a song that fails or is interrupted
// leaves no file that looks whole, and the file a previous render left there is kept.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/render/partial_file.h"

namespace chantera::render {

enum class AudioFormat { kWav16, kWav24, kWavFloat, kFlac16, kFlac24 };

// The format named by a --format value ("wav16", "wav24", "float", "flac", "flac24").
bool ParseAudioFormat(const std::string& name, AudioFormat& format);
// The extension of the format's files: ".wav" or ".flac".
const char* AudioExtension(AudioFormat format);
// The format of the file at path: the --format value name when given, which must agree
// with the path's extension (.wav for wav16, wav24 and float, .flac for flac and flac24),
// else the extension's (16-bit). A device or a pipe (-o /dev/null) takes any format,
// wav16 by default. False with what is wrong otherwise (an unknown --format, another
// extension or none).
bool AudioFormatForFile(const std::string& name, const std::string& path, AudioFormat& format, std::string& error);

// What the writer saw of the audio it wrote (after the gain).
struct AudioStats {
  int64_t frames = 0;
  float peak = 0.0f;       // the largest magnitude, before any clipping
  int64_t clipped = 0;     // samples beyond full scale, which an integer file clips
  int64_t firstClip = -1;  // the frame of the first of them
};

// An audio file written block by block as the song renders, so that a long song is never
// held in memory whole. The renderer's blocks are small (512 frames); the writer gathers
// them into one buffer of interleaved frames, already in the file's sample format where
// that is 16-bit WAV, and hands libsndfile a large piece at a time, so that neither the
// conversion nor the system calls are paid per block.
class AudioFileWriter {
 public:
  AudioFileWriter();
  ~AudioFileWriter();  // closes a file still open and removes it: it was not finished
  AudioFileWriter(const AudioFileWriter&) = delete;
  AudioFileWriter& operator=(const AudioFileWriter&) = delete;

  // Creates the file (stereo) under a temporary name beside path (PATH.partial); every
  // value written is multiplied by gain (linear). On failure returns false with a message
  // naming the file.
  bool Open(const std::string& path, AudioFormat format, int sampleRate, float gain, std::string& error);
  // Appends frames of the two channels. A value that is not finite is written as 0; in an
  // integer format, a value beyond full scale is clipped (and counted).
  bool Write(const float* left, const float* right, int64_t frames, std::string& error);
  // Finishes the file (its header holds the length only from here on) and renames it to
  // its path.
  bool Close(std::string& error);

  const AudioStats& stats() const { return stats_; }

 private:
  bool Flush(std::string& error);

  struct SndFile;
  std::unique_ptr<PartialFile> partial_;  // destroyed after the file is closed
  std::unique_ptr<SndFile> file_;
  std::string path_;
  bool shorts_ = false;  // 16-bit WAV: the buffer holds the file's own values
  bool clips_ = true;    // an integer format
  float gain_ = 1.0f;
  std::vector<int16_t> shortBuffer_;
  std::vector<float> floatBuffer_;
  int64_t buffered_ = 0;  // frames in the buffer
  AudioStats stats_;
};

}  // namespace chantera::render
