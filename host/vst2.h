// The VST 2 binary interface, written from the published record layouts and opcode
// numbers. Only what a plug-in and a small host need; no vendor headers.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define VSTCALLBACK __cdecl
#else
#define VSTCALLBACK
#endif

namespace vst2 {

struct AEffect;

using VstIntPtr = std::intptr_t;
using audioMasterCallback = VstIntPtr(VSTCALLBACK*)(AEffect* effect, int32_t opcode, int32_t index, VstIntPtr value,
                                                    void* ptr, float opt);
using AEffectDispatcherProc = VstIntPtr(VSTCALLBACK*)(AEffect* effect, int32_t opcode, int32_t index, VstIntPtr value,
                                                      void* ptr, float opt);
using AEffectProcessProc = void(VSTCALLBACK*)(AEffect* effect, float** inputs, float** outputs, int32_t sampleFrames);
using AEffectProcessDoubleProc = void(VSTCALLBACK*)(AEffect* effect, double** inputs, double** outputs,
                                                    int32_t sampleFrames);
using AEffectSetParameterProc = void(VSTCALLBACK*)(AEffect* effect, int32_t index, float parameter);
using AEffectGetParameterProc = float(VSTCALLBACK*)(AEffect* effect, int32_t index);

// A four-character code with its first character in the most significant byte.
constexpr int32_t FourCC(char a, char b, char c, char d) {
  return static_cast<int32_t>(
      (static_cast<uint32_t>(static_cast<uint8_t>(a)) << 24) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 16) |
      (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 8) | static_cast<uint32_t>(static_cast<uint8_t>(d)));
}
constexpr int32_t kEffectMagic = FourCC('V', 's', 't', 'P');

struct AEffect {
  int32_t magic;
  AEffectDispatcherProc dispatcher;
  AEffectProcessProc process;  // deprecated accumulating process
  AEffectSetParameterProc setParameter;
  AEffectGetParameterProc getParameter;
  int32_t numPrograms;
  int32_t numParams;
  int32_t numInputs;
  int32_t numOutputs;
  int32_t flags;
  VstIntPtr resvd1;
  VstIntPtr resvd2;
  int32_t initialDelay;
  int32_t realQualities;
  int32_t offQualities;
  float ioRatio;
  void* object;
  void* user;
  int32_t uniqueID;
  int32_t version;
  AEffectProcessProc processReplacing;
  AEffectProcessDoubleProc processDoubleReplacing;
  char future[56];
};

enum AEffectFlags : int32_t {
  effFlagsHasEditor = 1 << 0,
  effFlagsHasClip = 1 << 1,  // legacy
  effFlagsHasVu = 1 << 2,    // legacy
  effFlagsCanMono = 1 << 3,  // legacy
  effFlagsCanReplacing = 1 << 4,
  effFlagsProgramChunks = 1 << 5,
  effFlagsIsSynth = 1 << 8,
  effFlagsNoSoundInStop = 1 << 9,
  effFlagsCanDoubleReplacing = 1 << 12,
};

