// Opening voice files on POSIX, with the Windows file-name rules voice libraries rely on.
#include <cstdio>

#include "platform/platform.h"

namespace chantera::platform {

std::FILE* OpenForReading(const char* path) {
  if (path == nullptr || *path == '\0') return nullptr;
  return std::fopen(path, "rb");
}

}  // namespace chantera::platform
