// The files of an UTAU voicebank: oto.ini (where each recording's syllable lies), the
// NAME_wav.frq pitch files, prefix.map (which recordings each note uses) and
// character.txt (the singer's name). Readers of bytes only: the import finds the files.
// Thread: offline only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chantera::voice {

// One line of oto.ini: file.wav=alias,offset,consonant,cutoff,preutterance,overlap, all
// in milliseconds. offset counts from the start of the file; consonant, preutterance and
// overlap from the offset; a positive cutoff counts back from the end of the file, a
// negative one puts the end at offset + |cutoff|.
struct OtoEntry {
  std::string file;   // relative to the oto.ini's folder, '/' between folders (UTF-8, NFC)
  std::string alias;  // the file name without ".wav" when the line leaves it empty
  double offset = 0, consonant = 0, cutoff = 0, preutterance = 0, overlap = 0;
  int32_t line = 0;
};

struct OtoSkipped {
  int32_t line = 0;
  std::string text;    // the line (UTF-8)
  std::string reason;  // why it was not read
};

struct OtoFile {
  std::vector<OtoEntry> entries;
  std::vector<OtoSkipped> skipped;
  bool utf8 = false;  // the text was UTF-8 rather than Shift-JIS
};

// Reads oto.ini bytes (Shift-JIS by default; UTF-8 with or without a byte order mark).
// Lines without '=' and lines with numbers that are not numbers are skipped with a
// reason; empty numbers are 0.
OtoFile ParseOto(const std::string& bytes);

// NAME_wav.frq: "FREQ0003", samples per frame (32-bit), average frequency (double), 16
// unused bytes, a frame count N (32-bit), then N pairs of doubles (frequency, amplitude).
struct FrqFile {
  uint32_t samplesPerFrame = 0;
  double average = 0;
  std::vector<double> frequency;  // one per frame; 0 where unvoiced
};
// False with a reason when the bytes are not such a file (short, wrong header, a count
// larger than the data, frames of zero samples).
bool ParseFrq(const std::string& bytes, FrqFile& frq, std::string& error);

// prefix.map: NOTE<TAB>prefix<TAB>suffix per line (notes written as C4 = 60, C#4 = 61).
struct PrefixMapEntry {
  int note = 0;
  std::string prefix, suffix;
};
std::vector<PrefixMapEntry> ParsePrefixMap(const std::string& bytes);

// The singer's name from character.txt ("name=..." or "名前=..."), or "".
std::string ParseCharacterName(const std::string& bytes);

// Text of an UTAU file as UTF-8: a byte order mark or valid UTF-8 stays UTF-8, anything
// else is read as Shift-JIS. Decomposed kana (as macOS writes file names) are composed.
std::string DecodeText(const std::string& bytes, bool* wasUtf8 = nullptr);

// Composes kana followed by a combining voiced or semi-voiced mark (U+3099, U+309A, and
// their spacing forms are left alone) into one character: the normal form that oto.ini
// uses, for names that macOS stored decomposed.
std::string ComposeKana(const std::string& utf8);

// MIDI note of a note name (C4 = 60, sharps with '#', flats with 'b'); -1 when it is none.
int ParseNoteName(const std::string& name);

}  // namespace chantera::voice
