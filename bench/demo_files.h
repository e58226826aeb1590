// The demo voice the build makes, as the benchmarks find it: the plug-in folder beside
// the benchmark's own folder (build/bench/../Chantera), or CHANTERA_PLUGIN_DIR.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace chantera::bench {

inline std::string PluginDir() {
  if (const char* dir = std::getenv("CHANTERA_PLUGIN_DIR")) return dir;
  return platform::ModuleDirectory() + "/../Chantera";
}

struct DemoFile {
  std::string path;
  size_t size;
};

// The files that the demo voice's samples.txt names, in list order, with their sizes.
inline std::vector<DemoFile> DemoFiles() {
  std::vector<DemoFile> files;
  const std::string folder = PluginDir() + "/demo/";
  std::ifstream list(folder + "samples.txt");
  std::string line;
  while (std::getline(list, line)) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos || comma == 0) continue;
    DemoFile file{folder + line.substr(0, comma), 0};
    if (const chantera::platform::File f{std::fopen(file.path.c_str(), "rb")}) {
      std::fseek(f.get(), 0, SEEK_END);
      file.size = static_cast<size_t>(std::ftell(f.get()));
      files.push_back(file);
    }
  }
  return files;
}

}  // namespace chantera::bench
