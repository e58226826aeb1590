// A minimal VST 2 host for tests: loads a plug-in library as a host would and talks to it
// only through its entry and the AEffect record, recording what the plug-in asks of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/vst2.h"
#include "platform/platform.h"

namespace chantera::test {

struct HostCall {
  int32_t opcode;
  int32_t index;
  vst2::VstIntPtr value;
};

class VstHost {
 public:
  // Loads the library at path; Ok() tells whether it and its entry were found.
  explicit VstHost(const std::string& path, const char* entry = "VSTPluginMain");
  ~VstHost();
  VstHost(const VstHost&) = delete;
  VstHost& operator=(const VstHost&) = delete;

  bool Ok() const { return entry_ != nullptr; }
  std::string Error() const { return error_; }
  // Calls the entry with this host's callback; versionAnswer is what the host says to
  // audioMasterVersion.
  vst2::AEffect* Create(vst2::VstIntPtr versionAnswer = 2400);

  static vst2::VstIntPtr Dispatch(vst2::AEffect* effect, int32_t opcode, int32_t index = 0, vst2::VstIntPtr value = 0,
                                  void* ptr = nullptr, float opt = 0.0f) {
    return effect->dispatcher(effect, opcode, index, value, ptr, opt);
  }
  // effClose, which deletes the instance.
  static vst2::VstIntPtr Close(vst2::AEffect* effect) { return Dispatch(effect, vst2::effClose); }

  static std::vector<HostCall>& Calls();  // what plug-ins asked of the host, in order
  static inline vst2::VstIntPtr versionAnswer = 2400;
  // What the host says to audioMasterGetCurrentProcessLevel (0: it does not say).
  static inline vst2::VstIntPtr processLevelAnswer = vst2::kVstProcessLevelUnknown;
  // What the host says to every request it does not know (some hosts say 1 to all).
  static inline vst2::VstIntPtr otherAnswer = 0;

 private:
  static vst2::VstIntPtr VSTCALLBACK Callback(vst2::AEffect* effect, int32_t opcode, int32_t index,
                                              vst2::VstIntPtr value, void* ptr, float opt);
  platform::LoadedLibrary library_;
  using Entry = vst2::AEffect*(VSTCALLBACK*)(vst2::audioMasterCallback);
  Entry entry_ = nullptr;
  std::string error_;
};

}  // namespace chantera::test