enum EffectOpcodes : int32_t {
  effOpen = 0,
  effClose,
  effSetProgram,
  effGetProgram,
  effSetProgramName,
  effGetProgramName,
  effGetParamLabel,
  effGetParamDisplay,
  effGetParamName,
  effGetVu,  // legacy
  effSetSampleRate,
  effSetBlockSize,
  effMainsChanged,
  effEditGetRect,
  effEditOpen,
  effEditClose,
  effEditDraw,   // legacy
  effEditMouse,  // legacy
  effEditKey,    // legacy
  effEditIdle,
  effEditTop,    // legacy
  effEditSleep,  // legacy
  effIdentify,   // legacy
  effGetChunk,
  effSetChunk,
  effProcessEvents,
  effCanBeAutomated,
  effString2Parameter,
  effGetNumProgramCategories,  // legacy
  effGetProgramNameIndexed,
  effCopyProgram,    // legacy
  effConnectInput,   // legacy
  effConnectOutput,  // legacy
  effGetInputProperties,
  effGetOutputProperties,
  effGetPlugCategory,
  effGetCurrentPosition,    // legacy
  effGetDestinationBuffer,  // legacy
  effOfflineNotify,
  effOfflinePrepare,
  effOfflineRun,
  effProcessVarIo,
  effSetSpeakerArrangement,
  effSetBlockSizeAndSampleRate,  // legacy
  effSetBypass,
  effGetEffectName,
  effGetErrorText,  // legacy
  effGetVendorString,
  effGetProductString,
  effGetVendorVersion,
  effVendorSpecific,
  effCanDo,
  effGetTailSize,
  effIdle,             // legacy
  effGetIcon,          // legacy
  effSetViewPosition,  // legacy
  effGetParameterProperties,
  effKeysRequired,  // legacy
  effGetVstVersion,
  effEditKeyDown,
  effEditKeyUp,
  effSetEditKnobMode,
  effGetMidiProgramName,
  effGetCurrentMidiProgram,
  effGetMidiProgramCategory,
  effHasMidiProgramsChanged,
  effGetMidiKeyName,
  effBeginSetProgram,
  effEndSetProgram,
  effGetSpeakerArrangement,
  effShellGetNextPlugin,
  effStartProcess,
  effStopProcess,
  effSetTotalSampleToProcess,
  effSetPanLaw,
  effBeginLoadBank,
  effBeginLoadProgram,
  effSetProcessPrecision,
  effGetNumMidiInputChannels,
  effGetNumMidiOutputChannels,
};
static_assert(effGetNumMidiOutputChannels == 79);

enum AudioMasterOpcodes : int32_t {
  audioMasterAutomate = 0,
  audioMasterVersion = 1,
  audioMasterCurrentId = 2,
  audioMasterIdle = 3,
  audioMasterPinConnected = 4,  // legacy
  audioMasterWantMidi = 6,      // legacy
  audioMasterGetTime = 7,
  audioMasterProcessEvents = 8,
  audioMasterIOChanged = 13,
  audioMasterSizeWindow = 15,
  audioMasterGetSampleRate = 16,
  audioMasterGetBlockSize = 17,
  audioMasterGetInputLatency = 18,
  audioMasterGetOutputLatency = 19,
  audioMasterGetCurrentProcessLevel = 23,  // answers one of the VstProcessLevels below
  audioMasterGetAutomationState = 24,
  audioMasterOfflineStart = 25,
  audioMasterOfflineRead = 26,
  audioMasterOfflineWrite = 27,
  audioMasterOfflineGetCurrentPass = 28,
  audioMasterOfflineGetCurrentMetaPass = 29,
  audioMasterGetVendorString = 32,
  audioMasterGetProductString = 33,
  audioMasterGetVendorVersion = 34,
  audioMasterVendorSpecific = 35,
  audioMasterCanDo = 37,
  audioMasterGetLanguage = 38,
  audioMasterGetDirectory = 41,
  audioMasterUpdateDisplay = 42,
  audioMasterBeginEdit = 43,
  audioMasterEndEdit = 44,
  audioMasterOpenFileSelector = 45,
  audioMasterCloseFileSelector = 46,
};

// What audioMasterGetCurrentProcessLevel answers: the kind of thread the call came from.
enum VstProcessLevels : int32_t {
  kVstProcessLevelUnknown = 0,   // the host does not say
  kVstProcessLevelUser = 1,      // a user interface thread
  kVstProcessLevelRealtime = 2,  // the audio thread of a host playing live
  kVstProcessLevelPrefetch = 3,  // ahead of time, still for live playing
  kVstProcessLevelOffline = 4,   // rendering to a file, as fast as it goes
};

enum VstEventTypes : int32_t { kVstMidiType = 1, kVstSysExType = 6 };

struct VstEvent {
  int32_t type;
  int32_t byteSize;
  int32_t deltaFrames;
  int32_t flags;
  char data[16];
};

