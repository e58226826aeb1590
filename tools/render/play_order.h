// The order in which a score's measures are played, as a musician reads the signs: repeats
// (|: :| with a number of times), first and second endings, and the jumps D.C. and D.S.
// with Fine and To Coda.
//
// After a D.C. or D.S. jump the repeats are not taken again and of each group of endings
// only the last is played, as is the custom. Each jump is taken once.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace chantera::render {

struct MeasureFlow {
  bool forwardRepeat = false;  // |: at the start of the measure
  int backwardTimes = 0;       // :| at its end: how many times the section is played; 0: none
  std::vector<int> ending;     // the passes this measure belongs to as an ending; empty: none
  bool endingStart = false;    // an ending begins here (its numbers in ending)
  bool endingStop = false;     // an ending ends with this measure
  std::string segno, coda;     // marks at the start of the measure (their names)
  bool dacapo = false, fine = false;
  std::string dalsegno, tocoda;  // jumps at the end of the measure (to the mark of that name)
};

struct PlayedMeasure {
  size_t index = 0;
  int pass = 1;  // which time through its repeated section (1 outside repeats)
};

// The measures to play, in order. Endings continue from their start to the measure that
// stops them, the next repeat sign's measure or the next ending. False when the signs
// unfold to more than maxMeasures measures (error says so).
bool PlayOrder(std::vector<MeasureFlow> flow, std::vector<PlayedMeasure>& order, std::string& error,
               size_t maxMeasures = 100000);

}  // namespace chantera::render
