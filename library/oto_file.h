// oto.ini, UTAU's list of where the syllable lies in each recording of a folder, and the
// text conventions of UTAU's files (Shift-JIS or UTF-8, kana that macOS stored
// decomposed). One line per recording and alias:
//
//   file.wav=alias,offset,consonant,cutoff,preutterance,overlap
//
// all in milliseconds. offset counts from the start of the file: what lies before it is not
// sung. consonant, preutterance and overlap count from the offset: the consonant is the
// part that is never stretched, the preutterance is where the vowel starts (UTAU places
// that point on the note-on), and the overlap is where the previous note has faded out
// (negative: that note ends before this recording starts). A positive cutoff counts back
// from the end of the file, a negative one puts the end at offset + |cutoff|, 0 is the end.
//
// The voice library reads a voice folder's oto.ini with these readers (library/voice_timing.h);
// chantera-voice import-utau reads a bank's and writes one for the recordings it cuts, and
// the demo voice's generator writes one.
// Thread: whichever thread loads a voice or runs a tool; never the audio thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chantera {

struct OtoEntry {
  std::string file;   // relative to the oto.ini's folder, '/' between folders (UTF-8, kana composed)
  std::string alias;  // the file name without ".wav" when the line leaves it empty
  double offset = 0, consonant = 0, cutoff = 0, preutterance = 0, overlap = 0;
  int32_t line = 0;  // 1-based
};

// Why a line that is not empty gave no entry.
enum class OtoFault {
  kNoEquals,    // no '=' in the line
  kNoFileName,  // nothing before the '='
  kNotANumber,  // a number field that is not a number (field: its text)
};

struct OtoSkipped {
  int32_t line = 0;
  std::string text;  // the line (UTF-8)
  OtoFault fault = OtoFault::kNoEquals;
  std::string field;  // kNotANumber: the field as written, blanks trimmed
};

struct OtoFile {
  std::vector<OtoEntry> entries;
  std::vector<OtoSkipped> skipped;
  bool utf8 = false;  // the text was UTF-8 rather than Shift-JIS
};

// Reads oto.ini bytes (Shift-JIS by default; UTF-8 with or without a byte order mark).
// Lines end with CR LF, LF or CR. Empty number fields, and fields the line leaves out, are
// 0; blanks around names and numbers are dropped.
OtoFile ParseOto(const std::string& bytes);

// The line of oto.ini (without its line end) that ParseOto reads back as entry: numbers
// with at most three decimals, no exponent, whatever the process locale.
std::string FormatOtoLine(const OtoEntry& entry);

// Text of an UTAU file as UTF-8: a byte order mark or valid UTF-8 stays UTF-8, anything
// else is read as Shift-JIS. Decomposed kana (as macOS writes file names) are composed.
std::string DecodeText(const std::string& bytes, bool* wasUtf8 = nullptr);

// The lines of a text (ends: CR LF, LF or CR; a last line without one counts when it is not
// empty), and a text without the blanks and tabs around it.
std::vector<std::string> TextLines(const std::string& text);
std::string TrimBlanks(const std::string& text);

// Composes kana followed by a combining voiced or semi-voiced mark (U+3099, U+309A; their
// spacing forms are left alone) into one character: the form oto.ini uses, for names that
// macOS stored decomposed.
std::string ComposeKana(const std::string& utf8);

}  // namespace chantera