struct VstMidiEvent {
  int32_t type;
  int32_t byteSize;
  int32_t deltaFrames;
  int32_t flags;
  int32_t noteLength;
  int32_t noteOffset;
  char midiData[4];
  char detune;
  char noteOffVelocity;
  char reserved1;
  char reserved2;
};

struct VstMidiSysexEvent {
  int32_t type;
  int32_t byteSize;
  int32_t deltaFrames;
  int32_t flags;
  int32_t dumpBytes;
  VstIntPtr resvd1;
  char* sysexDump;
  VstIntPtr resvd2;
};

struct VstEvents {
  int32_t numEvents;
  VstIntPtr reserved;
  VstEvent* events[2];  // numEvents entries in fact
};

// The entries of a list: VstEvents declares two, a list holds numEvents. Index through
// this pointer rather than the declared array, whose bound is not the list's (indexing
// the array past 2 is undefined, and the sanitizers stop there).
inline VstEvent** EventSlots(VstEvents* list) {
  return list->events;
}

struct VstTimeInfo {
  double samplePos;
  double sampleRate;
  double nanoSeconds;
  double ppqPos;
  double tempo;
  double barStartPos;
  double cycleStartPos;
  double cycleEndPos;
  int32_t timeSigNumerator;
  int32_t timeSigDenominator;
  int32_t smpteOffset;
  int32_t smpteFrameRate;
  int32_t samplesToNextClock;
  int32_t flags;
};

struct VstSpeakerProperties {
  float azimuth;
  float elevation;
  float radius;
  float reserved;
  char name[64];
  int32_t type;
  char future[28];
};

struct VstSpeakerArrangement {
  int32_t type;
  int32_t numChannels;
  VstSpeakerProperties speakers[8];  // numChannels entries in fact
};

enum VstPlugCategory : int32_t { kPlugCategUnknown = 0, kPlugCategEffect = 1, kPlugCategSynth = 2 };

// ---- The published layouts, checked ----------------------------------------------------
constexpr bool kIs64 = sizeof(void*) == 8;
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);
static_assert(sizeof(AEffect) == (kIs64 ? 192 : 144));
static_assert(offsetof(AEffect, dispatcher) == (kIs64 ? 8 : 4));
static_assert(offsetof(AEffect, numPrograms) == (kIs64 ? 40 : 20));
static_assert(offsetof(AEffect, flags) == (kIs64 ? 56 : 36));
static_assert(offsetof(AEffect, resvd1) == (kIs64 ? 64 : 40));
static_assert(offsetof(AEffect, initialDelay) == (kIs64 ? 80 : 48));
static_assert(offsetof(AEffect, ioRatio) == (kIs64 ? 92 : 60));
static_assert(offsetof(AEffect, object) == (kIs64 ? 96 : 64));
static_assert(offsetof(AEffect, uniqueID) == (kIs64 ? 112 : 72));
static_assert(offsetof(AEffect, processReplacing) == (kIs64 ? 120 : 80));
static_assert(offsetof(AEffect, processDoubleReplacing) == (kIs64 ? 128 : 84));
static_assert(offsetof(AEffect, future) == (kIs64 ? 136 : 88));
static_assert(sizeof(VstEvent) == 32);
static_assert(sizeof(VstMidiEvent) == 32);
static_assert(offsetof(VstMidiEvent, deltaFrames) == 8);
static_assert(offsetof(VstMidiEvent, midiData) == 24);
static_assert(sizeof(VstMidiSysexEvent) == (kIs64 ? 48 : 32));
static_assert(offsetof(VstEvents, events) == (kIs64 ? 16 : 8));
static_assert(sizeof(VstTimeInfo) == 88);
static_assert(offsetof(VstTimeInfo, timeSigNumerator) == 64);
static_assert(sizeof(VstSpeakerProperties) == 112);
static_assert(offsetof(VstSpeakerProperties, type) == 80);
static_assert(sizeof(VstSpeakerArrangement) == 8 + 8 * 112);

}  // namespace vst2
