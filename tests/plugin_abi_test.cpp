// The plug-in as a host sees it: the built library is loaded with dlopen (LoadLibrary on
// Windows) and reached only through its exported entry and the AEffect record, the way a
// sequencer would.
#include <gtest/gtest.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "support/vst_host.h"

namespace chantera::test {
namespace {

using namespace vst2;

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

  VstHost host{CHANTERA_PLUGIN_PATH};
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
  EXPECT_EQ(effect->initialDelay, 0);
  EXPECT_EQ(effect->ioRatio, 1.0f);
  EXPECT_EQ(effect->resvd1, 0);
  EXPECT_EQ(effect->resvd2, 0);
  EXPECT_EQ(effect->realQualities, 0);
  EXPECT_EQ(effect->offQualities, 0);
  EXPECT_EQ(effect->user, nullptr);
  EXPECT_NE(effect->object, nullptr);
  EXPECT_NE(effect->processReplacing, nullptr);
  EXPECT_NE(effect->processDoubleReplacing, nullptr);
  for (char c : effect->future) EXPECT_EQ(c, 0);
}

TEST_F(PluginAbi, ReportsItsNames) {
  char text[256];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(Dispatch(effGetEffectName, 0, 0, text), 1);
  EXPECT_STREQ(text, "VST Sampler 1.0");
  EXPECT_EQ(Dispatch(effGetVendorString, 0, 0, text), 1);
  EXPECT_STREQ(text, "Brisol");
  EXPECT_EQ(Dispatch(effGetProductString, 0, 0, text), 1);
  EXPECT_STREQ(text, "VST Sampler 1.0");
  EXPECT_EQ(Dispatch(effGetVendorVersion), 0);
}

TEST_F(PluginAbi, CanDoAnswersOnlyForMidiInput) {
  auto canDo = [&](const char* what) { return Dispatch(effCanDo, 0, 0, const_cast<char*>(what)); };
  EXPECT_EQ(canDo("receiveVstEvents"), 1);
  EXPECT_EQ(canDo("receiveVstMidiEvent"), 1);
  for (const char* other : {"sendVstEvents", "receiveVstTimeInfo", "bypass", "", "receivevstevents",
                            "RECEIVEVSTMIDIEVENT", "receiveVstEvent", "receiveVstEventsX"})
    EXPECT_EQ(canDo(other), -1) << other;
  EXPECT_EQ(Dispatch(effCanDo, 0, 0, nullptr), -1);
}

TEST_F(PluginAbi, FixedAnswersOfTheBaseClasses) {
  EXPECT_EQ(Dispatch(effGetPlugCategory), kPlugCategSynth);
  EXPECT_EQ(Dispatch(effGetVstVersion), 2400);
  EXPECT_EQ(Dispatch(effIdentify), FourCC('N', 'v', 'E', 'f'));
  EXPECT_EQ(Dispatch(effGetCurrentMidiProgram), -1);
  EXPECT_EQ(Dispatch(effCanBeAutomated, 3), 1);
  EXPECT_EQ(Dispatch(effCanBeAutomated, 99), 1);
  EXPECT_EQ(Dispatch(effSetTotalSampleToProcess, 0, 12345), 12345);
  EXPECT_EQ(Dispatch(effGetNumMidiInputChannels), 1);
  EXPECT_EQ(Dispatch(effGetNumMidiOutputChannels), 0);
  EXPECT_EQ(Dispatch(effProcessEvents, 0, 0, nullptr), 1);
  EXPECT_EQ(Dispatch(effGetTailSize), 0);
  for (int32_t opcode : {9, 16, 17, 18, 20, 21, 28, 30, 31, 32, 36, 37, 43, 46, 53, 54, 55, 57, 80, 200, -1, -10})
    EXPECT_EQ(Dispatch(opcode), 0) << "opcode " << opcode;
  for (int32_t editorOpcode : {13, 14, 15, 19, 59, 60, 61}) EXPECT_EQ(Dispatch(editorOpcode), 0);
  for (int32_t falseOpcode : {27, 33, 34, 38, 39, 40, 41, 42, 44, 56, 65, 66, 67, 68, 74, 77})
    EXPECT_EQ(Dispatch(falseOpcode), 0) << "opcode " << falseOpcode;
  EXPECT_EQ(Dispatch(effGetChunk, 0, 0, nullptr), 0);
  EXPECT_EQ(Dispatch(effStartProcess), 0);
  EXPECT_EQ(Dispatch(effStopProcess), 0);
}

TEST_F(PluginAbi, SpeakerArrangementQueryStoresNullInBothPlaces) {
  VstSpeakerArrangement dummy{};
  VstSpeakerArrangement* input = &dummy;
  VstSpeakerArrangement* output = &dummy;
  EXPECT_EQ(Dispatch(effGetSpeakerArrangement, 0, reinterpret_cast<VstIntPtr>(&input), &output), 0);
  EXPECT_EQ(input, nullptr);
  EXPECT_EQ(output, nullptr);
  EXPECT_EQ(Dispatch(effGetSpeakerArrangement, 0, 0, nullptr), 0);  // no places at all
}

TEST_F(PluginAbi, MainsOnAsksTheHostForMidi) {
  VstHost::Calls().clear();
  Dispatch(effMainsChanged, 0, 0);
  EXPECT_TRUE(VstHost::Calls().empty());
  Dispatch(effMainsChanged, 0, 1);
  ASSERT_EQ(VstHost::Calls().size(), 1u);
  EXPECT_EQ(VstHost::Calls()[0].opcode, audioMasterWantMidi);
  EXPECT_EQ(VstHost::Calls()[0].value, 1);
}

TEST_F(PluginAbi, ProgramSelectionIgnoresNumbersOutOfRange) {
  Dispatch(effSetProgram, 0, 5);
  EXPECT_EQ(Dispatch(effGetProgram), 5);
  Dispatch(effSetProgram, 0, 129);
  Dispatch(effSetProgram, 0, -1);
  Dispatch(effSetProgram, 0, VstIntPtr{1} << 40);
  EXPECT_EQ(Dispatch(effGetProgram), 5);
  char name[32];
  EXPECT_EQ(Dispatch(effGetProgramNameIndexed, 128, 0, name), 1);
  EXPECT_EQ(Dispatch(effGetProgramNameIndexed, 129, 0, name), 0);
  EXPECT_EQ(Dispatch(effGetProgramNameIndexed, -1, 0, name), 0);
}

TEST_F(PluginAbi, TextOpcodesWithoutABufferAreIgnored) {
  for (int32_t opcode : {effGetProgramName, effSetProgramName, effGetParamLabel, effGetParamDisplay, effGetParamName,
                         effGetEffectName, effGetVendorString, effGetProductString, effGetProgramNameIndexed})
    EXPECT_EQ(Dispatch(opcode, 0, 0, nullptr), 0) << "opcode " << opcode;
}

TEST_F(PluginAbi, SilentBlocksAreWrittenInFull) {
  Dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f);
  Dispatch(effSetBlockSize, 0, 256);
  Dispatch(effMainsChanged, 0, 1);
  float left[256], right[256];
  std::fill(std::begin(left), std::end(left), 7.0f);
  std::fill(std::begin(right), std::end(right), 7.0f);
  float* outputs[2] = {left, right};
  effect->processReplacing(effect, nullptr, outputs, 256);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(left[i], 0.0f);
    EXPECT_EQ(right[i], 0.0f);
  }
  effect->processDoubleReplacing(effect, nullptr, nullptr, 16);  // does nothing
  effect->process(effect, nullptr, nullptr, 16);                 // does nothing
}

