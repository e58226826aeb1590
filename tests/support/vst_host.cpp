#include "support/vst_host.h"

namespace chantera::test {

using namespace vst2;

std::vector<HostCall>& VstHost::Calls() {
  static std::vector<HostCall> calls;
  return calls;
}

// LoadLibrary and GetProcAddress on Windows, as a host there loads a plug-in DLL.
VstHost::VstHost(const std::string& path, const char* entry) : library_(path) {
  if (!library_.Ok()) {
    error_ = library_.Error() + ": " + path;
    return;
  }
  entry_ = reinterpret_cast<Entry>(library_.Symbol(entry));
  if (entry_ == nullptr) error_ = std::string("no entry ") + entry;
}

VstHost::~VstHost() = default;

AEffect* VstHost::Create(VstIntPtr version) {
  versionAnswer = version;
  return entry_ != nullptr ? entry_(Callback) : nullptr;
}

VstIntPtr VSTCALLBACK VstHost::Callback(AEffect* effect, int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                                        float opt) {
  Calls().push_back({opcode, index, value});
  if (opcode == audioMasterVersion) return versionAnswer;
  if (opcode == audioMasterGetCurrentProcessLevel) return processLevelAnswer;
  return opcode == audioMasterGetSampleRate ? 44100 : opcode == audioMasterGetBlockSize ? 512 : otherAnswer;
}

}  // namespace chantera::test
