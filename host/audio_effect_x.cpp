#include <cstdlib>
#include <cstring>
#include <new>

#include "host/audio_effect.h"

namespace chantera {

using namespace vst2;

AudioEffectX::AudioEffectX(audioMasterCallback audioMaster, int32_t numPrograms, int32_t numParams)
    : AudioEffect(audioMaster, numPrograms, numParams) {}

VstIntPtr AudioEffectX::dispatcher(int32_t opcode, int32_t index, VstIntPtr value, void* ptr, float opt) {
  auto* text = static_cast<char*>(ptr);
  switch (opcode) {
    case effProcessEvents:
      return processEvents(static_cast<VstEvents*>(ptr));
    case effCanBeAutomated:
      return canParameterBeAutomated(index) ? 1 : 0;
    case effString2Parameter:
      return string2parameter(index, text) ? 1 : 0;
    case effGetProgramNameIndexed:
      if (!text) return 0;  // nowhere to write the name
      return getProgramNameIndexed(static_cast<int32_t>(value), index, text) ? 1 : 0;
    case effGetInputProperties:
      return getInputProperties(index, ptr) ? 1 : 0;
    case effGetOutputProperties:
      return getOutputProperties(index, ptr) ? 1 : 0;
    case effGetPlugCategory:
      return getPlugCategory();
    case effOfflineNotify:
      return offlineNotify(ptr, static_cast<int32_t>(value), index != 0) ? 1 : 0;
    case effOfflinePrepare:
      return offlinePrepare(ptr, static_cast<int32_t>(value)) ? 1 : 0;
    case effOfflineRun:
      return offlineRun(ptr, static_cast<int32_t>(value)) ? 1 : 0;
    case effProcessVarIo:
      return processVariableIo(ptr) ? 1 : 0;
    case effSetSpeakerArrangement:
      return setSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement*>(value),
                                   static_cast<VstSpeakerArrangement*>(ptr))
                 ? 1
                 : 0;
    case effSetBypass:
      return setBypass(value != 0) ? 1 : 0;
    case effGetEffectName:
      if (!text) return 0;
      return getEffectName(text) ? 1 : 0;
    case effGetVendorString:
      if (!text) return 0;
      return getVendorString(text) ? 1 : 0;
    case effGetProductString:
      if (!text) return 0;
      return getProductString(text) ? 1 : 0;
    case effGetVendorVersion:
      return getVendorVersion();
    case effVendorSpecific:
      return vendorSpecific(index, value, ptr, opt);
    case effCanDo:
      return canDo(text);
    case effGetTailSize:
      return getGetTailSize();
    case effGetParameterProperties:
      return getParameterProperties(index, ptr) ? 1 : 0;
    case effGetVstVersion:
      return getVstVersion();
    case effEditKeyDown:
    case effEditKeyUp:
    case effSetEditKnobMode:
      return 0;  // no editor
    case effGetMidiProgramName:
      return getMidiProgramName(index, ptr);
    case effGetCurrentMidiProgram:
      return getCurrentMidiProgram(index, ptr);
    case effGetMidiProgramCategory:
      return getMidiProgramCategory(index, ptr);
    case effHasMidiProgramsChanged:
      return hasMidiProgramsChanged(index) ? 1 : 0;
    case effGetMidiKeyName:
      return getMidiKeyName(index, ptr) ? 1 : 0;
    case effBeginSetProgram:
      return beginSetProgram() ? 1 : 0;
    case effEndSetProgram:
      return endSetProgram() ? 1 : 0;
    case effGetSpeakerArrangement:
      return getSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement**>(value),
                                   static_cast<VstSpeakerArrangement**>(ptr))
                 ? 1
                 : 0;
    case effShellGetNextPlugin:
      return getNextShellPlugin(text);
    case effStartProcess:
      return startProcess();
    case effStopProcess:
      return stopProcess();
    case effSetTotalSampleToProcess:
      return setTotalSampleToProcess(static_cast<int32_t>(value));
    case effSetPanLaw:
      return setPanLaw(static_cast<int32_t>(value), opt) ? 1 : 0;
    case effBeginLoadBank:
      return beginLoadBank(ptr);
    case effBeginLoadProgram:
      return beginLoadProgram(ptr);
    case effSetProcessPrecision:
      return setProcessPrecision(static_cast<int32_t>(value)) ? 1 : 0;
    case effGetNumMidiInputChannels:
      return getNumMidiInputChannels();
    case effGetNumMidiOutputChannels:
      return getNumMidiOutputChannels();
    default:
      return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
  }
}

