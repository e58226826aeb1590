// One recording of an UTAU voicebank made into a sample of a Chantera voice: read from
// its WAV file, cut from its oto.ini offset to its cutoff, tuned onto its nearest note,
// levelled, faded in and out, and looped over its vowel; its timing moved with it.
// Thread: offline only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "library/wave_writer.h"
#include "tools/voice/utau.h"

namespace chantera::voice {

// A recording as mono values in -1..1.
struct Audio {
  std::vector<double> x;
  uint32_t rate = 0;
};

// Reads a WAV file of PCM (8 to 32 bits) or 32-bit float data, any channel count, as
// mono. False with a reason (completing "FILE ...") when it cannot.
bool ReadWave(const std::filesystem::path& path, Audio& audio, std::string& error);

struct Recording {
  int program = 0;
  size_t pitch = 0;
  int root = 0;
  double cents = 0;  // how far the recording sang from its root before it was tuned
  bool fromFrq = false;
  std::string file;  // in the voice folder
  std::vector<int16_t> pcm;
  uint32_t rate = 0;
  WaveLoop loop;
  bool looped = false;
  // Its oto.ini entry as cut and tuned (offset 0, cutoff 0: the file is the cut); the import
  // gives it its file and alias.
  OtoEntry timing;
};

// Cuts, tunes, levels, fades and loops one recording; the pitch is the median of the .frq
// file over the vowel when frq is given and has voiced frames there, else measured. False
// with a reason when the oto.ini numbers make no sense for this file or no pitch is found.
// The entry's consonant, preutterance and overlap are carried into the cut: counted from its
// first frame, shortened as the tuning shortens the recording, the vowel kept within the cut
// and the overlap within the preutterance (as the instrument would read them anyway).
bool MakeRecording(const Audio& audio, const OtoEntry& entry, const FrqFile* frq, Recording& out, std::string& error);

}  // namespace chantera::voice
