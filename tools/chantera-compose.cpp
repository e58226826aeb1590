// chantera-compose: compiles an example song's readable source into a Standard MIDI File.
// usage: chantera-compose SONG.song -o SONG.mid
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/render/song_source.h"

int main(int argc, char** argv) {
  std::string input, output;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "-o" || arg == "--output") && i + 1 < argc)
      output = argv[++i];
    else if (input.empty() && !arg.empty() && arg[0] != '-')
      input = arg;
    else {
      std::fprintf(stderr, "usage: chantera-compose SONG.song -o SONG.mid\n");
      return 2;
    }
  }
  if (input.empty() || output.empty()) {
    std::fprintf(stderr, "usage: chantera-compose SONG.song -o SONG.mid\n");
    return 2;
  }
  std::ifstream in(input, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "chantera-compose: %s: cannot open the file\n", input.c_str());
    return 1;
  }
  std::stringstream source;
  source << in.rdbuf();
  std::string midi, error;
  if (!chantera::render::CompileSong(source.str(), midi, error)) {
    std::fprintf(stderr, "chantera-compose: %s: %s\n", input.c_str(), error.c_str());
    return 1;
  }
  std::ofstream out(output, std::ios::binary);
  out.write(midi.data(), static_cast<std::streamsize>(midi.size()));
  if (!out) {
    std::fprintf(stderr, "chantera-compose: %s: cannot write the file\n", output.c_str());
    return 1;
  }
  return 0;
}
