// How the renderer sings a lyric line on Chantera, as singing editors do by default, through
// the instrument's expression controllers (engine/expression.h):
// - legato: a note that holds the syllable before (a melisma: "-" or "ー" in a score, a
//   note without a lyric of its own in a MIDI file) and starts where that note ends is
//   struck under controller 68 while the note before is still held (its note-off moved
//   just after), with no program selection, so that the instrument carries the recording
//   on at the new pitch: no new attack, no consonant again. On the same key the two notes
//   are one (a note-off after the note-on of its own key would end it).
// - portamento: notes that follow each other without a rest glide over 80 ticks at 480 a
//   quarter, at the tempo where the note starts (controller 5, sent again where the tempo
//   changes it); controller 84 names the key each glide starts from, and the note's own
//   key where there is none (after a rest, an unsung note). Editors start the glide 40
//   ticks early; the instrument cannot move a pitch before its note-on, so it starts on
//   the note.
// - vibrato: a note longer than 0.6 s gets 25 cents (controller 1 = 64) at 5.74 Hz (76 =
//   66: a period of 175 ms) from a quarter of its length on (78, at most 1.27 s), faded in
//   over one period; a shorter one none (1 = 0, sent before its note-on).
// Only Chantera is handed these: another instrument plays the song as written.
// Thread: offline only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "tools/render/lyrics.h"
#include "tools/render/midi_file.h"

namespace chantera::render {

struct Singing {
  bool legato = false;
  bool portamento = false;
  bool vibrato = false;
};

// What becomes of one event of the file (note-ons and note-offs; others are as they are).
struct SungEvent {
  static constexpr size_t kNone = static_cast<size_t>(-1);
  std::vector<std::array<uint8_t, 3>> controllers;  // handed over just before the event
  bool dropped = false;                             // left out: a note and its same-key continuation are one note
  bool keepsProgram = false;                        // a legato note-on: the recording of the note before goes on
  size_t releases = kNone;  // a legato note-on: the note-off of the note before, sent right after it
  bool moved = false;       // a note-off sent after the next note's note-on instead
};

// The plan for every event of file (indexed like file.events), from the syllable each
// note-on sings (AssignLyrics) and whether it holds the syllable before (holds).
std::vector<SungEvent> PlanSinging(const MidiFile& file, const std::vector<std::optional<Syllable>>& sung,
                                   const std::vector<bool>& holds, const Singing& singing);

}  // namespace chantera::render
