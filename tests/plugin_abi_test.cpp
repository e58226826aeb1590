// The plug-in as a host sees it: the built library, copied under another name beside a
// small voice library, loaded with dlopen (LoadLibrary on Windows) and reached only
// through its exported entry and the AEffect record.
//
// The opcode sweep calls every opcode (unknown ones too) with odd arguments, keeping the
// VST 2 contract as far as a host must: text-writing opcodes get a buffer of the size the
// contract names (or null) and must leave the bytes past it alone; text-reading opcodes get
// short terminated texts (or null); record-taking opcodes get a zeroed block large enough
// for any of them (or null); every other opcode, effVendorSpecific too, a garbage pointer.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <string>

#include "host/vendor_queries.h"
#include "support/fixtures.h"
#include "support/vst_host.h"

namespace chantera::test {
namespace {

using namespace vst2;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The built plug-in copied, renamed, into a temporary folder beside a voice of three
// short samples (so that the Chorus loader has several to rebuild).
class LoadedCopy {
 public:
  LoadedCopy() {
    VoiceFolder voice{"v",
                      {"a.wav,a,60", "b.wav,b,69", "c.wav,c,72"},
                      {"Program", "P,1.0,2,a", "S,0,64,a.wav", "S,65,127,b.wav", "End", "Program", "P,0.5,12,i",
                       "S,0,127,c.wav", "End"},
                      {}};
    for (int i = 0; i < 3; ++i)
      voice.files.emplace_back(std::string(1, 'a' + i) + ".wav", MakeWav(Pcm16(Sine(6000, 0.01 * (i + 1)))));
    WriteVoiceLibrary(dir, {{"Voice", voice}});
    path = (dir.path() / ("Renamed" + std::filesystem::path(CHANTERA_PLUGIN_PATH).extension().string())).string();
    std::filesystem::copy_file(CHANTERA_PLUGIN_PATH, path);
  }
  TempDir dir;
  std::string path;
};

class PluginAbi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host.Ok()) << host.Error();
    effect = host.Create();
    ASSERT_NE(effect, nullptr);
  }
  void TearDown() override {
    if (effect != nullptr) {
      EXPECT_EQ(VstHost::Close(effect), 1);
    }
  }
  VstIntPtr Dispatch(int32_t opcode, int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0) {
    return VstHost::Dispatch(effect, opcode, index, value, ptr, opt);
  }

  LoadedCopy copy;
  VstHost host{copy.path};
  AEffect* effect = nullptr;
};

TEST_F(PluginAbi, RecordDescribesAStereoInstrumentWithoutInputs) {
  EXPECT_EQ(effect->magic, FourCC('V', 's', 't', 'P'));
  EXPECT_EQ(effect->numInputs, 0);
  EXPECT_EQ(effect->numOutputs, 2);
  EXPECT_EQ(effect->flags, 0x110);
  EXPECT_EQ(effect->numPrograms, 129);
  EXPECT_EQ(effect->numParams, 5);
  EXPECT_EQ(effect->uniqueID, FourCC('B', 'R', '0', '2'));
  EXPECT_EQ(effect->version, 1);
  EXPECT_EQ(effect->ioRatio, 1.0f);
  EXPECT_NE(effect->processDoubleReplacing, nullptr);
  char name[32] = {};
  EXPECT_EQ(Dispatch(effGetProgramNameIndexed, 0, 0, name), 1);
  EXPECT_STREQ(name, "a");  // from the voice beside the renamed file
}

TEST_F(PluginAbi, NamesAndCanDo) {
  char text[256];
  const std::pair<int32_t, const char*> names[] = {
      {effGetEffectName, "VST Sampler 1.0"}, {effGetVendorString, "Brisol"}, {effGetProductString, "VST Sampler 1.0"}};
  for (const auto& [opcode, expected] : names) {
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(Dispatch(opcode, 0, 0, text), 1);
    EXPECT_STREQ(text, expected);
  }
  auto canDo = [&](const char* what) { return Dispatch(effCanDo, 0, 0, const_cast<char*>(what)); };
  EXPECT_EQ(canDo("receiveVstEvents"), 1);
  EXPECT_EQ(canDo("receiveVstMidiEvent"), 1);
  for (const char* other : {"sendVstEvents", "bypass", "", "receivevstevents", "receiveVstEvent", "receiveVstEventsX"})
    EXPECT_EQ(canDo(other), -1) << other;
}

