// What a careless or hostile host can do to the plug-in, and what it must survive: every
// opcode with odd arguments, blocks before resume, of size 0 and of a million frames,
// sample rates and block sizes that make no sense, floods of events, and instances that
// come and go while their Chorus loader and phonetic notes are still pending. Nothing
// may crash, write outside what the host handed in, leak (the sanitizer stage runs this
// with LeakSanitizer), or produce a value that is not finite.
//
// The dispatcher is driven through the built library, copied beside a small voice
// library in a temporary folder and loaded with dlopen, exactly as a host loads it. The
// pointer arguments follow the VST 2 contract as far as a host must keep it:
// - opcodes that write text get a buffer of the size the contract names (or null), and
//   bytes past that size must stay untouched;
// - opcodes that read text get short, terminated texts (or null);
// - opcodes that take a record (events, chunks, pin and parameter properties, speaker
//   arrangements, MIDI program and key names, offline and variable-I/O records, patch
//   infos, editor rectangles and windows) get a zeroed block large enough for any of
//   them, or null: no plug-in can check a record pointer, so garbage is not tried there;
// - every other opcode, the unknown ones (negative, above 79) and effVendorSpecific,
//   whose arguments belong to other vendors, get a garbage pointer too.
// The remaining checks use an in-process SamplerPlugin over the same kind of library.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "engine/sampler.h"
#include "host/sampler_plugin.h"
#include "library/sample_bank.h"
#include "platform/platform.h"
#include "support/fixtures.h"
#include "support/vst_host.h"

