// The readable source of an example song: one note per line with its length in beats and
// the syllable it sings, and a few directives. Compiled into a Standard MIDI File with a
// lyric event on each sung note (or, in phonetic mode, the phonetic controller protocol).
//
//   # comment
//   title   Sakura Sakura
//   tempo   76           quarter notes per minute (may change between notes)
//   velocity 96
//   encoding utf-8       or shift-jis: how the lyric events are written
//   mode    lyrics       or phonetic
//   A4  1  さ            pitch (C4 = 60, # and b allowed), beats, syllable
//   B4  1/2  -           a note that holds the previous syllable's vowel (beats as a
//                        decimal number or a fraction)
//   r   1                a rest
#pragma once

#include <string>

#include "tools/render/lyrics.h"

namespace chantera::render {

// Compiles source text into a MIDI file image; each lyric goes through rule (when given),
// placed by its line ("line 12"). On failure returns false with the line number and
// what is wrong ("the song has no notes" has no line).
bool CompileSong(const std::string& source, std::string& midi, std::string& error, LyricRule* rule = nullptr);

}  // namespace chantera::render