// What every opcode answers to null arguments: the values below, 0 for all others.
const std::map<int32_t, VstIntPtr> kAnswers = {{effProcessEvents, 1},
                                               {effIdentify, FourCC('N', 'v', 'E', 'f')},
                                               {effCanBeAutomated, 1},
                                               {effGetPlugCategory, kPlugCategSynth},
                                               {effCanDo, -1},
                                               {effGetVstVersion, 2400},
                                               {effGetCurrentMidiProgram, -1},
                                               {effGetNumMidiInputChannels, 1}};

// What the contract lets each text opcode write; the opcodes that read a text; those that
// take a record (or, for speaker arrangements, a record in "value" as well).
const std::map<int32_t, size_t> kWritesText = {
    {effGetParamLabel, 9},          {effGetParamDisplay, 9}, {effGetParamName, 9},     {effGetProgramName, 25},
    {effGetProgramNameIndexed, 25}, {effGetEffectName, 32},  {effGetVendorString, 64}, {effGetProductString, 64},
    {effShellGetNextPlugin, 64},    {effGetErrorText, 256}};
const std::set<int32_t> kReadsText = {effSetProgramName, effCanDo, effString2Parameter};
const std::set<int32_t> kTakesRecord = [] {
  std::set<int32_t> opcodes{effEditGetRect,   effEditOpen,       effEditDraw,           effGetChunk,
                            effSetChunk,      effProcessEvents,  effGetInputProperties, effGetOutputProperties,
                            effOfflineNotify, effOfflinePrepare, effOfflineRun};
  opcodes.insert({effProcessVarIo, effGetParameterProperties, effGetMidiProgramName, effGetCurrentMidiProgram,
                  effGetMidiProgramCategory, effGetMidiKeyName, effBeginLoadBank, effBeginLoadProgram,
                  effSetSpeakerArrangement, effGetSpeakerArrangement});
  return opcodes;
}();

TEST_F(PluginAbi, EveryOpcodeAnswersAndSurvivesNullShortAndGarbageArguments) {
  for (int32_t opcode = -10; opcode <= 200; ++opcode) {
    if (opcode == effClose) continue;
    const auto answer = kAnswers.find(opcode);
    EXPECT_EQ(Dispatch(opcode), answer == kAnswers.end() ? 0 : answer->second) << "opcode " << opcode;
  }
  EXPECT_EQ(Dispatch(effSetTotalSampleToProcess, 0, 12345), 12345);

  const VstIntPtr values[] = {0, 1, -1, std::numeric_limits<int32_t>::max(), std::numeric_limits<VstIntPtr>::min()};
  const int32_t indexes[] = {0, -1, 5, 129, std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()};
  const float opts[] = {0.0f, 44100.0f, -1.0f, kNaN, std::numeric_limits<float>::infinity()};
  void* const garbage = reinterpret_cast<void*>(uintptr_t{0xDEAD0008});
  alignas(16) static char record[4096];
  const char* const texts[] = {"", "r", "receiveVstEvents", "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"};
  for (int32_t opcode = -10; opcode <= 200; ++opcode) {
    if (opcode == effClose) continue;
    const auto writes = kWritesText.find(opcode);
    for (VstIntPtr value : values) {
      for (int32_t index : indexes) {
        for (float opt : opts) {
          const bool speakers = opcode == effSetSpeakerArrangement || opcode == effGetSpeakerArrangement;
          const VstIntPtr v = speakers ? 0 : value;
          Dispatch(opcode, index, v, nullptr, opt);
          if (writes != kWritesText.end()) {
            char text[512];
            std::memset(text, '#', sizeof text);
            Dispatch(opcode, index, v, text, opt);
            for (size_t i = writes->second; i < sizeof text; ++i)
              ASSERT_EQ(text[i], '#') << "opcode " << opcode << " wrote byte " << i;
          } else if (kReadsText.count(opcode) != 0) {
            for (std::string text : texts) Dispatch(opcode, index, v, text.data(), opt);
          } else if (kTakesRecord.count(opcode) != 0) {
            std::memset(record, 0, sizeof record);
            Dispatch(opcode, index, v, record, opt);
          } else {
            char shortBuffer[4] = {'a', 'b', 'c', 0};
            Dispatch(opcode, index, v, garbage, opt);
            Dispatch(opcode, index, v, shortBuffer, opt);
          }
        }
      }
    }
  }

  // Still an instrument: a note renders finite, audible output.
  Dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
  Dispatch(effSetBlockSize, 0, 512);
  Dispatch(effMainsChanged, 0, 1);
  Dispatch(effSetProgram, 0, 0);
  effect->setParameter(effect, 0, 1.0f);
  EventList().Add(0, 0x90, 60, 127).Send(effect);
  Rendered out;
  ASSERT_TRUE(RenderFinite(effect, 512, out));
  EXPECT_GT(out.peak, 0.01f);
}

