// The LV2, VST3 and CLAP instrument: DPF's plug-in class over the Sampler engine, the way
// host/sampler_plugin.cpp is the VST 2 one. DPF turns each format's parameters, state,
// MIDI and audio buffers into the calls below; this file only maps them onto the engine.
//
// Parameters, in DPF's order (hosts restore them in this order, so the program comes
// before the volume and pitch-bend range it would otherwise overwrite):
//   0 Program (0..128; DPF has no programs in CLAP, so every format gets this one),
//   1..5 the VST 2 plug-in's parameters 0..4 with the same values,
//   6 Voice (the entries of voice.csv as this instance found them; a bank select),
//   7 Timing ("live" or "beat": engine/beat_timing.h; the latency follows it, and hosts
//     compensate it; meant to be set, not automated: a latency that moves mid-song
//     cannot be compensated),
//   8 Quality ("live" or "high": engine/note_slots.h; how recordings are read between
//     their frames: linear, or the band-limited kernel for renders).
// State: "voice", the index of the voice chosen last (a host that restores it gets the
// voice back without a bank select in its MIDI), and "program" again.
//
// Threads. Hosts set parameters from their audio thread (LV2 and CLAP always, VST3 inside
// process) as well as from control threads, and DPF does not say which. So a parameter
// that would wait or read files is never applied in the call itself:
// - the program is handed to run(), which selects it on the audio thread without waiting
//   (a volume or pitch-bend range set after it is applied after it, as a host meant);
// - the Effect switch, the Voice parameter and a bank select in the MIDI load the voice
//   on the engine's voice loader, and the old voice sings on until the new one takes
//   over at the start of a block.
// Every context counts as real time: DPF 1.6 passes on neither LV2's freewheeling, nor
// VST3's offline processing mode, nor CLAP's render mode, so a switch in a render a host
// makes faster than real time takes over a few blocks after its frame rather than at it.
// A voice restored with a project is loaded at once, on the host's thread that restores
// it, and sings from the first block.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "DistrhoPlugin.hpp"
#include "engine/sampler.h"
#include "params/parameter_table.h"
#include "params/parameters.h"
#include "params/programs.h"
#include "platform/platform.h"

namespace chantera {
namespace {

constexpr uint32_t kProgramParameter = 0;
constexpr uint32_t kVoiceParameter = 1 + kParameterCount;
constexpr uint32_t kTimingParameter = kVoiceParameter + 1;
constexpr uint32_t kQualityParameter = kTimingParameter + 1;
constexpr uint32_t kFormatParameterCount = kQualityParameter + 1;
constexpr uint32_t kStateProgram = 1;
constexpr float kUnset = std::numeric_limits<float>::quiet_NaN();

bool HasVoiceList(const std::string& dir) {
  return platform::OpenForReading((dir + platform::kPathSeparator + "voice.csv").c_str()) != nullptr;
}

// The voice library of this binary: beside it (an LV2 bundle, a CLAP file in its folder)
// or in the Resources folder of a VST3 bundle, whose binary sits in Contents/<arch>-<os>/.
std::string VoiceLibraryDirectory() {
  std::string dir = platform::ModuleDirectory();
  if (dir.empty()) return ".";
  std::string resources = dir + platform::kPathSeparator + ".." + platform::kPathSeparator + "Resources";
  if (!HasVoiceList(dir) && HasVoiceList(resources)) return resources;
  return dir;
}

class ChanteraPlugin : public DISTRHO::Plugin {
 public:
  ChanteraPlugin() : Plugin(kFormatParameterCount, 0, 2), engine_(std::make_unique<Sampler>(VoiceLibraryDirectory())) {
    engine_->SetHostSampleRate(static_cast<float>(getSampleRate()));
    engine_->SetBankSelectSwitching(Sampler::Switching::kInBackground);
  }

  ~ChanteraPlugin() override { engine_->Shutdown(); }

  ChanteraPlugin(const ChanteraPlugin&) = delete;
  ChanteraPlugin& operator=(const ChanteraPlugin&) = delete;

 protected:
  const char* getLabel() const override { return kPluginName; }
  const char* getDescription() const override {
    return "Sings the notes it is played with recorded Japanese syllables; one program per syllable.";
  }
  const char* getMaker() const override { return kVendorName; }
  // The licence of the project (LICENSE); DPF writes it into the LV2 description as its
  // SPDX address.
  const char* getLicense() const override { return "MIT"; }
  uint32_t getVersion() const override { return d_version(1, 0, 0); }
  int64_t getUniqueId() const override { return kPluginUniqueId; }

