#include "host/sampler_plugin.h"

#include <cstring>
#include <new>

#include "engine/sampler.h"
#include "host/vendor_queries.h"
#include "params/parameter_table.h"
#include "params/parameters.h"
#include "params/programs.h"
#include "platform/platform.h"

namespace chantera {

using namespace vst2;

SamplerPlugin::SamplerPlugin(audioMasterCallback audioMaster, const char* pluginDir)
    : AudioEffectX(audioMaster, kProgramCount, kParameterCount) {
  if (audioMaster != nullptr) {
    setNumInputs(0);
    setNumOutputs(2);
    canProcessReplacing(true);
    isSynth(true);
    setUniqueID(kPluginUniqueId);
  }
  std::string dir = pluginDir != nullptr ? std::string(pluginDir) : platform::ModuleDirectory();
  // No path at all: look beside the working directory rather than at the file-system root.
  if (dir.empty()) dir.assign(1, '.');
  // A host that words the messages itself hands over its sink before voice 0 is read, so
  // that none of this instance's messages escapes it. It writes the sink through ptr and
  // answers the query's own code: any other answer (hosts that say 0, or 1 to whatever
  // they do not know) leaves the messages shown as ever.
  ChanteraMessageSink offered = nullptr;
  platform::MessageSink sink = nullptr;
  if (audioMaster != nullptr && audioMaster(&cEffect, audioMasterVendorSpecific, kChanteraQuery,
                                            kChanteraMessagesToHost, &offered, 0.0f) == kChanteraQuery)
    sink = offered;
  engine_ = std::make_shared<Sampler>(std::move(dir), sink);
}

SamplerPlugin::~SamplerPlugin() {
  engine_->Shutdown();
  engine_.reset();
}

VstIntPtr SamplerPlugin::dispatcher(int32_t opcode, int32_t index, VstIntPtr value, void* ptr, float opt) {
  if (opcode != effProcessEvents && opcode != effStartProcess && opcode != effStopProcess &&
      latencyToAnnounce_.exchange(false, std::memory_order_acq_rel))
    ioChanged();
  return AudioEffectX::dispatcher(opcode, index, value, ptr, opt);
}

void SamplerPlugin::setSampleRate(float rate) {
  AudioEffect::setSampleRate(rate);
  engine_->SetHostSampleRate(rate);
  UpdateInitialDelay();  // the same latency in time is another count of frames
}

void SamplerPlugin::UpdateInitialDelay() {
  const auto latency = static_cast<int32_t>(engine_->LatencyFrames());
  // The host reads the field from its own threads: written as one 32-bit store.
  std::atomic_ref<int32_t> delay(cEffect.initialDelay);
  if (delay.load(std::memory_order_relaxed) == latency) return;
  delay.store(latency, std::memory_order_relaxed);
  latencyToAnnounce_.store(true, std::memory_order_release);
}

Sampler::Switching SamplerPlugin::SwitchingFor(int32_t processLevel) {
  switch (processLevel) {
    case kVstProcessLevelUnknown:
    case kVstProcessLevelOffline:
      return Sampler::Switching::kAtOnce;
    default:
      return Sampler::Switching::kInBackground;
  }
}

void SamplerPlugin::processReplacing(float** inputs, float** outputs, int32_t sampleFrames) {
  // A host may hand in no output arrays (some probe the call before resume).
  if (outputs == nullptr || outputs[0] == nullptr || outputs[1] == nullptr) return;
  // Asked at every block: a host switches to offline rendering (and back) between two.
  const int32_t level = getCurrentProcessLevel();
  engine_->SetBankSelectSwitching(SwitchingFor(level));
  engine_->SetRenderingOffline(level == kVstProcessLevelOffline);  // Quality high unless chosen
  engine_->Process(outputs[0], outputs[1], sampleFrames);
  UpdateInitialDelay();
}

int32_t SamplerPlugin::processEvents(VstEvents* events) {
  const int32_t total = events != nullptr ? events->numEvents : 0;
  engine_->BeginEvents();
  for (int32_t i = 0; i < total; ++i) {
    const VstEvent* event = EventSlots(events)[i];
    if (event == nullptr || event->type != kVstMidiType) continue;
    const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
    MidiEvent record;
    record.deltaFrames = midi->deltaFrames;
    record.status = static_cast<uint8_t>(midi->midiData[0]);
    record.data1 = static_cast<uint8_t>(midi->midiData[1]);
    record.data2 = static_cast<uint8_t>(midi->midiData[2]);
    engine_->QueueEvent(record);
  }
  return 1;
}

void SamplerPlugin::setParameter(int32_t index, float value) {
  if (index == kParamEffect) {
    // At once the switch reloads the voice on this thread, for a long time: the engine is
    // kept alive for it should the host close the instance meanwhile. In the background
    // it returns at once (a host may automate it from its audio thread).
    const std::shared_ptr<Sampler> keep = engine_;
    keep->SetEffect(value, SwitchingForThisCall());
    return;
  }
  engine_->SetParameter(index, value);
}

float SamplerPlugin::getParameter(int32_t index) {
  return engine_->GetParameter(index);
}

void SamplerPlugin::getParameterLabel(int32_t index, char* label) {
  WriteParameterLabel(index, label);
}

void SamplerPlugin::getParameterName(int32_t index, char* text) {
  WriteParameterName(index, text);
}

void SamplerPlugin::getParameterDisplay(int32_t index, char* text) {
  *text = 0;
  if (index == kParamVolume) {
    dB2string(engine_->Volume(), text, 8);
    return;
  }
  WriteParameterDisplay(index, engine_->PitchBendRange(), engine_->EffectOn(), engine_->ReleaseFactor(),
                        engine_->ReleaseLimit(), text);
}

int32_t SamplerPlugin::getProgram() {
  return engine_->GetProgram();
}
void SamplerPlugin::setProgram(int32_t program) {
  engine_->SetProgram(program);
}
void SamplerPlugin::setProgramName(char* name) {
  engine_->SetProgramName(name);
}
void SamplerPlugin::getProgramName(char* name) {
  engine_->GetProgramName(name);
}
bool SamplerPlugin::getProgramNameIndexed(int32_t category, int32_t index, char* text) {
  return engine_->GetProgramNameIndexed(index, text);
}

bool SamplerPlugin::getEffectName(char* name) {
  std::strcpy(name, kVst2ProductName);
  return true;
}
bool SamplerPlugin::getVendorString(char* text) {
  std::strcpy(text, kVendorName);
  return true;
}
bool SamplerPlugin::getProductString(char* text) {
  std::strcpy(text, kVst2ProductName);
  return true;
}

int32_t SamplerPlugin::canDo(char* text) {
  if (text == nullptr) return -1;
  if (std::strcmp(text, "receiveVstEvents") == 0) return 1;
  if (std::strcmp(text, "receiveVstMidiEvent") == 0) return 1;
  return -1;
}

VstIntPtr SamplerPlugin::vendorSpecific(int32_t index, VstIntPtr value, void* ptr, float opt) {
  if (index != kChanteraQuery) return 0;
  switch (value) {
    case kChanteraLoaderBusy:
      return engine_->BackgroundWorkPending() ? 1 : 0;
    case kChanteraMessagesShown:
      return static_cast<VstIntPtr>(engine_->Messages().shown.load(std::memory_order_relaxed));
    case kChanteraMessagesToHost:
      // The host hands over a function of its own: the one way to pass code through ptr.
      engine_->Messages().sink.store(reinterpret_cast<ChanteraMessageSink>(ptr),  // NOLINT
                                     std::memory_order_release);
      return 1;
    default:
      return 0;
  }
}

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
  try {
    return new SamplerPlugin(audioMaster);
  } catch (...) {
    return nullptr;  // out of memory while building the instance
  }
}

}  // namespace chantera
