#include "tools/render/play_order.h"

#include <algorithm>

namespace chantera::render {

namespace {

// Spreads each ending's numbers over the measures it covers, and marks the measures of
// the last ending of each group (endings that follow one another), the one played after a
// jump.
std::vector<bool> SpreadEndings(std::vector<MeasureFlow>& flow) {
  std::vector<bool> last(flow.size(), false);
  std::vector<int> current;
  size_t spanStart = 0;
  bool open = false;
  std::vector<std::pair<size_t, size_t>> spans;
  for (size_t i = 0; i < flow.size(); ++i) {
    MeasureFlow& m = flow[i];
    if (m.endingStart) {
      if (open) spans.emplace_back(spanStart, i - 1);
      current = m.ending;
      spanStart = i;
      open = !current.empty();
    }
    if (open) m.ending = current;
    if (open && (m.endingStop || m.backwardTimes > 0)) {
      spans.emplace_back(spanStart, i);
      open = false;
    }
  }
  if (open) spans.emplace_back(spanStart, flow.size() - 1);
  for (size_t s = 0; s < spans.size(); ++s) {
    const bool lastOfGroup = s + 1 == spans.size() || spans[s + 1].first != spans[s].second + 1;
    if (lastOfGroup)
      for (size_t i = spans[s].first; i <= spans[s].second; ++i) last[i] = true;
  }
  return last;
}

// The measure with the mark of that name, or else the first with such a mark (scores name
// their one segno or coda loosely), or flow.size() when there is none.
size_t Find(const std::vector<MeasureFlow>& flow, std::string MeasureFlow::*mark, const std::string& name) {
  size_t first = flow.size();
  for (size_t i = 0; i < flow.size(); ++i) {
    if (flow[i].*mark == name) return i;
    if (first == flow.size() && !(flow[i].*mark).empty()) first = i;
  }
  return first;
}

}  // namespace

bool PlayOrder(std::vector<MeasureFlow> flow, std::vector<PlayedMeasure>& order, std::string& error,
               size_t maxMeasures) {
  order.clear();
  const std::vector<bool> lastEnding = SpreadEndings(flow);
  std::vector<bool> jumped(flow.size(), false);
  size_t start = 0;  // where the section that a :| repeats begins
  int pass = 1;
  bool returned = false;  // after a D.C. or D.S.
  bool backJump = false;  // this measure was reached by a :| jump
  bool inEnding = false;
  size_t i = 0;
  while (i < flow.size()) {
    if (order.size() >= maxMeasures) {
      error = "the repeats unfold to more than " + std::to_string(maxMeasures) + " measures";
      return false;
    }
    const MeasureFlow& m = flow[i];
    if (!backJump && (m.forwardRepeat || (inEnding && m.ending.empty()))) {
      // A new section begins at a |: or after the endings of the last one.
      start = i;
      pass = 1;
    }
    backJump = false;
    inEnding = !m.ending.empty();
    const bool play = m.ending.empty() ||
                      (returned ? lastEnding[i] : std::find(m.ending.begin(), m.ending.end(), pass) != m.ending.end());
    if (!play) {
      ++i;
      continue;
    }
    order.push_back({i, returned ? 1 : pass});
    if (returned && m.fine) break;
    if (returned && !m.tocoda.empty()) {
      const size_t coda = Find(flow, &MeasureFlow::coda, m.tocoda);
      if (coda > i && coda < flow.size()) {
        i = coda;
        continue;
      }
    }
    if (m.backwardTimes > 0 && !returned) {
      if (pass < m.backwardTimes) {
        ++pass;
        i = start;
        backJump = true;
        continue;
      }
      pass = 1;
      start = i + 1;
    }
    if ((m.dacapo || !m.dalsegno.empty()) && !jumped[i]) {
      const size_t target = m.dacapo ? 0 : Find(flow, &MeasureFlow::segno, m.dalsegno);
      if (target < flow.size()) {
        jumped[i] = true;
        returned = true;
        i = target;
        continue;
      }
    }
    ++i;
  }
  return true;
}

}  // namespace chantera::render