  void initParameter(uint32_t index, DISTRHO::Parameter& parameter) override {
    parameter.hints = kParameterIsAutomatable;
    parameter.ranges.min = 0.0f;
    parameter.ranges.max = 1.0f;
    if (index == kProgramParameter || index == kVoiceParameter) {
      InitEnumeration(index, parameter);
      return;
    }
    if (index == kTimingParameter || index == kQualityParameter) {
      InitChoice(index == kTimingParameter ? kTimingChoice : kQualityChoice, parameter);
      return;
    }
    const auto engineIndex = static_cast<int32_t>(index - 1);
    const ParameterInfo& info = kParameterTable[engineIndex];
    parameter.symbol = info.symbol;
    parameter.name = info.name;
    parameter.ranges.def = engine_->GetParameter(engineIndex);
    parameter.ranges.min = info.min;
    parameter.ranges.max = info.max;
    if (info.toggle) parameter.hints |= kParameterIsBoolean | kParameterIsInteger;
    if (info.logarithmic) parameter.hints |= kParameterIsLogarithmic;
  }

  void initState(uint32_t index, DISTRHO::State& state) override {
    state.defaultValue = "0";
    if (index == kStateProgram) {
      state.key = "program";
      state.label = "Program";
      return;
    }
    state.key = "voice";
    state.label = "Voice";
    state.description = "The voice chosen last (bank select or the Voice parameter): its line in voice.csv, from 0.";
  }

  float getParameterValue(uint32_t index) const override {
    if (index == kVoiceParameter) return static_cast<float>(engine_->VoiceIndex());
    if (index == kTimingParameter) return engine_->TimingBeat() ? 1.0f : 0.0f;
    if (index == kQualityParameter) return engine_->QualityInUse() == Quality::kHigh ? 1.0f : 0.0f;
    if (index == kProgramParameter) {
      const int32_t pending = pendingProgram_.load(std::memory_order_acquire);
      return static_cast<float>(pending >= 0 ? pending : engine_->GetProgram());
    }
    // The Effect switch as asked for; the voice that sings follows once it is reloaded.
    return engine_->GetParameter(static_cast<int32_t>(index - 1));
  }

  void setParameterValue(uint32_t index, float value) override {
    if (!std::isfinite(value)) return;
    if (index == kProgramParameter) {
      const auto program = static_cast<int32_t>(std::lround(value));
      if (program < 0 || program >= kProgramCount) return;
      const int32_t restored = restoredProgram_.load(std::memory_order_acquire);
      if (restored >= 0 && program != restored) return;
      pendingVolume_.store(kUnset, std::memory_order_relaxed);
      pendingPitchBendRange_.store(kUnset, std::memory_order_relaxed);
      pendingProgram_.store(program, std::memory_order_release);
      return;
    }
    if (index == kVoiceParameter) {
      engine_->ChooseVoice(static_cast<int32_t>(std::lround(value)), Sampler::Switching::kInBackground);
      return;
    }
    if (index == kTimingParameter) {
      engine_->SetTiming(value >= 0.5f);
      return;
    }
    if (index == kQualityParameter) {
      engine_->SetQuality(value >= 0.5f ? Quality::kHigh : Quality::kLive);
      return;
    }
    const auto engineIndex = static_cast<int32_t>(index - 1);
    engine_->SetParameter(engineIndex, value, Sampler::Switching::kInBackground);
    if (pendingProgram_.load(std::memory_order_acquire) < 0) return;
    if (engineIndex == kParamVolume) pendingVolume_.store(value, std::memory_order_relaxed);
    if (engineIndex == kParamPitchBendRange) pendingPitchBendRange_.store(value, std::memory_order_relaxed);
  }

  DISTRHO::String getState(const char* key) const override {
    if (std::strcmp(key, "program") == 0)
      return DISTRHO::String(static_cast<int>(getParameterValue(kProgramParameter)));
    return DISTRHO::String(static_cast<int>(engine_->VoiceIndex()));
  }

  void setState(const char* key, const char* value) override {
    if (value == nullptr || *value == 0) return;
    const auto number = static_cast<int32_t>(std::strtol(value, nullptr, 10));
    if (std::strcmp(key, "program") == 0) {
      if (number < 0 || number >= kProgramCount) return;
      // Ardour 7.3, opening a project, sends the VST3 build's Program parameter once more
      // in its first process call, with 0 whatever was saved (the one parameter whose
      // range is wider than 0..1). Until the first block after a restore, the restored
      // program is kept against any other; a later restore (a host that loads a project
      // and then a preset before playing) replaces it.
      restoredProgram_.store(number, std::memory_order_release);
      setParameterValue(kProgramParameter, static_cast<float>(number));
      return;
    }
    engine_->ChooseVoice(number, Sampler::Switching::kAtOnce);
  }

  void sampleRateChanged(double rate) override { engine_->SetHostSampleRate(static_cast<float>(rate)); }

  // Hosts read the latency when they activate the plug-in and after each run.
  void activate() override { setLatency(static_cast<uint32_t>(engine_->LatencyFrames())); }