namespace chantera::test {
namespace {

using namespace vst2;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// A voice of three short samples, so that the Chorus loader has several to rebuild.
void WriteSmallVoice(const TempDir& dir) {
  VoiceFolder voice;
  voice.folder = "v";
  voice.sampleLines = {"a.wav,a,60", "b.wav,b,69", "c.wav,c,72"};
  voice.programLines = {"Program",    "P,1.0,2,a",     "S,0,64,a.wav", "S,65,127,b.wav", "End", "Program",
                        "P,0.5,12,i", "S,0,127,c.wav", "End"};
  voice.files = {{"a.wav", MakeWav(Pcm16(Sine(6000, 0.01)))},
                 {"b.wav", MakeWav(Pcm16(Sine(6000, 0.02)))},
                 {"c.wav", MakeWav(Pcm16(Sine(6000, 0.03)))}};
  WriteVoiceLibrary(dir, {{"Voice", voice}});
}

VstIntPtr VSTCALLBACK Host(AEffect*, int32_t opcode, int32_t, VstIntPtr, void*, float) {
  return opcode == audioMasterVersion ? 2400 : 0;
}

// Sleeps of 100 ms become 1 ms while it lives, so that waits for loaders stay short
// without being skipped.
class ShortSleeps {
 public:
  ShortSleeps() {
    platform::SetSleepHook([](uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  }
  ~ShortSleeps() { platform::SetSleepHook(nullptr); }
};

bool AllFinite(const std::vector<float>& values, size_t frames) {
  for (size_t i = 0; i < frames; ++i)
    if (!std::isfinite(values[i])) return false;
  return true;
}

void SendEvents(AEffect* effect, std::vector<VstMidiEvent>& records) {
  std::vector<char> storage(sizeof(VstEvents) + records.size() * sizeof(VstEvent*));
  auto* list = reinterpret_cast<VstEvents*>(storage.data());
  list->numEvents = static_cast<int32_t>(records.size());
  for (size_t i = 0; i < records.size(); ++i) EventSlots(list)[i] = reinterpret_cast<VstEvent*>(&records[i]);
  effect->dispatcher(effect, effProcessEvents, 0, 0, list, 0.0f);
}

VstMidiEvent Midi(int32_t frame, uint8_t status, uint8_t data1, uint8_t data2) {
  VstMidiEvent e{};
  e.type = kVstMidiType;
  e.byteSize = sizeof e;
  e.deltaFrames = frame;
  e.midiData[0] = static_cast<char>(status);
  e.midiData[1] = static_cast<char>(data1);
  e.midiData[2] = static_cast<char>(data2);
  return e;
}

// The controller messages that spell "tS i" on key and sing it.
std::vector<VstMidiEvent> PhoneticNote(int32_t frame, uint8_t key) {
  return {Midi(frame, 0xB0, 99, 80), Midi(frame, 0xB0, 98, 2),   Midi(frame, 0xB0, 6, key), Midi(frame, 0xB0, 98, 19),
          Midi(frame, 0xB0, 6, 't'), Midi(frame, 0xB0, 98, 20),  Midi(frame, 0xB0, 6, 'S'), Midi(frame, 0xB0, 98, 21),
          Midi(frame, 0xB0, 6, 'i'), Midi(frame, 0xB0, 98, 127), Midi(frame, 0xB0, 6, 127)};
}

// An instance and the buffers a host renders it into.
class Player {
 public:
  explicit Player(AEffect* effect, size_t maxFrames = 4096) : effect(effect), left(maxFrames), right(maxFrames) {}
  // Renders frames into buffers full of NaN: every frame must be written, and finite.
  bool Render(int32_t frames) {
    const size_t n = frames > 0 ? static_cast<size_t>(frames) : 0;
    std::fill_n(left.begin(), n, kNaN);
    std::fill_n(right.begin(), n, kNaN);
    float* outputs[2] = {left.data(), right.data()};
    effect->processReplacing(effect, nullptr, outputs, frames);
    return AllFinite(left, n) && AllFinite(right, n);
  }
  float Peak(size_t frames) const {
    float peak = 0.0f;
    for (size_t i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(left[i]));
    return peak;
  }
  AEffect* effect;
  std::vector<float> left, right;
};

// ---- The dispatcher, through the built library ----------------------------------------------

// The built plug-in copied into a temporary folder beside a small voice library.
class LoadedCopy {
 public:
  LoadedCopy() {
    WriteSmallVoice(dir);
    path = (dir.path() / ("Chantera" + std::filesystem::path(CHANTERA_PLUGIN_PATH).extension().string())).string();
    std::filesystem::copy_file(CHANTERA_PLUGIN_PATH, path);
  }
  TempDir dir;
  std::string path;
};

enum class Pointer { kIgnored, kWritesText, kReadsText, kRecord, kValueIsRecord };

struct OpcodeContract {
  Pointer pointer = Pointer::kIgnored;
  size_t textBytes = 0;  // for kWritesText: what the contract lets the plug-in write
};

OpcodeContract ContractOf(int32_t opcode) {
  switch (opcode) {
    case effGetParamLabel:
    case effGetParamDisplay:
    case effGetParamName:
      return {Pointer::kWritesText, 9};
    case effGetProgramName:
    case effGetProgramNameIndexed:
      return {Pointer::kWritesText, 25};
    case effGetEffectName:
      return {Pointer::kWritesText, 32};
    case effGetVendorString:
    case effGetProductString:
    case effShellGetNextPlugin:
      return {Pointer::kWritesText, 64};
    case effGetErrorText:
      return {Pointer::kWritesText, 256};
    case effSetProgramName:
    case effCanDo:
    case effString2Parameter:
      return {Pointer::kReadsText, 0};
    case effEditGetRect:
    case effEditOpen:
    case effEditDraw:
    case effGetChunk:
    case effSetChunk:
    case effProcessEvents:
    case effGetInputProperties:
    case effGetOutputProperties:
    case effOfflineNotify:
    case effOfflinePrepare:
    case effOfflineRun:
    case effProcessVarIo:
    case effGetParameterProperties:
    case effGetMidiProgramName:
    case effGetCurrentMidiProgram:
    case effGetMidiProgramCategory:
    case effGetMidiKeyName:
    case effBeginLoadBank:
    case effBeginLoadProgram:
      return {Pointer::kRecord, 0};
    case effSetSpeakerArrangement:
    case effGetSpeakerArrangement:
      return {Pointer::kValueIsRecord, 0};
    default:
      return {};
  }
}

TEST(HostAbuse, EveryOpcodeWithNullShortAndGarbageArguments) {
  LoadedCopy copy;
  {
    VstHost host(copy.path);
    ASSERT_TRUE(host.Ok()) << host.Error();
    AEffect* effect = host.Create();
    ASSERT_NE(effect, nullptr);

    const VstIntPtr values[] = {0, 1, -1, std::numeric_limits<int32_t>::max(), std::numeric_limits<VstIntPtr>::min()};
    const int32_t indexes[] = {
        0, -1, 4, 5, 129, std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()};
    const float opts[] = {0.0f, 44100.0f, -1.0f, kNaN, kInf};
    void* const garbage = reinterpret_cast<void*>(uintptr_t{0xDEAD0008});
    alignas(16) static char record[4096];
    const char* const texts[] = {"", "r", "receiveVstEvents", "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"};

    for (int32_t opcode = -10; opcode <= 200; ++opcode) {
      if (opcode == effClose) continue;
      const OpcodeContract contract = ContractOf(opcode);
      for (VstIntPtr value : values) {
        for (int32_t index : indexes) {
          for (float opt : opts) {
            // Record-valued "value" arguments (speaker arrangements) are null here.
            const VstIntPtr v = contract.pointer == Pointer::kValueIsRecord ? 0 : value;
            effect->dispatcher(effect, opcode, index, v, nullptr, opt);
            switch (contract.pointer) {
              case Pointer::kIgnored: {
                char shortBuffer[4] = {'a', 'b', 'c', 0};
                effect->dispatcher(effect, opcode, index, v, garbage, opt);
                effect->dispatcher(effect, opcode, index, v, shortBuffer, opt);
                break;
              }
              case Pointer::kWritesText: {
                char text[512];
                std::memset(text, '#', sizeof text);
                effect->dispatcher(effect, opcode, index, v, text, opt);
                for (size_t i = contract.textBytes; i < sizeof text; ++i)
                  ASSERT_EQ(text[i], '#') << "opcode " << opcode << " wrote byte " << i;
                break;
              }
              case Pointer::kReadsText:
                for (const char* t : texts) {
                  std::string copyOfText = t;
                  effect->dispatcher(effect, opcode, index, v, copyOfText.data(), opt);
                }
                break;
              case Pointer::kRecord:
              case Pointer::kValueIsRecord:
                std::memset(record, 0, sizeof record);
                effect->dispatcher(effect, opcode, index, v, record, opt);
                break;
            }
          }
        }
      }
    }

    // Still an instrument: a note renders finite, audible output.
    effect->dispatcher(effect, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    effect->dispatcher(effect, effSetBlockSize, 0, 512, nullptr, 0.0f);
    effect->dispatcher(effect, effMainsChanged, 0, 1, nullptr, 0.0f);
    effect->dispatcher(effect, effSetProgram, 0, 0, nullptr, 0.0f);
    effect->setParameter(effect, 0, 1.0f);
    std::vector<VstMidiEvent> note = {Midi(0, 0x90, 60, 127)};
    SendEvents(effect, note);
    Player player(effect);
    ASSERT_TRUE(player.Render(512));
    EXPECT_GT(player.Peak(512), 0.01f);
    EXPECT_EQ(VstHost::Close(effect), 1);
  }
}

#ifndef _WIN32
// The loader thread runs the library's code until its last instruction, after the
// instance that started it has been closed: a host that unloads the library right after
// effClose must not pull that code from under it.
TEST(HostAbuse, LibraryStaysMappedWhenUnloadedWhileItsLoaderRuns) {
  LoadedCopy copy;
  {
    VstHost host(copy.path);
    ASSERT_TRUE(host.Ok()) << host.Error();
    AEffect* effect = host.Create();
    ASSERT_NE(effect, nullptr);
    effect->setParameter(effect, 2, 1.0f);  // the Chorus: a loader thread starts
    EXPECT_EQ(VstHost::Close(effect), 1);
  }  // dlclose
  void* still = dlopen(copy.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(still, nullptr);
  if (still != nullptr) dlclose(still);
}
#endif

// ---- Processing, in process --------------------------------------------------------------------

class HostAbuseInProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteSmallVoice(dir);
    plugin = std::make_unique<SamplerPlugin>(Host, dir.str().c_str());
    effect = plugin->getAeffect();
  }
  void TearDown() override { plugin.reset(); }
  VstIntPtr Dispatch(int32_t opcode, int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0) {
    return effect->dispatcher(effect, opcode, index, value, ptr, opt);
  }

  TempDir dir;
  MessageCounter messages;
  std::unique_ptr<SamplerPlugin> plugin;
  AEffect* effect = nullptr;
};

TEST_F(HostAbuseInProcess, ProcessBeforeResumeAndBlocksOfZeroNegativeAndAMillionFrames) {
  Player player(effect, 1u << 20);
  // Before effOpen, sample rate, block size and resume: some hosts probe like this.
  EXPECT_TRUE(player.Render(256));
  std::vector<VstMidiEvent> note = {Midi(0, 0x90, 60, 127)};
  SendEvents(effect, note);
  EXPECT_TRUE(player.Render(0));
  EXPECT_TRUE(player.Render(-1));
  EXPECT_TRUE(player.Render(std::numeric_limits<int32_t>::min()));
  EXPECT_TRUE(player.Render(1 << 20));
  EXPECT_GT(player.Peak(1 << 20), 0.01f);  // the note, queued before the empty blocks, plays
  // No output arrays at all, or one missing: nothing to write, nothing read.
  float* none[2] = {nullptr, nullptr};
  effect->processReplacing(effect, nullptr, none, 64);
  effect->processReplacing(effect, nullptr, nullptr, 64);
  EXPECT_EQ(messages.count(), 0u);
}

TEST_F(HostAbuseInProcess, SampleRateAndBlockSizeChangeBetweenBlocks) {
  Player player(effect);
  Dispatch(effMainsChanged, 0, 1);
  std::vector<VstMidiEvent> notes = {Midi(0, 0x90, 60, 127), Midi(10, 0x90, 72, 100)};
  SendEvents(effect, notes);
  const float rates[] = {44100.0f, 0.0f, -48000.0f, kNaN, kInf, -kInf, 1.0f, 1.0e-30f, 1.0e9f, 22050.0f};
  const VstIntPtr blocks[] = {512, 0, -1, 1, std::numeric_limits<int32_t>::max(), 4096};
  for (float rate : rates) {
    for (VstIntPtr block : blocks) {
      Dispatch(effMainsChanged, 0, 0);
      Dispatch(effSetSampleRate, 0, 0, nullptr, rate);
      Dispatch(effSetBlockSize, 0, block);
      Dispatch(effMainsChanged, 0, 1);
      std::vector<VstMidiEvent> more = PhoneticNote(3, 64);
      SendEvents(effect, more);
      ASSERT_TRUE(player.Render(700)) << "rate " << rate << ", block size " << block;
    }
  }
  EXPECT_EQ(messages.count(), 0u);
}

TEST_F(HostAbuseInProcess, TenThousandEventsInOneBlock) {
  Player player(effect);
  std::vector<VstMidiEvent> flood;
  for (int i = 0; i < 10000; ++i) {
    const int32_t frame = i % 3 == 0 ? i / 20 : 10000 - i;  // in order, out of order, past the end
    switch (i % 5) {
      case 0:
        flood.push_back(Midi(frame, 0x90, static_cast<uint8_t>(i % 128), 100));
        break;
      case 1:
        flood.push_back(Midi(frame, 0x80, static_cast<uint8_t>((i * 7) % 128), 0));
        break;
      case 2:
        flood.push_back(Midi(frame, 0xE0, static_cast<uint8_t>(i % 128), static_cast<uint8_t>(i % 127)));
        break;
      case 3:
        flood.push_back(Midi(frame, 0xB0, static_cast<uint8_t>(i % 128), static_cast<uint8_t>(i % 128)));
        break;
      default:
        flood.push_back(
            Midi(frame, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 3), static_cast<uint8_t>(i >> 5)));
        break;
    }
  }
  SendEvents(effect, flood);
  ASSERT_TRUE(player.Render(512));
  EXPECT_EQ(plugin->engine().Events().eventCount, 10000);
  for (int block = 0; block < 30; ++block) ASSERT_TRUE(player.Render(512));
  // Whatever the flood did (controller 0/32 may have asked for voices, 7 for volume 0,
  // slow releases may fill every slot), the instance still plays.
  effect->setParameter(effect, 3, 1.0f);  // releases end at once
  ASSERT_TRUE(player.Render(512));
  effect->setParameter(effect, 3, 1.0f / 110000.0f);
  std::vector<VstMidiEvent> recover = {Midi(0, 0xB0, 123, 0), Midi(0, 0xB0, 7, 127), Midi(0, 0xB0, 11, 127),
                                       Midi(0, 0xE0, 0, 64), Midi(1, 0x90, 60, 127)};
  SendEvents(effect, recover);
  ASSERT_TRUE(player.Render(4096));
  EXPECT_GT(player.Peak(4096), 0.01f);
}

// Instances made and closed in a row while each has a Chorus loader running and a
// phonetic note pending, some rendering on another thread until just before the close.
TEST(HostAbuse, InstancesComeAndGoWhileLoadersAndPhoneticNotesArePending) {
  TempDir dir;
  WriteSmallVoice(dir);
  MessageCounter messages;
  ShortSleeps sleeps;
  const int32_t banksBefore = SampleBank::LiveCount();
  for (int round = 0; round < 12; ++round) {
    auto* plugin = new SamplerPlugin(Host, dir.str().c_str());
    AEffect* effect = plugin->getAeffect();
    effect->dispatcher(effect, effMainsChanged, 0, 1, nullptr, 0.0f);
    effect->setParameter(effect, 2, 1.0f);
    std::vector<VstMidiEvent> note = PhoneticNote(round, static_cast<uint8_t>(50 + round));
    SendEvents(effect, note);
    Player player(effect);
    EXPECT_TRUE(player.Render(round % 2 == 0 ? 64 : 0));
    if (round % 3 == 0) {
      std::thread audio([&] {
        for (int i = 0; i < 20; ++i) player.Render(128);
      });
      audio.join();
    }
    effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
  }
  // The loaders stop soon after their instances: every bank is freed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (SampleBank::LiveCount() != banksBefore && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(SampleBank::LiveCount(), banksBefore);
  EXPECT_EQ(messages.count(), 0u);
}

}  // namespace
}  // namespace chantera::test
