// The two VST 2 base classes: AudioEffect turns the host's opcodes 0..24 into virtual
// operations, AudioEffectX adds opcodes 25..79, the host callback helpers and the
// speaker-arrangement tools. Every operation has the default answer a plug-in that does
// not override it gives; SamplerPlugin overrides what it needs.
//
// Threads: the dispatcher and the parameter callbacks run on whichever host thread calls
// them; the processing callbacks on the host's audio thread. The base classes keep no
// state of their own beyond the AEffect record and the members below.
#pragma once

#include <cstdint>

#include "host/vst2.h"

namespace chantera {

using vst2::VstIntPtr;

class AEffEditor {  // no editor is ever made; the type exists for the editor slot
 public:
  virtual ~AEffEditor() = default;
};

class AudioEffect {
 public:
  AudioEffect(vst2::audioMasterCallback audioMaster, int32_t numPrograms, int32_t numParams);
  virtual ~AudioEffect();

  virtual VstIntPtr dispatcher(int32_t opcode, int32_t index, VstIntPtr value, void* ptr, float opt);
  virtual void open() {}
  virtual void close() {}
  virtual void suspend() {}
  virtual void resume() {}
  virtual void setSampleRate(float sampleRate) { this->sampleRate = sampleRate; }
  virtual void setBlockSize(int32_t blockSize) { this->blockSize = blockSize; }
  virtual void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) = 0;
  virtual void processDoubleReplacing(double** inputs, double** outputs, int32_t sampleFrames) {}
  virtual void setParameter(int32_t index, float value) {}
  virtual float getParameter(int32_t index) { return 0.0f; }
  virtual void setParameterAutomated(int32_t index, float value);
  virtual int32_t getProgram() { return curProgram; }
  virtual void setProgram(int32_t program) { curProgram = program; }
  virtual void setProgramName(char* name) {}
  virtual void getProgramName(char* name) { *name = 0; }
  virtual void getParameterLabel(int32_t index, char* label) { *label = 0; }
  virtual void getParameterDisplay(int32_t index, char* text) { *text = 0; }
  virtual void getParameterName(int32_t index, char* text) { *text = 0; }
  virtual int32_t getChunk(void** data, bool isPreset) { return 0; }
  virtual int32_t setChunk(void* data, int32_t byteSize, bool isPreset) { return 0; }
  virtual void setUniqueID(int32_t iD) { cEffect.uniqueID = iD; }
  virtual void setNumInputs(int32_t inputs) { cEffect.numInputs = inputs; }
  virtual void setNumOutputs(int32_t outputs) { cEffect.numOutputs = outputs; }
  virtual void canProcessReplacing(bool state) { SetFlag(vst2::effFlagsCanReplacing, state); }
  virtual void canDoubleReplacing(bool state) { SetFlag(vst2::effFlagsCanDoubleReplacing, state); }
  virtual void programsAreChunks(bool state) { SetFlag(vst2::effFlagsProgramChunks, state); }
  virtual void setInitialDelay(int32_t delay) { cEffect.initialDelay = delay; }
  virtual AEffEditor* getEditor() { return editor; }
  virtual vst2::AEffect* getAeffect() { return &cEffect; }
  virtual float getSampleRate() { return sampleRate; }
  virtual int32_t getBlockSize() { return blockSize; }
  virtual int32_t getMasterVersion();
  virtual int32_t getCurrentUniqueId();
  virtual void masterIdle();
  virtual void dB2string(float value, char* text, int32_t maxLen);
  virtual void Hz2string(float samples, char* text, int32_t maxLen);
  virtual void ms2string(float samples, char* text, int32_t maxLen);
  virtual void float2string(float value, char* text, int32_t maxLen);
  virtual void int2string(int32_t value, char* text, int32_t maxLen);
  virtual void process(float** inputs, float** outputs, int32_t sampleFrames) {}
  virtual float getVu() { return 0.0f; }
  virtual void hasVu(bool state) { SetFlag(vst2::effFlagsHasVu, state); }
  virtual void hasClip(bool state) { SetFlag(vst2::effFlagsHasClip, state); }
  virtual void canMono(bool state) { SetFlag(vst2::effFlagsCanMono, state); }
  virtual void setRealtimeQualities(int32_t qualities) { cEffect.realQualities = qualities; }
  virtual void setOfflineQualities(int32_t qualities) { cEffect.offQualities = qualities; }
  virtual bool isInputConnected(int32_t input);
  virtual bool isOutputConnected(int32_t output);

  AudioEffect(const AudioEffect&) = delete;
  AudioEffect& operator=(const AudioEffect&) = delete;

 protected:
  // Calls the host with this instance's AEffect; 0 when there is no host callback.
  VstIntPtr CallHost(int32_t opcode, int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f);
  void SetFlag(int32_t flag, bool state);

  vst2::audioMasterCallback audioMaster;
  AEffEditor* editor;
  float sampleRate;
  int32_t blockSize;
  int32_t numPrograms;
  int32_t numParams;
  int32_t curProgram;
  vst2::AEffect cEffect;

 private:
  static VstIntPtr VSTCALLBACK dispatchEffectClass(vst2::AEffect* e, int32_t opcode, int32_t index, VstIntPtr value,
                                                   void* ptr, float opt);
  static float VSTCALLBACK getParameterClass(vst2::AEffect* e, int32_t index);
  static void VSTCALLBACK setParameterClass(vst2::AEffect* e, int32_t index, float value);
  static void VSTCALLBACK processClass(vst2::AEffect* e, float** inputs, float** outputs, int32_t frames);
  static void VSTCALLBACK processClassReplacing(vst2::AEffect* e, float** inputs, float** outputs, int32_t frames);
  static void VSTCALLBACK processClassDoubleReplacing(vst2::AEffect* e, double** inputs, double** outputs,
                                                      int32_t frames);
};

