// The demo voice as a voice library: which syllables it sings, at which root notes, and
// the files that carry them (voice.csv, the voice folder with samples.txt, programs.txt,
// oto.ini and one WAV file per syllable and root).
//
// Every program that phonetic input can reach, 0 to 102, sings the syllable of the first
// phoneme-table row that names it. Each syllable is recorded at kDemoRoots; each recording
// covers the keys around its root, the lowest down to key 0 and the highest up to 127, so
// that no key from 44 to 84 is pitched more than four semitones away from its recording.
//
// Thread: offline only (the generator and the tests).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "library/oto_file.h"
#include "tools/common/syllables.h"
#include "tools/demo_voice/synth.h"

namespace chantera::demo {

inline constexpr const char* kDemoDisplayName = "Chantera Demo";
inline constexpr const char* kDemoFolder = "demo";
inline constexpr std::array<int, 5> kDemoRoots{48, 56, 64, 72, 80};

struct KeySpan {
  int low;
  int high;
};

// Keys that the recording at root index r plays: up to the midpoint to the next root.
inline KeySpan DemoKeySpan(size_t r) {
  const int low = r == 0 ? 0 : (kDemoRoots[r - 1] + kDemoRoots[r]) / 2 + 1;
  const int high = r + 1 == kDemoRoots.size() ? 127 : (kDemoRoots[r] + kDemoRoots[r + 1]) / 2;
  return {low, high};
}

inline std::string DemoFileName(const tools::ProgramSyllable& s, int root) {
  return s.name + "_" + std::to_string(root) + ".wav";
}

// The recording of syllable s at root note root: 16-bit mono at kOutputRate, with its loop.
inline Recording DemoRecording(const tools::ProgramSyllable& s, int root) {
  return SingSyllable(s.consonant, s.vowel, root, uint64_t(s.program) * 131u + uint64_t(root));
}

// Where the syllable lies in each of its recordings, as its oto.ini entry tells it (in
// milliseconds from the recording's first frame: the recordings hold nothing before the
// syllable, so their offset is 0). The generator's plan of the onset knows it:
// - preutterance, the point on the beat: the middle of the voice's last rise to full
//   strength, which follows the consonant (the release of a stop, the end of a fricative,
//   the opening of a nasal); in a syllable without a consonant, the middle of its attack;
// - overlap: a third of that, over which the note before fades into the consonant; the
//   whole attack for a syllable without a consonant (one vowel into the next);
// - consonant, the part never stretched: to the end of the formants' glide into the vowel,
//   at least 25 ms past the preutterance.
struct DemoTiming {
  double preutteranceMs = 0, overlapMs = 0, consonantMs = 0;
};
inline DemoTiming SyllableTiming(const tools::ProgramSyllable& s) {
  const Onset plan = PlanOnset(s.consonant, s.vowel);
  DemoTiming t;
  t.preutteranceMs = 1000.0 * plan.voicing.FinalRiseMiddle();
  const bool bare = s.consonant.empty() || s.consonant == "N";
  t.overlapMs = bare ? t.preutteranceMs : t.preutteranceMs / 3.0;
  t.consonantMs = std::max(1000.0 * plan.glideUntil, t.preutteranceMs + 25.0);
  return t;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), std::streamsize(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

struct DemoSummary {
  size_t recordings = 0;
  uint64_t bytes = 0;
};

// Writes voice.csv and the demo voice folder into pluginDir (the folder is emptied first,
// so that no recording of an older generator lingers). Throws on a failure to write.
inline DemoSummary GenerateDemoVoice(const std::filesystem::path& pluginDir) {
  namespace fs = std::filesystem;
  const std::vector<tools::ProgramSyllable> syllables = tools::ProgramSyllables();
  const fs::path folder = pluginDir / kDemoFolder;
  fs::remove_all(folder);
  fs::create_directories(folder);

  DemoSummary summary;
  std::string sampleList, programFile, oto;
  for (const tools::ProgramSyllable& s : syllables) {
    programFile += "Program\r\nP,1.0,2," + s.name + "\r\n";
    const DemoTiming timing = SyllableTiming(s);
    for (size_t r = 0; r < kDemoRoots.size(); ++r) {
      const int root = kDemoRoots[r];
      const std::string file = DemoFileName(s, root);
      const Recording recording = DemoRecording(s, root);
      const std::string wav = WaveFileBytes(recording.pcm, 1, kOutputRate, &recording.loop);
      WriteFile(folder / file, wav);
      summary.recordings += 1;
      summary.bytes += wav.size();
      sampleList += file + "," + s.name + "," + std::to_string(root) + "\r\n";
      OtoEntry entry;
      entry.file = file;
      entry.alias = s.name;
      entry.consonant = timing.consonantMs;
      entry.preutterance = timing.preutteranceMs;
      entry.overlap = timing.overlapMs;
      oto += FormatOtoLine(entry) + "\r\n";
      const KeySpan span = DemoKeySpan(r);
      programFile += "S," + std::to_string(span.low) + "," + std::to_string(span.high) + "," + file + "\r\n";
    }
    programFile += "End\r\n";
  }
  WriteFile(folder / "samples.txt", sampleList);
  WriteFile(folder / "programs.txt", programFile);
  WriteFile(folder / "oto.ini", oto);
  WriteFile(pluginDir / "voice.csv", std::string(kDemoDisplayName) + "," + kDemoFolder + "\r\n");
  summary.bytes += sampleList.size() + programFile.size() + oto.size();
  return summary;
}

}  // namespace chantera::demo
