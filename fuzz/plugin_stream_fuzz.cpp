// A live instrument played by a fuzzed host: one SamplerPlugin per process, over a small
// library of two voices written at start-up, driven only through its AEffect record.
// Each input is a script of host calls: event lists (notes, controllers, phonetic NRPN
// sequences, bank selects between the two voices, pitch bends, registered-parameter
// ranges, raw and non-MIDI events, at any deltaFrames), blocks of any size, program
// selections, parameter sets (the Effect switch included), sample rates (0, negative,
// NaN among them), block sizes and suspend/resume. Every block must write every frame
// it was asked for, and only finite values.
//
// State carries over from one input to the next, as it does in a host's session.
// Parameter values stay in 0..1, the range the VST 2 contract gives them.
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "host/sampler_plugin.h"
#include "host/vst2.h"
#include "support/fixtures.h"

namespace {

using namespace chantera;
using namespace vst2;

constexpr int32_t kMaxBlock = 1 << 16;

// A sine of frames as a WAV file image of 8 or 16 bits per sample.
std::string Wav(uint16_t channels, uint16_t bits, uint32_t rate, uint32_t frames) {
  const std::vector<int16_t> values = test::Sine(frames * channels, 0.07 / channels, 0.6 * 32767);
  std::string data = test::Pcm16(values);
  if (bits == 8) {
    data.clear();
    for (int16_t v : values) data.push_back(static_cast<char>(128 + v / 256));
  }
  return test::MakeWav(data, {.channels = channels, .sampleRate = rate, .bitsPerSample = bits});
}

void Write(const std::string& relative, const std::string& bytes) {
  fuzz::WriteInput(relative, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Two voices: "va" with a 16-bit mono and an 8-bit stereo sample over every program, "vb"
// with one 16-bit stereo sample at another rate. Small, so that a bank select or the
// Effect switch (which reloads every file and rebuilds every sample) stays quick.
std::string WriteLibrary() {
  const std::string& dir = fuzz::Folder();
  Write("voice.csv", "A,va\r\nB,vb\r\n");
  if (mkdir((dir + "/va").c_str(), 0700) != 0 || mkdir((dir + "/vb").c_str(), 0700) != 0) std::abort();
  Write("va/lo.wav", Wav(1, 16, 44100, 400));
  Write("va/hi.wav", Wav(2, 8, 11025, 300));
  Write("va/samples.txt", "lo.wav,lo,48\r\nhi.wav,hi,72\r\n");
  std::string programs;
  for (int p = 0; p < 129; ++p) {
    programs += "Program\r\nP,0.9," + std::to_string(p % 13) + ",p" + std::to_string(p) + "\r\n";
    programs += p % 3 == 0 ? "S,0,60,lo.wav\r\nS,61,127,HI.WAV\r\n" : "S,0,127,hi.wav\r\n";
    programs += "End\r\n";
  }
  Write("va/programs.txt", programs);
  Write("vb/one.wav", Wav(2, 16, 22050, 500));
  Write("vb/samples.txt", "one.wav,one,60\r\n");
  Write("vb/programs.txt", "Program\r\nP,1.0,2,one\r\nS,0,127,one.wav\r\nEnd\r\n");
  return dir;
}

// The loader's pacing and the waits for it sleep in steps of 100 ms; a millisecond keeps
// the threads interleaving without slowing the fuzzer down.
void ShortSleep(uint32_t) {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
void NoBeep(uint32_t, uint32_t) {}

AEffect* Instance() {
  static AEffect* effect = [] {
    platform::SetSleepHook(ShortSleep);
    platform::SetBeepHook(NoBeep);
    const std::string dir = WriteLibrary();
    AEffect* e = (new SamplerPlugin(test::QuietHost, dir.c_str()))->getAeffect();
    e->dispatcher(e, effOpen, 0, 0, nullptr, 0.0f);
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    e->dispatcher(e, effSetBlockSize, 0, 512, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    return e;
  }();
  return effect;
}

class Script {
 public:
  Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return pos_ < size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

int32_t Delta(Script& in) {
  switch (in.Byte() % 5) {
    case 0:
      return 0;
    case 1:
      return in.Byte();
    case 2:
      return in.Word() % 4096;
    case 3:
      return -static_cast<int32_t>(in.Byte()) - 1;
    default:
      return in.Byte() == 0 ? std::numeric_limits<int32_t>::max() : static_cast<int16_t>(in.Word());
  }
}

void BuildEvents(Script& in, test::EventList& list) {
  const int count = in.Byte() % 24;
  static const uint8_t kControllers[] = {0, 32, 6, 7, 11, 38, 98, 99, 100, 101, 120, 123, 1, 64};
  static const char kSymbolChars[] = "aiueokstnhmyrwgzdbpjfNSMZ? ";
  for (int i = 0; i < count && in.More(); ++i) {
    const int32_t delta = Delta(in);
    const uint8_t channel = in.Byte() & 0x0F;
    switch (in.Byte() % 10) {
      case 0:
        list.Add(delta, 0x90 | channel, in.Byte() & 0x7F, in.Byte() & 0x7F);
        break;
      case 1:
        list.Add(delta, 0x80 | channel, in.Byte() & 0x7F, in.Byte() & 0x7F);
        break;
      case 2:
        list.Add(delta, 0xB0 | channel, kControllers[in.Byte() % sizeof kControllers], in.Byte() & 0x7F);
        break;
      case 3: {  // a phonetic note: key, up to three characters, commit
        const int key = in.Byte() & 0x7F;
        std::string symbol(in.Byte() % 4, ' ');
        for (char& c : symbol) c = kSymbolChars[in.Byte() % (sizeof kSymbolChars - 1)];
        for (test::Midi3 m : test::PhoneticNote(key, symbol)) list.Add(delta, m.status | channel, m.data1, m.data2);
        break;
      }
      case 4:  // bank select: voice 0, 1, or one that does not exist
        list.Add(delta, 0xB0 | channel, 0, in.Byte() % 4 == 0 ? 3 : 100);
        list.Add(delta, 0xB0 | channel, 32, in.Byte() % 3);
        break;
      case 5:
        list.Add(delta, 0xE0 | channel, in.Byte() & 0x7F, in.Byte() & 0x7F);
        break;
      case 6:  // registered parameter 0/0: the pitch-bend range
        list.Add(delta, 0xB0 | channel, 101, 0);
        list.Add(delta, 0xB0 | channel, 100, 0);
        list.Add(delta, 0xB0 | channel, 6, in.Byte() & 0x7F);
        list.Add(delta, 0xB0 | channel, 38, 0);
        break;
      case 7:  // any bytes at all, data bytes with the top bit included
        list.Add(delta, in.Byte(), in.Byte(), in.Byte());
        break;
      case 8:
        list.Add(delta, 0xC0 | channel, in.Byte() & 0x7F, 0);
        break;
      default:
        list.AddSysEx(delta);
        break;
    }
  }
}

int32_t BlockFrames(Script& in) {
  switch (in.Byte() % 8) {
    case 0:
      return 0;
    case 1:
      return -static_cast<int32_t>(in.Byte());
    case 2:
      return 1;
    case 3:
      return kMaxBlock;
    default:
      return 1 + in.Word() % 2048;
  }
}

void Render(AEffect* effect, int32_t frames) {
  static test::Rendered out;
  if (!test::RenderFinite(effect, frames, out)) std::abort();
}

void CheckTexts(AEffect* effect) {
  char text[64];
  for (int32_t index = -1; index <= 5; ++index) {
    for (int32_t opcode : {effGetParamLabel, effGetParamDisplay, effGetParamName}) {
      // Nine bytes at most (out-of-range indexes may write nothing at all).
      std::memset(text, 'x', sizeof text);
      effect->dispatcher(effect, opcode, index, 0, text, 0.0f);
      for (size_t i = 9; i < sizeof text; ++i)
        if (text[i] != 'x') {
          std::fprintf(stderr, "opcode %d index %d wrote byte %zu\n", opcode, index, i);
          std::abort();
        }
      if (text[0] != 'x' && strnlen(text, 9) > 8) std::abort();
    }
  }
  std::memset(text, 'x', sizeof text);
  effect->dispatcher(effect, effGetProgramName, 0, 0, text, 0.0f);
  if (strnlen(text, sizeof text) > 24) std::abort();
  const VstIntPtr program = effect->dispatcher(effect, effGetProgram, 0, 0, nullptr, 0.0f);
  if (program < 0 || program > 128) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  AEffect* effect = Instance();
  Script in(data, size);
  static const float kRates[] = {0.0f,
                                 -44100.0f,
                                 std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::infinity(),
                                 8000.0f,
                                 44100.0f,
                                 96000.0f,
                                 1.0e9f};
  while (in.More()) {
    switch (in.Byte() % 8) {
      case 0:
      case 1: {
        test::EventList list;
        BuildEvents(in, list);
        list.Send(effect);
        break;
      }
      case 2:
        Render(effect, BlockFrames(in));
        break;
      case 3:
        effect->dispatcher(effect, effSetProgram, 0, static_cast<VstIntPtr>(in.Byte()) - 2, nullptr, 0.0f);
        break;
      case 4: {
        const int32_t index = static_cast<int32_t>(in.Byte() % 7) - 1;
        effect->setParameter(effect, index, static_cast<float>(in.Byte()) / 255.0f);
        break;
      }
      case 5:
        effect->dispatcher(effect, effSetSampleRate, 0, 0, nullptr, kRates[in.Byte() % 8]);
        break;
      case 6:
        if (in.Byte() & 1)
          effect->dispatcher(effect, effSetBlockSize, 0, static_cast<int16_t>(in.Word()), nullptr, 0.0f);
        else
          effect->dispatcher(effect, effMainsChanged, 0, in.Byte() & 1, nullptr, 0.0f);
        break;
      default:
        CheckTexts(effect);
        break;
    }
  }
  // The last events of the script are played too.
  Render(effect, 256);
  return 0;
}
