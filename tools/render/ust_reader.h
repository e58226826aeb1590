// Reading an UTAU project (.ust), the format every UTAU-family editor reads and writes:
// a [#SETTING] section (Tempo, ProjectName) and one section per note ([#0000], [#0001]
// ... and a plug-in's [#INSERT]) with its Length in ticks of 480 per quarter, Lyric,
// NoteNum (60 = C4), Intensity (100 = as usual) and a Tempo change where the tempo changes.
//
// Rests are "R", "r", an empty lyric or a breath ("br", "息", "吸"). "-" and "ー" hold the
// previous syllable's vowel. A VCV-style lyric sings its kana ("a か" sings か) and an
// alias suffix is dropped ("ど_B3", "か↑" sing ど, か). PreUtterance, VoiceOverlap and VBR
// are kept on the notes for the timing and vibrato work. The text is Shift-JIS or UTF-8,
// as the Charset line says or, without one, as the bytes show; lines end in CR LF or LF.
// Keys it does not know are ignored; [#PREV], [#NEXT] and [#DELETE] (a plug-in's context)
// are not notes; nothing after [#TRACKEND] is read.
#pragma once

#include <string>

#include "tools/render/score.h"

namespace chantera::render {

// Reads the bytes of an UTAU project; name is the file's name for messages. On failure
// returns false with "NAME:LINE: what is wrong".
bool ReadUst(const std::string& bytes, const std::string& name, Score& score, std::string& error);

}  // namespace chantera::render
