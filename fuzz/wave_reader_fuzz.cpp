// A WAV file image through the RIFF walker and the sample loader, then every value the
// renderer could read from the result. The seed corpus holds each kind of data the loader
// reads (8, 16, 24-bit, float, mu-law, extensible) and replays under CTest.
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.h"
#include "library/sample.h"
#include "library/wave_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chantera;
  const std::string path = fuzz::WriteInput("input.wav", data, size);

  WaveReader reader;
  if (reader.Open(path.c_str()) == 0 && reader.BytesRemaining() > size) std::abort();

  Sample sample;
  sample.LoadFromWav(path.c_str());
  if (sample.ReadableFrames() > sample.dataSize) std::abort();
  // The renderer reads 16-bit values, and unsigned 8-bit ones as 8-bit data: a load leaves
  // data of no other width (wider ones and floats are converted, the rest refused).
  if (sample.bitsPerSample != 16 && sample.bitsPerSample != 8) std::abort();
  int64_t sum = 0;
  const uint32_t frames = sample.ReadableFrames();
  for (uint32_t f = 0; f <= frames; ++f) sum += sample.GetValue(f, 0) + sample.GetValue(f, 1);
  return sum == INT64_MIN;  // keeps the reads
}
