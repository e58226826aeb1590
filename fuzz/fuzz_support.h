// What the fuzz targets share: a private folder for the files they write, and silence
// for the message boxes the parsers show on bad input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace chantera::fuzz {

inline int NoMessage(const char*, const char*) {
  return 1;
}

// A folder of this process under the temporary directory, made on first use.
inline const std::string& Folder() {
  static const std::string folder = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/chantera-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    platform::SetMessageSink(NoMessage);
    return pattern;
  }();
  return folder;
}

// Writes bytes to Folder()/name and returns the full path.
inline std::string WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  std::string path = Folder() + "/" + name;
  platform::File file(std::fopen(path.c_str(), "wb"));
  if (!file) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file.get()) != size) std::abort();
  if (platform::CloseFile(file) != 0) std::abort();
  return path;
}

}  // namespace chantera::fuzz
