// A MIDI file turned into what the renderer plays: every channel message at its exact
// frame, and, for songs with lyrics, the program of each sung syllable selected at the
// frame of the note that sings it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/render/lyrics.h"
#include "tools/render/midi_file.h"
#include "tools/render/singing.h"

namespace chantera::render {

struct TimedMessage {
  int64_t frame = 0;
  bool isProgram = false;  // a host program selection rather than MIDI bytes
  int32_t program = 0;
  uint8_t bytes[3] = {0, 0, 0};
};

struct Song {
  // In playing order, frames never decreasing; program selections first within a frame.
  std::vector<TimedMessage> messages;
  int64_t endFrame = 0;  // the frame of the file's last event
  size_t notes = 0;      // note-ons
  size_t sungNotes = 0;  // note-ons that sing a syllable from the lyrics
};

// The syllable each note-on event sings (indexed like file.events), from the file's lyric
// events, or its text events when it has no lyric events. A lyric binds to the note-ons
// at or after its tick; a lyric of several syllables sings them on consecutive notes; a
// note without a lyric of its own holds the previous syllable's vowel; notes struck
// together share a syllable. Lyrics the table cannot sing follow rule, which notes each
// with its track, tick and time (when rule is given). holds (when given) tells, like the
// result, which note-ons hold the syllable before rather than sing one of their own.
std::vector<std::optional<Syllable>> AssignLyrics(const MidiFile& file, LyricRule* rule = nullptr,
                                                  std::vector<bool>* holds = nullptr);

// With lyrics, singing says how the lyric line is sung (singing.h): for Chantera only.
Song BuildSong(const MidiFile& file, double sampleRate, bool useLyrics, LyricRule* rule = nullptr,
               const Singing& singing = {});

// The same song as a MIDI file that carries the phonetic protocol: each sung note-on is
// replaced by the controller sequence that spells its syllable and commits it on the
// note's key (the instrument then sings it at full velocity and releases it after 500 ms
// or at the note-off, whichever comes first).
std::string PhoneticMidi(const MidiFile& file, LyricRule* rule = nullptr);

}  // namespace chantera::render
