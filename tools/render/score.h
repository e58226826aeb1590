// A song read from a score (an UTAU project or a MusicXML file): its notes in time order,
// each with the lyric it sings, and its tempo changes. The renderer does not play a score
// directly: ScoreMidi writes it as the Standard MIDI File with lyric events that sings
// it, and that file takes the MIDI path (program selection at each sung note's frame).
// So a score sings exactly as the MIDI file that --write-midi saves from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/render/lyrics.h"
#include "tools/render/midi_file.h"

namespace chantera::render {

// The time base of every score, as UTAU projects count it.
inline constexpr int kScoreTicksPerQuarter = 480;

struct ScoreNote {
  uint64_t tick = 0;    // start
  uint64_t length = 0;  // more than 0
  uint8_t key = 60;
  uint8_t velocity = 96;
  // The lyric as written (UTF-8), or empty: a note without a lyric of its own holds the
  // previous syllable's vowel, as in a MIDI file.
  std::string lyric;
  // Marked as holding the previous syllable's vowel (UTAU's "-" and "ー", a MusicXML
  // extender line or slur). It sings as a note without a lyric; the MIDI file spells it
  // "ー" so that the mark survives there, for the legato work to use.
  bool continuation = false;
  // Where the note stands in its file, for messages: "line 12", "measure 3, note 2".
  std::string place;
  // Read and kept for the timing and vibrato work, not used yet (every note sings at its
  // written time): UTAU's per-note PreUtterance and VoiceOverlap in milliseconds, and its
  // VBR values (length %, cycle ms, depth cents, fade in %, fade out %, phase %, height %).
  std::optional<double> preUtterance;
  std::optional<double> voiceOverlap;
  std::vector<double> vibrato;
};

struct Score {
  std::string title;
  std::vector<ScoreNote> notes;     // by start; a note that overlaps the next is cut at its start
  std::vector<TempoChange> tempos;  // by tick, the first at tick 0
  // What the reader tells the user about how it read the file (one line each).
  std::vector<std::string> notices;
};

// Lyrics that mark a note rather than name a syllable: "-" and "ー" (also full-width and
// as a wave dash) hold the previous syllable's vowel; "っ" alone is the closure of a
// doubled consonant, a pause: the note is not sung.
bool IsHoldMark(const std::string& lyric);
bool IsPauseMark(const std::string& lyric);

// The Standard MIDI File (format 0, kScoreTicksPerQuarter) that sings the score: its tempo
// changes, and for each note a lyric event in UTF-8 naming the syllable it sings
// (LyricRule::SingNote: the rule that tells, with the note's place, what the table cannot
// sing), then the note on channel 1. Lyrics of which only the first syllable sings are
// counted in one notice.
std::string ScoreMidi(const Score& score, LyricRule& lyrics, std::vector<std::string>& notices);

// Quarter notes per minute to the MIDI tempo, held within what a tempo event holds.
uint32_t MicrosecondsPerQuarter(double bpm);

}  // namespace chantera::render
