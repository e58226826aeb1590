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

// Writes interleaved stereo frames. On failure returns false with a message naming the file.
bool WriteAudioFile(const std::string& path, AudioFormat format, int sampleRate, const std::vector<float>& interleaved,
                    std::string& error);

}  // namespace chantera::render
