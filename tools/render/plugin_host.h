// A small offline VST 2 host: loads a plug-in library, starts the plug-in the way hosts
// do (open, sample rate, block size, mains on, start process), feeds it MIDI at exact
// frames and collects its stereo output.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/midi_protocol.h"  // midi::kTiming, midi::kQuality: Chantera's own, never sent to other plug-ins
#include "host/vendor_queries.h"
#include "host/vst2.h"
#include "platform/platform.h"

namespace chantera::render {

struct FrameMidi {
  int32_t deltaFrames = 0;
  uint8_t bytes[3] = {0, 0, 0};
};

class PluginHost {
 public:
  PluginHost() = default;
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // Loads the library and creates the plug-in through VSTPluginMain (or main).
  bool Load(const std::string& path, std::string& error);
  // open, sample rate, block size, mains on, start process.
  bool Start(double sampleRate, int32_t blockSize, std::string& error);
  // stop process, mains off, close. Called by the destructor when still running.
  void Stop();

  void SetProgram(int32_t program);
  void SetParameter(int32_t index, float value);
  int32_t NumParameters() const { return effect_ ? effect_->numParams : 0; }
  int32_t NumPrograms() const { return effect_ ? effect_->numPrograms : 0; }
  std::string ParameterName(int32_t index);
  // The plug-in's latency as it reports it (initialDelay): how many frames its output
  // lags the MIDI it is handed. Read once it is set up, as hosts with delay compensation
  // do; an untrusted number (negative, or anything at all).
  int32_t Latency() const { return effect_ ? effect_->initialDelay : 0; }
  // Events for the next Process call (frames relative to its first frame).
  void SendEvents(const std::vector<FrameMidi>& events);
  // Renders frames (at most the block size given to Start) into the host's own output
  // buffers, which Left and Right show until the next call (a mono plug-in's one output
  // is both).
  void Process(int32_t frames);
  // The same, with the output copied into left and right.
  void Process(float* left, float* right, int32_t frames);
  const float* Left() const { return outputs_[0].data(); }
  const float* Right() const { return outputs_.size() > 1 ? outputs_[1].data() : outputs_[0].data(); }
  // True while the plug-in reports background work that changes its sound (Chantera's
  // Chorus rebuild); other plug-ins answer false.
  bool BackgroundWorkPending();

  std::string Name();
  bool IsChantera() const;

  // Chantera's messages (host/vendor_queries.h): those of this instance come to this host
  // (from its creation on, as it asks) instead of standard error, and TakeMessages hands
  // them out. Other plug-ins are left alone.
  void RouteMessages();
  // What this instance has said since the last call: how many messages (any it showed
  // itself included), and the texts of those routed here ("Error: Wave file load
  // failed.", UTF-8). Instances on other threads keep theirs.
  struct Messages {
    uint32_t count = 0;
    std::vector<std::string> routed;
  };
  Messages TakeMessages();
  vst2::AEffect* effect() const { return effect_; }

 private:
  static vst2::VstIntPtr VSTCALLBACK Callback(vst2::AEffect* effect, int32_t opcode, int32_t index,
                                              vst2::VstIntPtr value, void* ptr, float opt);
  // Where Chantera's messages come, on the thread that loads the voice.
  static int RoutedSink(const char* text, const char* caption);
  vst2::VstIntPtr Dispatch(int32_t opcode, int32_t index = 0, vst2::VstIntPtr value = 0, void* ptr = nullptr,
                           float opt = 0.0f);

  std::unique_ptr<platform::LoadedLibrary> library_;
  vst2::AEffect* effect_ = nullptr;
  bool running_ = false;
  double sampleRate_ = 44100.0;
  int32_t blockSize_ = 512;
  int64_t position_ = 0;
  vst2::VstTimeInfo timeInfo_{};
  std::vector<std::vector<float>> inputs_, outputs_;
  std::vector<float*> inputPointers_, outputPointers_;
  std::vector<vst2::VstMidiEvent> midi_;
  std::vector<char> eventList_;
  uint32_t counted_ = 0;  // of the instance's count, what TakeMessages has handed out
  std::mutex routedMutex_;
  std::vector<std::string> routed_;
};

}  // namespace chantera::render
