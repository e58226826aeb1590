// A small CLAP host for tests: loads a built .clap through its clap_entry as a host does,
// makes started instances, and hands each process call its MIDI and parameter events.
// Header-only, so that the suite and the real-time test program share it.
#pragma once

#include <clap/entry.h>
#include <clap/ext/latency.h>
#include <clap/plugin-factory.h>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace chantera::test {

// One block's input events: parameter values first, then MIDI messages in frame order.
class ClapEvents {
 public:
  ClapEvents& Midi(uint32_t frame, uint8_t status, uint8_t data1, uint8_t data2) {
    midi_.push_back(
        {{sizeof(clap_event_midi_t), frame, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI, 0}, 0, {status, data1, data2}});
    return *this;
  }
  ClapEvents& Param(clap_id id, double value) {
    const clap_event_header_t header{sizeof(clap_event_param_value_t), 0, CLAP_CORE_EVENT_SPACE_ID,
                                     CLAP_EVENT_PARAM_VALUE, 0};
    params_.push_back({header, id, nullptr, -1, -1, -1, -1, value});  // every note, port, channel and key
    return *this;
  }
  // The list a process call reads; valid until the next change or copy of this object.
  const clap_input_events_t* Input() {
    list_.clear();
    for (const auto& e : params_) list_.push_back(&e.header);
    for (const auto& e : midi_) list_.push_back(&e.header);
    input_ = {this, [](const clap_input_events_t* in) { return static_cast<uint32_t>(Self(in).list_.size()); },
              [](const clap_input_events_t* in, uint32_t i) { return Self(in).list_[i]; }};
    return &input_;
  }

 private:
  static ClapEvents& Self(const clap_input_events_t* in) { return *static_cast<ClapEvents*>(in->ctx); }
  std::vector<clap_event_midi_t> midi_;
  std::vector<clap_event_param_value_t> params_;
  std::vector<const clap_event_header_t*> list_;
  clap_input_events_t input_{};
};

// The module and its instances; instances are stopped and destroyed, and the module
// closed, with this object.
class ClapModule {
 public:
  explicit ClapModule(const std::string& path) : library_(path) {
    if (!library_.Ok()) return;
    entry_ = static_cast<const clap_plugin_entry_t*>(library_.Symbol("clap_entry"));
    if (entry_ == nullptr || !entry_->init(path.c_str())) {
      entry_ = nullptr;
      return;
    }
    factory_ = static_cast<const clap_plugin_factory_t*>(entry_->get_factory(CLAP_PLUGIN_FACTORY_ID));
  }
  ~ClapModule() {
    for (const clap_plugin_t* plugin : plugins_) {
      plugin->stop_processing(plugin);
      plugin->deactivate(plugin);
      plugin->destroy(plugin);
    }
    if (entry_ != nullptr) entry_->deinit();
  }
  ClapModule(const ClapModule&) = delete;
  ClapModule& operator=(const ClapModule&) = delete;

  const clap_plugin_factory_t* factory() const { return factory_; }

  // A started instance, as a host makes it (create, init, activate, start processing);
  // null when any step fails.
  const clap_plugin_t* Start(const char* id, double rate, uint32_t block) {
    if (factory_ == nullptr) return nullptr;
    const clap_plugin_t* plugin = factory_->create_plugin(factory_, &host_, id);
    if (plugin == nullptr) return nullptr;
    if (!plugin->init(plugin) || !plugin->activate(plugin, rate, 1, block) || !plugin->start_processing(plugin)) {
      plugin->destroy(plugin);
      return nullptr;
    }
    plugins_.push_back(plugin);
    return plugin;
  }

  // One process call: block frames of stereo output, the events given.
  static clap_process_status Process(const clap_plugin_t* plugin, float* left, float* right, uint32_t block,
                                     ClapEvents& events) {
    float* channels[2] = {left, right};
    clap_audio_buffer_t buffer{channels, nullptr, 2, 0, 0};
    const clap_output_events_t out{nullptr,
                                   [](const clap_output_events_t*, const clap_event_header_t*) { return true; }};
    const clap_process_t process{-1, block, nullptr, nullptr, &buffer, 0, 1, events.Input(), &out};
    return plugin->process(plugin, &process);
  }

 private:
  platform::LoadedLibrary library_;
  const clap_plugin_entry_t* entry_ = nullptr;
  const clap_plugin_factory_t* factory_ = nullptr;
  std::vector<const clap_plugin_t*> plugins_;
  // The one host extension offered: latency, which every host that compensates has (DPF
  // calls it unasked when a plug-in's latency changed while it was active).
  static inline const clap_host_latency_t kLatency{[](const clap_host_t*) {}};
  static const void* Extension(const clap_host_t*, const char* id) {
    return std::strcmp(id, CLAP_EXT_LATENCY) == 0 ? &kLatency : nullptr;
  }
  static void NoRequest(const clap_host_t*) {}
  const clap_host_t host_{CLAP_VERSION, nullptr,   "Chantera tests", "Chantera", "",
                          "1",          Extension, NoRequest,        NoRequest,  NoRequest};
};

}  // namespace chantera::test