class AudioEffectX : public AudioEffect {
 public:
  AudioEffectX(vst2::audioMasterCallback audioMaster, int32_t numPrograms, int32_t numParams);

  VstIntPtr dispatcher(int32_t opcode, int32_t index, VstIntPtr value, void* ptr, float opt) override;
  void resume() override;

  virtual bool canParameterBeAutomated(int32_t index) { return true; }
  virtual bool string2parameter(int32_t index, char* text) { return false; }
  virtual bool getParameterProperties(int32_t index, void* p) { return false; }
  virtual bool beginEdit(int32_t index);
  virtual bool endEdit(int32_t index);
  virtual bool getProgramNameIndexed(int32_t category, int32_t index, char* text) { return false; }
  virtual bool beginSetProgram() { return false; }
  virtual bool endSetProgram() { return false; }
  virtual int32_t beginLoadBank(void* ptr) { return 0; }
  virtual int32_t beginLoadProgram(void* ptr) { return 0; }
  virtual bool ioChanged();
  virtual double updateSampleRate();
  virtual int32_t updateBlockSize();
  virtual int32_t getInputLatency();
  virtual int32_t getOutputLatency();
  virtual bool getInputProperties(int32_t index, void* properties) { return false; }
  virtual bool getOutputProperties(int32_t index, void* properties) { return false; }
  virtual bool setSpeakerArrangement(vst2::VstSpeakerArrangement* input, vst2::VstSpeakerArrangement* output) {
    return false;
  }
  virtual bool getSpeakerArrangement(vst2::VstSpeakerArrangement** input, vst2::VstSpeakerArrangement** output);
  virtual bool setBypass(bool onOff) { return false; }
  virtual bool setPanLaw(int32_t type, float val) { return false; }
  virtual bool setProcessPrecision(int32_t precision) { return false; }
  virtual int32_t getNumMidiInputChannels() { return 0; }
  virtual int32_t getNumMidiOutputChannels() { return 0; }
  virtual vst2::VstTimeInfo* getTimeInfo(int32_t filter);
  virtual int32_t getCurrentProcessLevel();
  virtual int32_t getAutomationState();
  virtual int32_t processEvents(vst2::VstEvents* events) { return 0; }
  virtual int32_t startProcess() { return 0; }
  virtual int32_t stopProcess() { return 0; }
  virtual bool processVariableIo(void* varIo) { return false; }
  virtual int32_t setTotalSampleToProcess(int32_t value) { return value; }
  virtual bool getHostVendorString(char* text);
  virtual bool getHostProductString(char* text);
  virtual int32_t getHostVendorVersion();
  virtual VstIntPtr hostVendorSpecific(int32_t arg1, VstIntPtr arg2, void* ptr, float opt);
  virtual int32_t canHostDo(char* text);
  virtual int32_t getHostLanguage();
  virtual void isSynth(bool state) { SetFlag(vst2::effFlagsIsSynth, state); }
  virtual void noTail(bool state) { SetFlag(vst2::effFlagsNoSoundInStop, state); }
  virtual int32_t getGetTailSize() { return 0; }
  virtual void* getDirectory();
  virtual bool getEffectName(char* name) { return false; }
  virtual bool getVendorString(char* text) { return false; }
  virtual bool getProductString(char* text) { return false; }
  virtual int32_t getVendorVersion() { return 0; }
  virtual VstIntPtr vendorSpecific(int32_t index, VstIntPtr value, void* ptr, float opt) { return 0; }
  virtual int32_t canDo(char* text) { return 0; }
  virtual int32_t getVstVersion() { return 2400; }
  virtual int32_t getPlugCategory();
  virtual int32_t getMidiProgramName(int32_t channel, void* midiProgramName) { return 0; }
  virtual int32_t getCurrentMidiProgram(int32_t channel, void* currentProgram) { return -1; }
  virtual int32_t getMidiProgramCategory(int32_t channel, void* category) { return 0; }
  virtual bool hasMidiProgramsChanged(int32_t channel) { return false; }
  virtual bool getMidiKeyName(int32_t channel, void* keyName) { return false; }
  virtual bool updateDisplay();
  virtual bool sizeWindow(int32_t width, int32_t height);
  virtual bool openFileSelector(void* ptr);
  virtual bool closeFileSelector(void* ptr);
  virtual int32_t getNextShellPlugin(char* name) { return 0; }
  virtual bool allocateArrangement(vst2::VstSpeakerArrangement** arrangement, int32_t nbChannels);
  virtual bool deallocateArrangement(vst2::VstSpeakerArrangement** arrangement);
  virtual bool copySpeaker(vst2::VstSpeakerProperties* to, vst2::VstSpeakerProperties* from);
  virtual bool matchArrangement(vst2::VstSpeakerArrangement** to, vst2::VstSpeakerArrangement* from);
  virtual bool offlineRead(void* offline, int32_t option, bool readSource = true);
  virtual bool offlineWrite(void* offline, int32_t option);
  virtual bool offlineStart(void* audioFiles, int32_t numAudioFiles, int32_t numNewAudioFiles);
  virtual int32_t offlineGetCurrentPass();
  virtual int32_t offlineGetCurrentMetaPass();
  virtual bool offlineNotify(void* ptr, int32_t numAudioFiles, bool start) { return false; }
  virtual bool offlinePrepare(void* offline, int32_t count) { return false; }
  virtual bool offlineRun(void* offline, int32_t count) { return false; }
  // Legacy: asks the host for MIDI events (reached from resume).
  virtual void wantEvents(int32_t filter = 1);
};

}  // namespace chantera