TEST_F(PluginAbi, SpeakerArrangementQueryStoresNullInBothPlaces) {
  VstSpeakerArrangement dummy{};
  VstSpeakerArrangement* input = &dummy;
  VstSpeakerArrangement* output = &dummy;
  EXPECT_EQ(Dispatch(effGetSpeakerArrangement, 0, reinterpret_cast<VstIntPtr>(&input), &output), 0);
  EXPECT_EQ(input, nullptr);
  EXPECT_EQ(output, nullptr);
}

TEST_F(PluginAbi, MainsOnAsksTheHostForMidiAndSilentBlocksAreWrittenInFull) {
  Dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f);
  VstHost::Calls().clear();
  Dispatch(effMainsChanged, 0, 0);
  EXPECT_TRUE(VstHost::Calls().empty());
  Dispatch(effMainsChanged, 0, 1);
  ASSERT_EQ(VstHost::Calls().size(), 1u);
  EXPECT_EQ(VstHost::Calls()[0].opcode, audioMasterWantMidi);
  EXPECT_EQ(VstHost::Calls()[0].value, 1);
  Rendered out;
  ASSERT_TRUE(RenderFinite(effect, 256, out));
  EXPECT_EQ(out.peak, 0.0f);
  effect->processDoubleReplacing(effect, nullptr, nullptr, 16);  // does nothing
  effect->process(effect, nullptr, nullptr, 16);                 // does nothing
}

TEST_F(PluginAbi, ProgramSelectionIgnoresNumbersOutOfRange) {
  Dispatch(effSetProgram, 0, 1);
  for (VstIntPtr outside : {VstIntPtr{129}, VstIntPtr{-1}, VstIntPtr{1} << 40}) Dispatch(effSetProgram, 0, outside);
  EXPECT_EQ(Dispatch(effGetProgram), 1);
  char name[32];
  EXPECT_EQ(Dispatch(effGetProgramNameIndexed, 128, 0, name), 1);
  EXPECT_EQ(Dispatch(effGetProgramNameIndexed, 129, 0, name), 0);
  EXPECT_EQ(Dispatch(effGetProgramNameIndexed, -1, 0, name), 0);
}

