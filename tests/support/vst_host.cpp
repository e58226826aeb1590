#include "support/vst_host.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace chantera::test {

using namespace vst2;

std::vector<HostCall>& VstHost::Calls() {
  static std::vector<HostCall> calls;
  return calls;
}

// LoadLibrary and GetProcAddress on Windows, as a host there loads a plug-in DLL.
VstHost::VstHost(const std::string& path, const char* entry) {
#ifdef _WIN32
  HMODULE module = LoadLibraryA(path.c_str());
  library_ = reinterpret_cast<void*>(module);
  if (module == nullptr) {
    error_ = "LoadLibrary failed with error " + std::to_string(GetLastError()) + ": " + path;
    return;
  }
  entry_ = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, entry)));
#else
  library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    error_ = dlerror();
    return;
  }
  entry_ = reinterpret_cast<Entry>(dlsym(library_, entry));
#endif
  if (entry_ == nullptr) error_ = std::string("no entry ") + entry;
}

VstHost::~VstHost() {
  if (library_ == nullptr) return;
#ifdef _WIN32
  FreeLibrary(reinterpret_cast<HMODULE>(library_));
#else
  dlclose(library_);
#endif
}

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
