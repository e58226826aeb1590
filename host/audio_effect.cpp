#include "host/audio_effect.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "host/text_format.h"

namespace chantera {

using namespace vst2;

AudioEffect::AudioEffect(audioMasterCallback audioMaster, int32_t numPrograms, int32_t numParams)
    : audioMaster(audioMaster),
      editor(nullptr),
      sampleRate(44100.0f),
      blockSize(1024),
      numPrograms(numPrograms),
      numParams(numParams),
      curProgram(0) {
  std::memset(&cEffect, 0, sizeof cEffect);
  cEffect.magic = kEffectMagic;
  cEffect.dispatcher = dispatchEffectClass;
  cEffect.process = processClass;
  cEffect.setParameter = setParameterClass;
  cEffect.getParameter = getParameterClass;
  cEffect.numPrograms = numPrograms;
  cEffect.numParams = numParams;
  cEffect.numInputs = 1;
  cEffect.numOutputs = 2;
  cEffect.ioRatio = 1.0f;
  cEffect.object = this;
  cEffect.uniqueID = FourCC('N', 'o', 'E', 'f');
  cEffect.version = 1;
  cEffect.processReplacing = processClassReplacing;
  // Not virtual dispatch yet (the derived part does not exist): the base flag setter.
  SetFlag(effFlagsCanReplacing, true);
  cEffect.processDoubleReplacing = processClassDoubleReplacing;
}

AudioEffect::~AudioEffect() {
  delete editor;
}

void AudioEffect::SetFlag(int32_t flag, bool state) {
  if (state)
    cEffect.flags |= flag;
  else
    cEffect.flags &= ~flag;
}

VstIntPtr AudioEffect::CallHost(int32_t opcode, int32_t index, VstIntPtr value, void* ptr, float opt) {
  return audioMaster ? audioMaster(&cEffect, opcode, index, value, ptr, opt) : 0;
}

// ---- Entry functions stored in the AEffect record -------------------------------------

VstIntPtr VSTCALLBACK AudioEffect::dispatchEffectClass(AEffect* e, int32_t opcode, int32_t index, VstIntPtr value,
                                                       void* ptr, float opt) {
  auto* self = static_cast<AudioEffect*>(e->object);
  if (opcode == effClose) {
    self->dispatcher(opcode, index, value, ptr, opt);
    delete self;
    return 1;
  }
  return self->dispatcher(opcode, index, value, ptr, opt);
}

float VSTCALLBACK AudioEffect::getParameterClass(AEffect* e, int32_t index) {
  return static_cast<AudioEffect*>(e->object)->getParameter(index);
}

void VSTCALLBACK AudioEffect::setParameterClass(AEffect* e, int32_t index, float value) {
  static_cast<AudioEffect*>(e->object)->setParameter(index, value);
}

void VSTCALLBACK AudioEffect::processClass(AEffect* e, float** inputs, float** outputs, int32_t frames) {
  static_cast<AudioEffect*>(e->object)->process(inputs, outputs, frames);
}

void VSTCALLBACK AudioEffect::processClassReplacing(AEffect* e, float** inputs, float** outputs, int32_t frames) {
  static_cast<AudioEffect*>(e->object)->processReplacing(inputs, outputs, frames);
}

void VSTCALLBACK AudioEffect::processClassDoubleReplacing(AEffect* e, double** inputs, double** outputs,
                                                          int32_t frames) {
  static_cast<AudioEffect*>(e->object)->processDoubleReplacing(inputs, outputs, frames);
}

// ---- Dispatcher, opcodes 0..24 -----------------------------------------------------------

VstIntPtr AudioEffect::dispatcher(int32_t opcode, int32_t index, VstIntPtr value, void* ptr, float opt) {
  auto* text = static_cast<char*>(ptr);
  switch (opcode) {
    case effOpen:
      open();
      return 0;
    case effClose:
      close();
      return 0;
    case effSetProgram:
      // Signed comparison: negative numbers reach setProgram, which ignores them. A value
      // beyond the 32-bit range (only a 64-bit host can send one) would change meaning
      // when narrowed, so it is treated as out of range.
      if (value < numPrograms && value >= std::numeric_limits<int32_t>::min()) setProgram(static_cast<int32_t>(value));
      return 0;
    case effGetProgram:
      return getProgram();
    case effSetProgramName:
      if (text) setProgramName(text);  // some hosts send a null name
      return 0;
    case effGetProgramName:
      if (text) getProgramName(text);
      return 0;
    case effGetParamLabel:
      if (text) getParameterLabel(index, text);
      return 0;
    case effGetParamDisplay:
      if (text) getParameterDisplay(index, text);
      return 0;
    case effGetParamName:
      if (text) getParameterName(index, text);
      return 0;
    case effSetSampleRate:
      setSampleRate(opt);
      return 0;
    case effSetBlockSize:
      setBlockSize(static_cast<int32_t>(value));
      return 0;
    case effMainsChanged:
      if (value == 0)
        suspend();
      else
        resume();
      return 0;
    case effEditGetRect:
    case effEditOpen:
    case effEditClose:
    case effEditIdle:
      return 0;  // no editor
    case effIdentify:
      return FourCC('N', 'v', 'E', 'f');
    case effGetChunk:
      return getChunk(static_cast<void**>(ptr), index != 0);
    case effSetChunk:
      return setChunk(ptr, static_cast<int32_t>(value), index != 0);
    default:
      return 0;
  }
}

// ---- Host callback helpers ---------------------------------------------------------------

void AudioEffect::setParameterAutomated(int32_t index, float value) {
  setParameter(index, value);
  CallHost(audioMasterAutomate, index, 0, nullptr, value);
}

int32_t AudioEffect::getMasterVersion() {
  const VstIntPtr version = CallHost(audioMasterVersion);
  return version != 0 ? static_cast<int32_t>(version) : 1;
}

int32_t AudioEffect::getCurrentUniqueId() {
  return static_cast<int32_t>(CallHost(audioMasterCurrentId));
}

void AudioEffect::masterIdle() {
  CallHost(audioMasterIdle);
}

bool AudioEffect::isInputConnected(int32_t input) {
  return audioMaster ? CallHost(audioMasterPinConnected, input, 0) == 0 : true;
}

bool AudioEffect::isOutputConnected(int32_t output) {
  return audioMaster ? CallHost(audioMasterPinConnected, output, 1) == 0 : true;
}

// ---- Text helpers --------------------------------------------------------------------------

void AudioEffect::dB2string(float value, char* text, int32_t maxLen) {
  if (!(value > 0.0f)) {  // 0, negative, or not a number
    text::CopyLimited(text, "-oo", maxLen);
    return;
  }
  float2string(static_cast<float>(20.0 * std::log10(static_cast<double>(value))), text, maxLen);
}

void AudioEffect::Hz2string(float samples, char* text, int32_t maxLen) {
  const float rate = getSampleRate();
  if (samples == 0.0f) {
    float2string(0.0f, text, maxLen);
    return;
  }
  float2string(static_cast<float>(rate / samples), text, maxLen);
}

void AudioEffect::ms2string(float samples, char* text, int32_t maxLen) {
  float2string(static_cast<float>(samples * 1000.0 / getSampleRate()), text, maxLen);
}

void AudioEffect::float2string(float value, char* text, int32_t maxLen) {
  text::FloatToString(value, text, maxLen);
}

void AudioEffect::int2string(int32_t value, char* text, int32_t maxLen) {
  text::IntToString(value, text, maxLen);
}

}  // namespace chantera
