// A sung syllable for the voice tools' tests (voice_check_test.cpp, voice_import_test.cpp):
// the noise of a consonant, then a vowel at a given pitch, as 16-bit samples and as a WAV
// file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chantera::test {

// 100 ms of silence, 50 ms of noise (the consonant), 800 ms of a vowel at hz (harmonics
// falling off as 1/k), 100 ms of silence.
std::vector<int16_t> Sung(double hz, double rate = 44100.0);

// The bytes of a WAV file of 16-bit samples v (interleaved when channels > 1).
std::string Wav(const std::vector<int16_t>& v, uint32_t rate = 44100, uint16_t channels = 1);

}  // namespace chantera::test