void AudioEffectX::resume() {
  if ((cEffect.flags & effFlagsIsSynth) != 0 || canDo(const_cast<char*>("receiveVstMidiEvent")) == 1) wantEvents(1);
}

void AudioEffectX::wantEvents(int32_t filter) {
  CallHost(audioMasterWantMidi, 0, filter);
}

int32_t AudioEffectX::getPlugCategory() {
  return (cEffect.flags & effFlagsIsSynth) != 0 ? kPlugCategSynth : kPlugCategUnknown;
}

bool AudioEffectX::getSpeakerArrangement(VstSpeakerArrangement** input, VstSpeakerArrangement** output) {
  // A host may pass no place for one of the two answers.
  if (input) *input = nullptr;
  if (output) *output = nullptr;
  return false;
}

// ---- Host callback helpers -----------------------------------------------------------------

bool AudioEffectX::beginEdit(int32_t index) {
  return CallHost(audioMasterBeginEdit, index) != 0;
}
bool AudioEffectX::endEdit(int32_t index) {
  return CallHost(audioMasterEndEdit, index) != 0;
}
bool AudioEffectX::ioChanged() {
  return CallHost(audioMasterIOChanged) != 0;
}

double AudioEffectX::updateSampleRate() {
  const VstIntPtr rate = CallHost(audioMasterGetSampleRate);
  if (rate > 0) sampleRate = static_cast<float>(rate);
  return sampleRate;
}

int32_t AudioEffectX::updateBlockSize() {
  const VstIntPtr size = CallHost(audioMasterGetBlockSize);
  if (size > 0) blockSize = static_cast<int32_t>(size);
  return blockSize;
}

int32_t AudioEffectX::getInputLatency() {
  return static_cast<int32_t>(CallHost(audioMasterGetInputLatency));
}
int32_t AudioEffectX::getOutputLatency() {
  return static_cast<int32_t>(CallHost(audioMasterGetOutputLatency));
}

VstTimeInfo* AudioEffectX::getTimeInfo(int32_t filter) {
  return reinterpret_cast<VstTimeInfo*>(CallHost(audioMasterGetTime, 0, filter));
}

int32_t AudioEffectX::getCurrentProcessLevel() {
  return static_cast<int32_t>(CallHost(audioMasterGetCurrentProcessLevel));
}
int32_t AudioEffectX::getAutomationState() {
  return static_cast<int32_t>(CallHost(audioMasterGetAutomationState));
}

bool AudioEffectX::offlineStart(void* audioFiles, int32_t numAudioFiles, int32_t numNewAudioFiles) {
  return CallHost(audioMasterOfflineStart, numNewAudioFiles, numAudioFiles, audioFiles) != 0;
}
bool AudioEffectX::offlineRead(void* offline, int32_t option, bool readSource) {
  return CallHost(audioMasterOfflineRead, readSource ? 1 : 0, option, offline) != 0;
}
bool AudioEffectX::offlineWrite(void* offline, int32_t option) {
  return CallHost(audioMasterOfflineWrite, 0, option, offline) != 0;
}
int32_t AudioEffectX::offlineGetCurrentPass() {
  return CallHost(audioMasterOfflineGetCurrentPass) != 0 ? 1 : 0;
}
int32_t AudioEffectX::offlineGetCurrentMetaPass() {
  return CallHost(audioMasterOfflineGetCurrentMetaPass) != 0 ? 1 : 0;
}

