// The files of an UTAU voicebank: oto.ini (where each recording's syllable lies), the
// NAME_wav.frq pitch files, prefix.map (which recordings each note uses) and
// character.txt (the singer's name). Readers of bytes only: the import finds the files.
// Thread: offline only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "library/oto_file.h"

namespace chantera::voice {

// oto.ini and the text of UTAU's files are the voice library's (library/oto_file.h): a
// voice folder may hold an oto.ini too.
using chantera::ComposeKana;
using chantera::DecodeText;
using chantera::OtoEntry;
using chantera::OtoFault;
using chantera::OtoFile;
using chantera::OtoSkipped;
using chantera::ParseOto;
using chantera::TextLines;
using chantera::TrimBlanks;

// Why a line of oto.ini gave no entry, in words ("no '=' in the line").
std::string OtoFaultText(const OtoSkipped& skipped);

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

// MIDI note of a note name (C4 = 60, sharps with '#', flats with 'b'); -1 when it is none.
int ParseNoteName(const std::string& name);

}  // namespace chantera::voice
