#include "tools/render/plugin_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "params/parameter_table.h"
#include "platform/platform.h"

namespace chantera::render {

using namespace vst2;

namespace {
// The host the callback answers for: each worker thread runs one plug-in at a time.
thread_local PluginHost* currentHost = nullptr;
thread_local PluginHost* loadingHost = nullptr;
// The host whose plug-in the calling thread is in: Chantera, rendering offline, loads its
// voices on the thread that asks for them, so its messages arrive here on that thread.
thread_local PluginHost* callingHost = nullptr;

// While it lives, the calling thread is in host's plug-in.
class InPlugin {
 public:
  explicit InPlugin(PluginHost* host) : previous_(callingHost) { callingHost = host; }
  ~InPlugin() { callingHost = previous_; }
  InPlugin(const InPlugin&) = delete;
  InPlugin& operator=(const InPlugin&) = delete;

 private:
  PluginHost* previous_;
};
}  // namespace

int PluginHost::RoutedSink(const char* text, const char* caption) {
  const std::string line = platform::ShiftJisToUtf8(caption != nullptr ? caption : "") + ": " +
                           platform::ShiftJisToUtf8(text != nullptr ? text : "");
  if (PluginHost* host = callingHost) {
    const std::lock_guard<std::mutex> lock(host->routedMutex_);
    host->routed_.push_back(line);
  } else {
    // Not on a thread that asked anything of an instance (a plug-in's own thread): no
    // song to tell it with, so it is shown as the plug-in would.
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  return 1;  // IDOK, as a message box answers
}

PluginHost::~PluginHost() {
  Stop();
  if (effect_ != nullptr) Dispatch(effClose);
  effect_ = nullptr;
  library_.reset();
}

VstIntPtr PluginHost::Dispatch(int32_t opcode, int32_t index, VstIntPtr value, void* ptr, float opt) {
  const InPlugin in(this);
  return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

bool PluginHost::Load(const std::string& path, std::string& error) {
  library_ = std::make_unique<platform::LoadedLibrary>(path);
  if (!library_->Ok()) {
    error = path + ": cannot load the plug-in (" + library_->Error() + ")";
    return false;
  }
  using Entry = AEffect*(VSTCALLBACK*)(audioMasterCallback);
  auto entry = reinterpret_cast<Entry>(library_->Symbol("VSTPluginMain"));
  if (entry == nullptr) entry = reinterpret_cast<Entry>(library_->Symbol("main"));
  if (entry == nullptr) {
    error = path + ": not a VST 2 plug-in (no VSTPluginMain or main entry)";
    return false;
  }
  loadingHost = this;
  const InPlugin in(this);
  effect_ = entry(Callback);
  loadingHost = nullptr;
  if (effect_ == nullptr || effect_->magic != kEffectMagic) {
    error = path + ": the plug-in refused to start (its entry returned no effect)";
    effect_ = nullptr;
    return false;
  }
  effect_->user = this;
  return true;
}

bool PluginHost::Start(double sampleRate, int32_t blockSize, std::string& error) {
  sampleRate_ = sampleRate;
  blockSize_ = blockSize;
  Dispatch(effOpen);
  Dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(sampleRate));
  Dispatch(effSetBlockSize, 0, blockSize);
  Dispatch(effMainsChanged, 0, 1);
  Dispatch(effStartProcess);
  const auto channels = [](int32_t n) { return static_cast<size_t>(std::max(n, 0)); };
  inputs_.assign(channels(effect_->numInputs), std::vector<float>(static_cast<size_t>(blockSize), 0.0f));
  outputs_.assign(std::max<size_t>(channels(effect_->numOutputs), 1),
                  std::vector<float>(static_cast<size_t>(blockSize), 0.0f));
  inputPointers_.clear();
  outputPointers_.clear();
  for (auto& in : inputs_) inputPointers_.push_back(in.data());
  for (auto& out : outputs_) outputPointers_.push_back(out.data());
  if (effect_->numOutputs < 1) {
    error = "the plug-in has no audio outputs";
    return false;
  }
  running_ = true;
  return true;
}

void PluginHost::Stop() {
  if (!running_) return;
  Dispatch(effStopProcess);
  Dispatch(effMainsChanged, 0, 0);
  running_ = false;
}

void PluginHost::SetProgram(int32_t program) {
  Dispatch(effBeginSetProgram);
  Dispatch(effSetProgram, 0, program);
  Dispatch(effEndSetProgram);
}

void PluginHost::SetParameter(int32_t index, float value) {
  const InPlugin in(this);
  effect_->setParameter(effect_, index, value);
}

void PluginHost::SendEvents(const std::vector<FrameMidi>& events) {
  if (events.empty()) return;
  midi_.assign(events.size(), VstMidiEvent{});
  // The list's header, then one pointer per event (and two spare, as hosts allocate).
  eventList_.assign(
      offsetof(VstEvents, events) + sizeof(VstEvent*) * (events.size() + 2),  // NOLINT(bugprone-sizeof-expression)
      0);
  auto* list = reinterpret_cast<VstEvents*>(eventList_.data());
  list->numEvents = static_cast<int32_t>(events.size());
  for (size_t i = 0; i < events.size(); ++i) {
    VstMidiEvent& e = midi_[i];
    e.type = kVstMidiType;
    e.byteSize = sizeof e;
    e.deltaFrames = events[i].deltaFrames;
    e.flags = 1;  // kVstMidiEventIsRealtime: offline, but timed to the frame
    for (int b = 0; b < 3; ++b) e.midiData[b] = static_cast<char>(events[i].bytes[b]);
    EventSlots(list)[i] = reinterpret_cast<VstEvent*>(&e);
  }
  Dispatch(effProcessEvents, 0, 0, list);
}

void PluginHost::Process(int32_t frames) {
  frames = std::clamp(frames, 0, blockSize_);
  timeInfo_ = VstTimeInfo{};
  timeInfo_.samplePos = static_cast<double>(position_);
  timeInfo_.sampleRate = sampleRate_;
  timeInfo_.tempo = 120.0;
  timeInfo_.ppqPos = static_cast<double>(position_) / sampleRate_ * 2.0;
  timeInfo_.timeSigNumerator = 4;
  timeInfo_.timeSigDenominator = 4;
  timeInfo_.flags = 2 | (1 << 9) | (1 << 10);  // playing; ppq and tempo valid
  currentHost = this;
  const InPlugin in(this);
  for (auto& out : outputs_) std::fill(out.begin(), out.begin() + frames, 0.0f);
  if (effect_->flags & effFlagsCanReplacing)
    effect_->processReplacing(effect_, inputPointers_.data(), outputPointers_.data(), frames);
  else
    effect_->process(effect_, inputPointers_.data(), outputPointers_.data(), frames);
  currentHost = nullptr;
  position_ += frames;
}

void PluginHost::Process(float* left, float* right, int32_t frames) {
  frames = std::clamp(frames, 0, blockSize_);
  Process(frames);
  std::copy(Left(), Left() + frames, left);
  std::copy(Right(), Right() + frames, right);
}

bool PluginHost::BackgroundWorkPending() {
  return IsChantera() && Dispatch(effVendorSpecific, kChanteraQuery, kChanteraLoaderBusy) == 1;
}

std::string PluginHost::ParameterName(int32_t index) {
  char name[256] = {};
  Dispatch(effGetParamName, index, 0, name);
  name[sizeof name - 1] = 0;
  return name;
}

void PluginHost::RouteMessages() {
  if (IsChantera())
    Dispatch(effVendorSpecific, kChanteraQuery, kChanteraMessagesToHost,
             reinterpret_cast<void*>(&RoutedSink));  // NOLINT: code handed over through ptr
}

PluginHost::Messages PluginHost::TakeMessages() {
  Messages messages;
  if (!IsChantera()) return messages;
  const auto shown = static_cast<uint32_t>(Dispatch(effVendorSpecific, kChanteraQuery, kChanteraMessagesShown));
  messages.count = shown - counted_;
  counted_ = shown;
  const std::lock_guard<std::mutex> lock(routedMutex_);
  messages.routed.swap(routed_);
  return messages;
}

std::string PluginHost::Name() {
  char name[256] = {};
  Dispatch(effGetEffectName, 0, 0, name);
  name[sizeof name - 1] = 0;
  return name;
}

bool PluginHost::IsChantera() const {
  return effect_ != nullptr && effect_->uniqueID == kPluginUniqueId;
}

VstIntPtr VSTCALLBACK PluginHost::Callback(AEffect* effect, int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                                           float opt) {
  PluginHost* host = effect != nullptr && effect->user != nullptr ? static_cast<PluginHost*>(effect->user)
                                                                  : (currentHost ? currentHost : loadingHost);
  switch (opcode) {
    case audioMasterVersion:
      return 2400;
    case audioMasterWantMidi:
      return 1;
    case audioMasterGetTime:
      return host != nullptr ? reinterpret_cast<VstIntPtr>(&host->timeInfo_) : 0;
    case audioMasterGetSampleRate:
      return host != nullptr ? static_cast<VstIntPtr>(host->sampleRate_) : 44100;
    case audioMasterGetBlockSize:
      return host != nullptr ? host->blockSize_ : 512;
    case audioMasterIOChanged:
      // A new latency (Chantera's Timing): the render reads initialDelay after the set-up,
      // before the song's first frame, and is told of a change during the song.
      return 1;
    case audioMasterGetCurrentProcessLevel:
      return kVstProcessLevelOffline;
    case audioMasterVendorSpecific:
      // Chantera asks where its messages go as it is created: here, from the first.
      if (index != kChanteraQuery || value != kChanteraMessagesToHost || ptr == nullptr) return 0;
      *static_cast<ChanteraMessageSink*>(ptr) = &RoutedSink;
      return kChanteraQuery;
    case audioMasterGetVendorString:
      if (ptr) std::strcpy(static_cast<char*>(ptr), "Chantera");
      return 1;
    case audioMasterGetProductString:
      if (ptr) std::strcpy(static_cast<char*>(ptr), "chantera-render");
      return 1;
    case audioMasterGetVendorVersion:
    case audioMasterGetLanguage:  // 1: English
      return 1;
    case audioMasterCanDo: {
      const char* what = static_cast<const char*>(ptr);
      if (what == nullptr) return 0;
      for (const char* yes : {"sendVstEvents", "sendVstMidiEvent", "sendVstTimeInfo", "receiveVstEvents",
                              "receiveVstMidiEvent", "supplyIdle"})
        if (std::strcmp(what, yes) == 0) return 1;
      return 0;
    }
    default:
      return 0;
  }
}

}  // namespace chantera::render