bool AudioEffectX::getHostVendorString(char* text) {
  return CallHost(audioMasterGetVendorString, 0, 0, text) != 0;
}
bool AudioEffectX::getHostProductString(char* text) {
  return CallHost(audioMasterGetProductString, 0, 0, text) != 0;
}
int32_t AudioEffectX::getHostVendorVersion() {
  return static_cast<int32_t>(CallHost(audioMasterGetVendorVersion));
}
VstIntPtr AudioEffectX::hostVendorSpecific(int32_t arg1, VstIntPtr arg2, void* ptr, float opt) {
  return CallHost(audioMasterVendorSpecific, arg1, arg2, ptr, opt);
}
int32_t AudioEffectX::canHostDo(char* text) {
  return CallHost(audioMasterCanDo, 0, 0, text) != 0 ? 1 : 0;
}
int32_t AudioEffectX::getHostLanguage() {
  return static_cast<int32_t>(CallHost(audioMasterGetLanguage));
}
void* AudioEffectX::getDirectory() {
  return reinterpret_cast<void*>(CallHost(audioMasterGetDirectory));
}
bool AudioEffectX::updateDisplay() {
  return CallHost(audioMasterUpdateDisplay) != 0;
}
bool AudioEffectX::sizeWindow(int32_t width, int32_t height) {
  return CallHost(audioMasterSizeWindow, width, height) != 0;
}
bool AudioEffectX::openFileSelector(void* ptr) {
  return ptr != nullptr && CallHost(audioMasterOpenFileSelector, 0, 0, ptr) != 0;
}
bool AudioEffectX::closeFileSelector(void* ptr) {
  return ptr != nullptr && CallHost(audioMasterCloseFileSelector, 0, 0, ptr) != 0;
}

// ---- Speaker-arrangement tools ---------------------------------------------------------------

namespace {
size_t ArrangementBytes(int32_t channels) {
  const size_t n = channels > 0 ? static_cast<size_t>(channels) : 0;
  return offsetof(VstSpeakerArrangement, speakers) + n * sizeof(VstSpeakerProperties);
}
}  // namespace

bool AudioEffectX::allocateArrangement(VstSpeakerArrangement** arrangement, int32_t nbChannels) {
  if (arrangement == nullptr) return false;
  std::free(*arrangement);
  *arrangement = static_cast<VstSpeakerArrangement*>(std::calloc(1, ArrangementBytes(nbChannels)));
  if (*arrangement == nullptr) return false;
  (*arrangement)->numChannels = nbChannels;
  return true;
}

bool AudioEffectX::deallocateArrangement(VstSpeakerArrangement** arrangement) {
  if (arrangement == nullptr) return false;
  std::free(*arrangement);
  *arrangement = nullptr;
  return true;
}

bool AudioEffectX::copySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from) {
  if (to == nullptr || from == nullptr) return false;
  std::strncpy(to->name, from->name, 63);
  to->name[63] = 0;
  to->type = from->type;
  to->azimuth = from->azimuth;
  to->elevation = from->elevation;
  to->radius = from->radius;
  to->reserved = from->reserved;
  std::memcpy(to->future, from->future, sizeof to->future);
  return true;
}

bool AudioEffectX::matchArrangement(VstSpeakerArrangement** to, VstSpeakerArrangement* from) {
  if (from == nullptr || to == nullptr) return false;
  if (!deallocateArrangement(to) || !allocateArrangement(to, from->numChannels)) return false;
  (*to)->type = from->type;
  for (int32_t i = 0; i < from->numChannels; ++i)
    if (!copySpeaker(&(*to)->speakers[i], &from->speakers[i])) return false;
  return true;
}

}  // namespace chantera
