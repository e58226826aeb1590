// chantera-compose: compiles an example song's readable source into a Standard MIDI File.
// usage: chantera-compose SONG.song -o SONG.mid [--strict]
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "tools/render/lyrics.h"
#include "tools/render/partial_file.h"
#include "tools/render/song_source.h"

namespace {

const char* kUsage =
    "usage: chantera-compose SONG.song -o SONG.mid [--strict]\n"
    "\n"
    "  -o, --output PATH   the MIDI file to write\n"
    "  --strict            a lyric the instrument cannot sing is an error; without it, a\n"
    "                      warning, and the note sings its vowel or the lyric is skipped\n"
    "  -h, --help          this text\n"
    "\n"
    "Exit status: 0 written; 1 the song has an error (named with its line), nothing\n"
    "written; 2 wrong arguments.\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "chantera-compose: %s\n\n%s", problem.c_str(), kUsage);
  return 2;
}

int Refuse(const std::string& problem) {
  std::fprintf(stderr, "chantera-compose: %s\n", problem.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string input, output;
  bool strict = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "-o" || arg == "--output") {
      if (i + 1 >= argc) return Usage(arg + " needs a value");
      output = argv[++i];
    } else if (arg == "--strict") {
      strict = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (input.empty()) {
      input = arg;
    } else {
      return Usage("one song at a time: " + input + " and " + arg);
    }
  }
  if (input.empty()) return Usage("no song file");
  if (output.empty()) return Usage("no output file (-o SONG.mid)");
  if (chantera::platform::SameFile(input.c_str(), output.c_str()))
    return Usage(output + " is the song file itself: writing it would lose the song");

  std::error_code error;
  if (std::filesystem::is_directory(input, error)) return Refuse(input + ": a folder, not a song file");
  std::ifstream in(input, std::ios::binary);
  if (!in) return Refuse(input + ": cannot open the file");
  std::stringstream source;
  source << in.rdbuf();
  std::string midi, why;
  chantera::render::LyricRule lyrics(strict);
  const bool compiled = chantera::render::CompileSong(source.str(), midi, why, &lyrics);
  for (const std::string& problem : lyrics.problems())
    std::fprintf(stderr, "chantera-compose: %s: %s\n", input.c_str(), problem.c_str());
  if (!compiled) return Refuse(input + ": " + why);
  if (lyrics.Refused()) return Refuse(input + ": lyrics the instrument cannot sing (--strict); nothing written");
  if (!chantera::render::WriteWholeFile(output, midi, why)) return Refuse(why);
  return 0;
}