TEST(PluginEntry, OldHostGetsNothing) {
  VstHost host(CHANTERA_PLUGIN_PATH);
  ASSERT_TRUE(host.Ok()) << host.Error();
  EXPECT_EQ(host.Create(0), nullptr);
}

TEST(PluginEntry, MainIsTheSameEntry) {
  VstHost host(CHANTERA_PLUGIN_PATH, "main");
  ASSERT_TRUE(host.Ok()) << host.Error();
  AEffect* effect = host.Create();
  ASSERT_NE(effect, nullptr);
  EXPECT_EQ(effect->uniqueID, FourCC('B', 'R', '0', '2'));
  EXPECT_EQ(VstHost::Close(effect), 1);
}

#ifdef _WIN32
// The names in the DLL's export directory, read from the loaded image as the Windows
// loader reads them: undecorated, and nothing but the two entries.
TEST(PluginEntry, ExportsOnlyItsEntryPoints) {
  HMODULE module = LoadLibraryA(CHANTERA_PLUGIN_PATH);
  ASSERT_NE(module, nullptr) << "LoadLibrary failed with error " << GetLastError();
  const auto* base = reinterpret_cast<const unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(entry.VirtualAddress, 0u);
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::set<std::string> exported;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) exported.insert(reinterpret_cast<const char*>(base + names[i]));
  FreeLibrary(module);
  EXPECT_EQ(exported, (std::set<std::string>{"VSTPluginMain", "main"}));
}
#else
TEST(PluginEntry, ExportsOnlyItsEntryPoints) {
  const std::string command = std::string("nm -D --defined-only ") + CHANTERA_PLUGIN_PATH;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> exported;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    char address[64], type[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", address, type, name) == 3 &&
        (type[0] == 'T' || type[0] == 'D' || type[0] == 'B' || type[0] == 'W'))
      exported.insert(name);
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(exported, (std::set<std::string>{"VSTPluginMain", "main"}));
}
#endif

}  // namespace
}  // namespace chantera::test
