// The VST 2 instrument: a thin translation of opcodes and records into calls of the
// Sampler engine. Threads are those of each call (see engine/sampler.h).
#pragma once

#include <atomic>
#include <memory>

#include "engine/sampler.h"
#include "host/audio_effect.h"

namespace chantera {

class SamplerPlugin : public AudioEffectX {
 public:
  // pluginDir: where voice.csv is looked for; empty means the directory of this module.
  explicit SamplerPlugin(vst2::audioMasterCallback audioMaster, const char* pluginDir = nullptr);
  ~SamplerPlugin() override;

  // Every opcode but those of the audio thread comes from a host thread: where a latency
  // that the audio thread changed is announced (audioMasterIOChanged).
  VstIntPtr dispatcher(int32_t opcode, int32_t index, VstIntPtr value, void* ptr, float opt) override;
  void setSampleRate(float sampleRate) override;
  void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override;
  int32_t processEvents(vst2::VstEvents* events) override;

  void setParameter(int32_t index, float value) override;
  float getParameter(int32_t index) override;
  void getParameterLabel(int32_t index, char* label) override;
  void getParameterDisplay(int32_t index, char* text) override;
  void getParameterName(int32_t index, char* text) override;

  int32_t getProgram() override;
  void setProgram(int32_t program) override;
  void setProgramName(char* name) override;
  void getProgramName(char* name) override;
  bool getProgramNameIndexed(int32_t category, int32_t index, char* text) override;

  bool getEffectName(char* name) override;
  bool getVendorString(char* text) override;
  bool getProductString(char* text) override;
  int32_t canDo(char* text) override;
  // Chantera's own questions for hosts (host/vendor_queries.h): whether a voice still loads
  // or the Chorus rebuild still runs, how many messages the library has shown, and where its messages go.
  VstIntPtr vendorSpecific(int32_t index, VstIntPtr value, void* ptr, float opt) override;
  int32_t getNumMidiInputChannels() override { return 1; }
  int32_t getNumMidiOutputChannels() override { return 0; }

  Sampler& engine() { return *engine_; }

 private:
  // How voice switches asked for in this call are made, from the host's process level:
  // at once for a host that renders offline, or says nothing (as before hosts could say);
  // in the background for one that plays live.
  Sampler::Switching SwitchingFor(int32_t processLevel);
  Sampler::Switching SwitchingForThisCall() { return SwitchingFor(getCurrentProcessLevel()); }
  // initialDelay follows the engine's latency (Timing "beat" is set by MIDI, inside a
  // process call); the change is announced from the next host-thread call.
  void UpdateInitialDelay();

  // Shared so that an Effect switch running on another thread keeps the engine alive
  // until it is done, even if the host closes the instance meanwhile.
  std::shared_ptr<Sampler> engine_;
  std::atomic<bool> latencyToAnnounce_{false};
};

// Creates the instance for the entry; null when it cannot be made.
AudioEffect* createEffectInstance(vst2::audioMasterCallback audioMaster);

}  // namespace chantera
