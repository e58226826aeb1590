// A MusicXML file's bytes through the renderer's reader, as a score and as a compressed
// score (.mxl), with the default choices and with a second part, verse and voice asked
// for: each accepts a song (checked as every score is, down to the MIDI file that sings
// it) or refuses it with the file's name and what is wrong.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "score_checks.h"
#include "tools/render/musicxml_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chantera::render;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  for (const ScoreChoices& choices : {ScoreChoices{}, ScoreChoices{2, 2, 2}}) {
    Score score;
    std::string error;
    if (ReadMusicXml(bytes, "score.musicxml", choices, score, error))
      chantera::fuzz::CheckScore(score);
    else
      chantera::fuzz::CheckRefusal(error, "score.musicxml");
    if (ReadMxl(bytes, "score.mxl", choices, score, error))
      chantera::fuzz::CheckScore(score);
    else
      chantera::fuzz::CheckRefusal(error, "score.mxl");
  }
  return 0;
}