  // Thread: audio thread.
  void run(const float** inputs, float** outputs, uint32_t frames, const DISTRHO::MidiEvent* events,
           uint32_t eventCount) override {
    restoredProgram_.store(-1, std::memory_order_release);
    // A voice loaded since the last block first: a program and a volume set after its
    // switch was asked for (a restored project: voice, then parameters) apply to it.
    engine_->TakeOverVoice();
    ApplyPendingProgram();
    engine_->BeginEvents();
    for (uint32_t i = 0; i < eventCount; ++i) {
      const DISTRHO::MidiEvent& event = events[i];
      if (event.size == 0 || event.size > DISTRHO::MidiEvent::kDataSize) continue;  // SysEx
      MidiEvent record;
      record.deltaFrames = static_cast<int32_t>(event.frame);
      record.status = event.data[0];
      record.data1 = event.size > 1 ? event.data[1] : 0;
      record.data2 = event.size > 2 ? event.data[2] : 0;
      engine_->QueueEvent(record);
    }
    engine_->Process(outputs[0], outputs[1], static_cast<int32_t>(frames));
    setLatency(static_cast<uint32_t>(engine_->LatencyFrames()));
  }

 private:
  // Thread: audio thread.
  void ApplyPendingProgram() noexcept {
    const int32_t program = pendingProgram_.exchange(-1, std::memory_order_acq_rel);
    if (program < 0) return;
    engine_->SetProgramOnAudioThread(program);
    const float volume = pendingVolume_.exchange(kUnset, std::memory_order_relaxed);
    const float range = pendingPitchBendRange_.exchange(kUnset, std::memory_order_relaxed);
    if (!std::isnan(volume)) engine_->SetParameter(kParamVolume, volume);
    if (!std::isnan(range)) engine_->SetParameter(kParamPitchBendRange, range);
  }

  // The Program and Voice parameters: lists of the names the voice library gives now (the
  // program names of the voice loaded, the voices of voice.csv); another voice keeps the
  // numbers.
  void InitEnumeration(uint32_t index, DISTRHO::Parameter& parameter) {
    parameter.hints |= kParameterIsInteger;
    const bool program = index == kProgramParameter;
    parameter.name = program ? "Program" : "Voice";
    parameter.symbol = program ? "program" : "voice";
    const VoiceList& voices = engine_->Voices();
    const int32_t count = program ? kProgramCount : std::max(voices.voiceCount, 1);
    // A range of one value would divide by zero where a host normalises it; a list of one
    // voice still offers 0..1, and 1, not listed, selects voice 0 as a bank select does.
    parameter.ranges.max = static_cast<float>(std::max(count - 1, 1));
    parameter.ranges.def = 0.0f;
    auto* values = new DISTRHO::ParameterEnumerationValue[static_cast<size_t>(count)];
    for (int32_t i = 0; i < count; ++i) {
      char name[std::max(kProgramNameLength + 1, 64)] = {};
      if (program)
        engine_->GetProgramNameIndexed(i, name);
      else if (i < voices.voiceCount)
        std::snprintf(name, sizeof name, "%s", voices.voiceNames[i]);
      values[i].value = static_cast<float>(i);
      values[i].label = DISTRHO::String(std::to_string(i).append(" ").append(platform::ShiftJisToUtf8(name)).c_str());
    }
    parameter.enumValues.count = static_cast<uint8_t>(count);
    parameter.enumValues.restrictedMode = true;
    parameter.enumValues.values = values;
  }

  // Timing and Quality: two choices, off by default. Automatable as a flag only: LV2
  // validators reject DPF's "not automatable" port property, and Ardour lists no VST3
  // parameter a host cannot automate.
  static void InitChoice(const ChoiceInfo& choice, DISTRHO::Parameter& parameter) {
    parameter.hints = kParameterIsAutomatable | kParameterIsInteger | kParameterIsBoolean;
    parameter.name = choice.name;
    parameter.symbol = choice.symbol;
    parameter.description = choice.description;
    parameter.ranges.def = 0.0f;
    parameter.enumValues.count = 2;
    parameter.enumValues.restrictedMode = true;
    parameter.enumValues.values =
        new DISTRHO::ParameterEnumerationValue[2]{{0.0f, choice.choices[0]}, {1.0f, choice.choices[1]}};
  }

  std::unique_ptr<Sampler> engine_;
  std::atomic<int32_t> pendingProgram_{-1};
  std::atomic<int32_t> restoredProgram_{-1};
  std::atomic<float> pendingVolume_{kUnset};
  std::atomic<float> pendingPitchBendRange_{kUnset};
};

}  // namespace
}  // namespace chantera

START_NAMESPACE_DISTRHO

Plugin* createPlugin() {
  return new chantera::ChanteraPlugin();
}

END_NAMESPACE_DISTRHO
