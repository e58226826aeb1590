// A "samples.txt" through the sample bank. The voice folder holds two small WAV files
// that lines may name; other names fail to open (messages silenced).
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.h"
#include "library/sample_bank.h"

namespace {
const uint8_t kWav[] = {'R', 'I', 'F', 'F', 40,  0,   0,   0,   'W',  'A',  'V', 'E', 'f',  'm',  't', ' ',
                        16,  0,   0,   0,   1,   0,   1,   0,   0x44, 0xAC, 0,   0,   0x88, 0x58, 1,   0,
                        2,   0,   16,  0,   'd', 'a', 't', 'a', 4,    0,    0,   0,   1,    0,    2,   0};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chantera;
  static const bool prepared = [] {
    fuzz::WriteInput("a.wav", kWav, sizeof kWav);
    fuzz::WriteInput("B.WAV", kWav, sizeof kWav);
    return true;
  }();
  (void)prepared;
  fuzz::WriteInput("samples.txt", data, size);
  static SampleBank bank;  // slots are reused from one list to the next, as in use
  bank.LoadSampleList(fuzz::Folder().c_str(), "/");
  const int32_t count = bank.sampleCount;
  if (count < 0 || count > kSampleSlots) std::abort();
  for (int32_t i = 0; i < count; ++i) {
    const Sample* sample = bank.slot(i);
    if (sample == nullptr) continue;
    if (bank.FindSample(sample->fileName.c_str()) > i) std::abort();
  }
  return 0;
}
