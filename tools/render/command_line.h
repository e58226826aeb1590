// chantera-render's command line: its usage text and the options it reads.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/render/render_song.h"

namespace chantera::render {

extern const char* const kRenderUsage;

struct CommandLine {
  std::vector<std::string> inputs;
  std::string output, format, phoneticOut, midiOut;
  int jobs = 0;  // 0: the number of processors
  int shard = 1, shards = 1;
  bool quiet = false;
  bool help = false;
  // --param as written: the parameter's number or name, and the value. Resolved against
  // the plug-in's own parameters once it is loaded.
  std::vector<std::pair<std::string, float>> params;
  RenderOptions render;  // all but the plug-in's path and the parameters
  std::string plugin;    // as given; empty for Chantera of this build
};

// Reads argv. False with what is wrong (a usage error) otherwise; --help sets help and
// reads no further.
bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& error);

}  // namespace chantera::render
