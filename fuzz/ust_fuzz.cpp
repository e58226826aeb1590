// An UTAU project's bytes through the renderer's reader: it accepts a song (checked as
// every score is, down to the MIDI file that sings it) or refuses it with the file's name,
// the line and what is wrong.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "score_checks.h"
#include "tools/render/ust_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chantera::render;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  Score score;
  std::string error;
  if (ReadUst(bytes, "song.ust", score, error))
    chantera::fuzz::CheckScore(score);
  else
    chantera::fuzz::CheckRefusal(error, "song.ust:");
  return 0;
}
