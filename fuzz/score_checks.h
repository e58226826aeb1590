// What the score fuzz targets require of a score a reader accepted: notes in time order
// with keys and lengths a MIDI file holds, a tempo map that starts at 0, and a MIDI file
// (ScoreMidi) that the renderer's own reader accepts and lays out in time order.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/render/midi_file.h"
#include "tools/render/score.h"
#include "tools/render/song.h"

namespace chantera::fuzz {

inline void CheckScore(const render::Score& score) {
  using namespace chantera::render;
  if (score.notes.empty() || score.tempos.empty() || score.tempos.front().tick != 0) std::abort();
  for (size_t i = 0; i < score.notes.size(); ++i) {
    const ScoreNote& n = score.notes[i];
    if (n.length == 0 || n.key > 127 || n.velocity == 0 || n.velocity > 127) std::abort();
    if (i > 0 && n.tick < score.notes[i - 1].tick) std::abort();
  }
  for (size_t i = 1; i < score.tempos.size(); ++i)
    if (score.tempos[i].tick <= score.tempos[i - 1].tick || score.tempos[i].microsecondsPerQuarter == 0) std::abort();
  std::vector<std::string> notices;
  render::LyricRule lyrics;
  const std::string image = render::ScoreMidi(score, lyrics, notices);
  MidiFile file;
  std::string error;
  if (!file.Parse(reinterpret_cast<const uint8_t*>(image.data()), image.size(), error)) std::abort();
  const Song song = BuildSong(file, 44100.0, true, nullptr, {true, true, true});  // as Chantera sings it
  for (size_t i = 1; i < song.messages.size(); ++i)
    if (song.messages[i].frame < song.messages[i - 1].frame) std::abort();
}

// A refusal names the file and says why.
inline void CheckRefusal(const std::string& error, const std::string& name) {
  if (error.compare(0, name.size(), name) != 0 || error.size() <= name.size() + 2) std::abort();
}

}  // namespace chantera::fuzz
