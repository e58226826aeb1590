// A Standard MIDI File image through the renderer's reader, then everything the renderer
// does with a file it accepted: the tempo map, the lyrics, the timeline of messages and
// the phonetic rewrite, which must itself be a file the reader accepts.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/render/midi_file.h"
#include "tools/render/song.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chantera::render;
  MidiFile file;
  std::string error;
  if (!file.Parse(data, size, error)) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  if (file.trackCount < 1 || file.tempos.empty()) std::abort();

  double previous = 0.0;
  for (size_t i = 0; i < file.events.size(); ++i) {
    if (i > 0 && file.events[i].tick < file.events[i - 1].tick) std::abort();
    const double seconds = file.SecondsAt(file.events[i].tick);
    if (!std::isfinite(seconds) || seconds < previous) std::abort();
    previous = seconds;
  }

  const Song song = BuildSong(file, 44100.0, true, nullptr, {true, true, true});  // as Chantera sings it
  for (size_t i = 1; i < song.messages.size(); ++i)
    if (song.messages[i].frame < song.messages[i - 1].frame) std::abort();

  const std::string phonetic = PhoneticMidi(file);
  MidiFile again;
  if (!again.Parse(reinterpret_cast<const uint8_t*>(phonetic.data()), phonetic.size(), error)) std::abort();
  return 0;
}