// A bank select and then a note, no program selected between: the note sings the new
// voice's recording of the current program, whatever index that recording has there. A
// host that renders offline, or does not say, hears it from the note's own frame in the
// block of the bank select; one that plays live once the voice has loaded beside it.
TEST(PluginVoices, BankSelectSingsTheCurrentProgramOfTheNewVoice) {
  TempDir dir;
  WriteTwoToneVoices(dir);
  const std::filesystem::path path = dir.path() / std::filesystem::path(CHANTERA_PLUGIN_PATH).filename();
  std::filesystem::copy_file(CHANTERA_PLUGIN_PATH, path);
  VstHost host(path.string());
  ASSERT_TRUE(host.Ok()) << host.Error();
  Rendered out;
  for (const VstIntPtr level : {kVstProcessLevelUnknown, kVstProcessLevelOffline, kVstProcessLevelRealtime}) {
    for (const int program : {0, 1}) {
      VstHost::processLevelAnswer = level;
      AEffect* effect = host.Create();
      ASSERT_NE(effect, nullptr);
      VstHost::Dispatch(effect, effMainsChanged, 0, 1);
      VstHost::Dispatch(effect, effSetProgram, 0, program);
      EventList events;
      events.Add(0, 0xB0, 0, 100).Add(0, 0xB0, 32, 1);
      if (level == kVstProcessLevelRealtime) {
        events.Send(effect);
        // The old voice sings on while the new one loads; it takes over at a block's start.
        EXPECT_TRUE(WaitUntil([&] {
          RenderFinite(effect, 512, out);
          return VstHost::Dispatch(effect, effVendorSpecific, kChanteraQuery, kChanteraLoaderBusy) == 0;
        }));
        events = EventList();
      }
      events.Add(256, 0x90, 69, 100).Send(effect);
      std::vector<float> left;
      for (int b = 0; b < 8; ++b) {
        ASSERT_TRUE(RenderFinite(effect, 512, out));
        left.insert(left.end(), out.left.begin(), out.left.end());
      }
      EXPECT_NEAR(MeasuredHz(left), ToneHz(1, program), 20.0) << "process level " << level << ", program " << program;
      EXPECT_EQ(VstHost::Close(effect), 1);
    }
  }
  VstHost::processLevelAnswer = kVstProcessLevelUnknown;
}

TEST(PluginEntry, OldHostGetsNothingAndMainIsTheSameEntry) {
  VstHost host(CHANTERA_PLUGIN_PATH);
  ASSERT_TRUE(host.Ok()) << host.Error();
  EXPECT_EQ(host.Create(0), nullptr);
  VstHost viaMain(CHANTERA_PLUGIN_PATH, "main");
  ASSERT_TRUE(viaMain.Ok()) << viaMain.Error();
  AEffect* effect = viaMain.Create();
  ASSERT_NE(effect, nullptr);
  EXPECT_EQ(effect->uniqueID, FourCC('B', 'R', '0', '2'));
  EXPECT_EQ(VstHost::Close(effect), 1);
}

// A host that says 1 to every request it does not know, to the instance's request for a
// message sink too: the instance counts and shows its messages as ever (here, of a missing
// voice list) rather than calling the answer as code.
TEST(PluginEntry, AHostThatSaysYesToEverythingHandsOverNoSink) {
  TempDir dir;
  const std::filesystem::path path = dir.path() / std::filesystem::path(CHANTERA_PLUGIN_PATH).filename();
  std::filesystem::copy_file(CHANTERA_PLUGIN_PATH, path);
  VstHost host(path.string());
  ASSERT_TRUE(host.Ok()) << host.Error();
  VstHost::otherAnswer = 1;
  AEffect* effect = host.Create();
  VstHost::otherAnswer = 0;
  ASSERT_NE(effect, nullptr);
  EXPECT_GE(VstHost::Dispatch(effect, effVendorSpecific, kChanteraQuery, kChanteraMessagesShown), 1);
  EXPECT_EQ(VstHost::Close(effect), 1);
}

// On Windows the windows_dll_tables check reads the DLL's export table instead.
#ifndef _WIN32
TEST(PluginEntry, ExportsOnlyItsEntryPoints) {
  FILE* pipe = popen((std::string("nm -D --defined-only ") + CHANTERA_PLUGIN_PATH).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> exported;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    char address[64], type[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", address, type, name) == 3 && std::strchr("TDBW", type[0]) != nullptr)
      exported.insert(name);
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(exported, (std::set<std::string>{"VSTPluginMain", "main"}));
}

// The loader thread runs the library's code until its last instruction, after the
// instance that started it has been closed: a host that unloads the library right after
// effClose must not pull that code from under it.
TEST(PluginEntry, LibraryStaysMappedWhenUnloadedWhileItsLoaderRuns) {
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

}  // namespace
}  // namespace chantera::test
