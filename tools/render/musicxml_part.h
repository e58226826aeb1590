// The measures of one MusicXML part as the reader needs them: the notes of one voice with
// their times in quarter notes from the measure's start, the tempo marks, and the signs
// that decide the order of play. Used by musicxml_reader.cpp.
#pragma once

#include <pugixml.hpp>

#include <string>
#include <utility>
#include <vector>

#include "tools/render/play_order.h"

namespace chantera::render {

struct PartNote {
  double start = 0.0, length = 0.0;  // quarter notes from the measure's start
  int key = 60;
  int velocity = 96;
  bool tieStart = false, tieStop = false;
  bool continuation = false;                        // under an extender line or a slur, without a lyric
  std::vector<std::pair<int, std::string>> lyrics;  // line number and text
  int index = 0;                                    // among the measure's notes of the voice, from 1
};

struct TempoMark {
  double at = 0.0;     // quarter notes from the measure's start
  double bpm = 120.0;  // quarter notes per minute
};

struct PartMeasure {
  std::string number;   // as written
  double length = 0.0;  // quarter notes
  MeasureFlow flow;
  std::vector<PartNote> notes;
  std::vector<TempoMark> tempos;
};

// What a part holds, for choosing what sings.
struct PartSummary {
  std::vector<std::string> voices;       // voices with notes, in order of appearance
  std::vector<std::string> lyricVoices;  // voices with lyrics
  std::vector<int> lyricLines;           // lyric line numbers, ascending
};
PartSummary SummarizePart(pugi::xml_node part);

// Reads a part's measures, with the notes of voice (none when voice is empty).
class PartReader {
 public:
  explicit PartReader(std::string voice) : voice_(std::move(voice)) {}
  std::vector<PartMeasure> Read(pugi::xml_node part);

  size_t chords = 0;       // notes struck together in the voice, of which the top one sings
  std::string firstChord;  // the measure of the first
  size_t graceNotes = 0;

 private:
  void ReadAttributes(pugi::xml_node attributes);
  void ReadDirection(pugi::xml_node direction, PartMeasure& m);
  void ReadNote(pugi::xml_node note, PartMeasure& m);
  // Adds a sung note to the measure; of a chord, the top note sings.
  void AddNote(PartNote n, bool chord, PartMeasure& m);
  void ReadSound(pugi::xml_node sound, double at, PartMeasure& m);

  std::string voice_;
  double divisions_ = 1.0;
  int transpose_ = 0;
  int velocity_ = 96;
  int slurs_ = 0;           // slurs open in the voice
  bool extending_ = false;  // an extender line runs from the last lyric
  double cursor_ = 0.0, lastStart_ = 0.0;
  int index_ = 0;
};

// The lyric line number of a <lyric> element: its number attribute, or its position
// among the note's lyrics when that is not a number.
int LyricLine(pugi::xml_node lyric, int position);

}  // namespace chantera::render
