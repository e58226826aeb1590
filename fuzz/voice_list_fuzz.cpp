// A "voice.csv" through the voice list reader; every field must stay terminated within
// its bounds, and the list within its 24 entries.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "library/voice_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chantera;
  const std::string path = fuzz::WriteInput("voice.csv", data, size);
  static VoiceList list;  // reused, as an instance rereads into the same list
  VoiceListReader reader(path);
  reader.GetVoiceList(list);
  if (list.voiceCount < 0 || list.voiceCount > kMaxVoices) std::abort();
  for (int i = 0; i < kMaxVoices; ++i) {
    if (strnlen(list.voiceNames[i], sizeof list.voiceNames[i]) > 63) std::abort();
    if (strnlen(list.voiceFolders[i], sizeof list.voiceFolders[i]) > platform::kMaxPath - 3) std::abort();
  }
  const std::string dir(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  if (VoiceListPath(dir).size() >= static_cast<size_t>(platform::kMaxPath)) std::abort();
  return 0;
}
