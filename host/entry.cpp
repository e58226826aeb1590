// The plug-in library's exported entry: VSTPluginMain, also exported as main.
#include "host/sampler_plugin.h"
#include "host/vst2.h"

#if defined(_WIN32)
#define CHANTERA_EXPORT extern "C" __declspec(dllexport)
#else
#define CHANTERA_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using namespace vst2;

CHANTERA_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback audioMaster) {
  if (audioMaster == nullptr) return nullptr;
  // A host too old to report a version gets nothing.
  if (audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
  chantera::AudioEffect* effect = chantera::createEffectInstance(audioMaster);
  return effect != nullptr ? effect->getAeffect() : nullptr;
}

#if !defined(_WIN32)
// Older hosts look for "main". The name cannot be declared as a C++ function, so the
// alias is given to the linker directly.
CHANTERA_EXPORT AEffect* VSTPluginMainAlias(audioMasterCallback audioMaster) __asm__("main");
AEffect* VSTPluginMainAlias(audioMasterCallback audioMaster) {
  return VSTPluginMain(audioMaster);
}
#endif
