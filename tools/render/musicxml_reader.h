// Reading a MusicXML score (.musicxml, .xml; .mxl is the same zipped), as notation
// programs export it, through pugixml (and libzip for .mxl).
//
// score-partwise is read; score-timewise is turned into it first, as the format's own
// conversion does. One part sings: the first with lyrics, or the one chosen. In it, one
// voice sings: voice 1, or the first voice with lyrics when voice 1 has no notes, or the
// one chosen; of a chord, the top note sings. Divisions, backup and forward place the
// notes; tied notes sing once, as one note; grace notes are skipped; rests are silence.
// One lyric line sings (1 unless chosen); on the k-th pass through a repeated section a
// note sings line N + k - 1 when it has one, so that verses written under repeated music
// follow each other. A note without a lyric holds the vowel before it (an extender line
// or a slur marks it so explicitly). The tempo comes from <sound tempo> and metronome
// marks, in whichever part they stand; the loudness from <sound dynamics> and a note's
// dynamics (percent of forte, velocity 90), 96 when the score gives none. Repeats,
// endings, D.C., D.S., Fine and To Coda are played as written.
#pragma once

#include <string>

#include "tools/render/score.h"

namespace chantera::render {

struct ScoreChoices {
  int part = 0;   // from 1; 0: the first part with lyrics
  int verse = 0;  // lyric line from 1; 0: line 1 (or the lowest the part has)
  int voice = 0;  // voice in the part (MusicXML's <voice> number); 0: as described above
};

// Reads a score from the bytes of a MusicXML file; name is the file's name for messages.
// On failure returns false with "NAME: what is wrong" (and the line, for XML errors).
bool ReadMusicXml(const std::string& bytes, const std::string& name, const ScoreChoices& choices, Score& score,
                  std::string& error);

// The same from a compressed MusicXML file (.mxl): a zip archive whose
// META-INF/container.xml names the score, or that holds one .xml or .musicxml file.
bool ReadMxl(const std::string& bytes, const std::string& name, const ScoreChoices& choices, Score& score,
             std::string& error);

}  // namespace chantera::render
