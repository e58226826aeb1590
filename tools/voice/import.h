// chantera-voice import-utau: turns a Japanese CV voicebank of UTAU into a Chantera voice
// (recordings cut from oto.ini, looped over their vowel and tuned to their root note;
// samples.txt; programs.txt with the phoneme table's program numbers) and lists it in
// voice.csv, so that bank select reaches it.
// Thread: offline only.
#pragma once

#include <filesystem>
#include <string>

namespace chantera::voice {

struct ImportOptions {
  std::filesystem::path bank;       // the voicebank's folder (oto.ini in it or in its subfolders)
  std::filesystem::path pluginDir;  // the plug-in folder that holds voice.csv
  std::string name;                 // display name; from character.txt or the folder when empty
};

struct ImportOutcome {
  bool ok = false;      // a voice was written and listed
  int voiceIndex = -1;  // its entry in voice.csv
  std::string folder;   // its folder inside pluginDir
  int mapped = 0;       // syllables (programs 0..102) sung by a recording of their own
  int missing = 0;      // syllables without one (sung with their vowel, or empty)
  int fromFrq = 0;      // recordings whose root came from their .frq file
  int measured = 0;     // recordings whose root was measured
  int skipped = 0;      // oto.ini entries or recordings left out
  std::string report;   // the summary printed for the user
  std::string error;    // why nothing was written (ok false)
};

ImportOutcome ImportUtau(const ImportOptions& options);

}  // namespace chantera::voice
