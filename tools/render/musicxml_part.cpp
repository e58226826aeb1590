#include "tools/render/musicxml_part.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace chantera::render {

namespace {

using pugi::xml_node;

// The number a text starts with (after spaces), or fallback: "120", " 96.5", "c. 120" is
// not one, "120-132" is 120.
double Number(const char* text, double fallback) {
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r') ++text;
  double value = 0.0;
  const auto [end, failed] = std::from_chars(text, text + std::strlen(text), value);
  return failed == std::errc() && end != text && std::isfinite(value) ? value : fallback;
}

double Number(xml_node node, double fallback) {
  return node ? Number(node.child_value(), fallback) : fallback;
}

std::string Trimmed(const char* text) {
  std::string s = text;
  const size_t first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::string VoiceOf(xml_node note) {
  const std::string voice = Trimmed(note.child("voice").child_value());
  return voice.empty() ? "1" : voice;
}

bool Sings(xml_node note) {
  return note.child("pitch") && !note.child("grace") && !note.child("cue");
}

std::string LyricText(xml_node lyric) {
  std::string text;
  for (xml_node t : lyric.children("text")) text += t.child_value();
  return Trimmed(text.c_str());
}

// Quarter notes in a note value named as MusicXML names them.
double QuartersOf(const std::string& type) {
  static const std::pair<const char*, double> kValues[] = {
      {"breve", 8}, {"whole", 4}, {"half", 2}, {"quarter", 1}, {"eighth", 0.5}, {"16th", 0.25}, {"32nd", 0.125}};
  for (const auto& [name, quarters] : kValues)
    if (type == name) return quarters;
  return 0.0;
}

// The tempo a metronome mark gives, in quarter notes per minute; 0 when it gives none
// (a mark that relates two note values, or no number).
double MetronomeTempo(xml_node metronome) {
  const xml_node unit = metronome.child("beat-unit");
  if (!unit || unit.next_sibling("beat-unit")) return 0.0;
  double quarters = QuartersOf(Trimmed(unit.child_value()));
  double dot = quarters / 2;
  for (xml_node d = unit.next_sibling(); d && std::strcmp(d.name(), "beat-unit-dot") == 0; d = d.next_sibling()) {
    quarters += dot;
    dot /= 2;
  }
  const double perMinute = Number(metronome.child("per-minute"), 0.0);
  return quarters * perMinute;
}

void AddUnique(std::vector<std::string>& list, const std::string& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

// A barline's repeat sign and ending bracket.
void ReadBarline(xml_node barline, MeasureFlow& f) {
  const std::string direction = barline.child("repeat").attribute("direction").value();
  if (direction == "forward") f.forwardRepeat = true;
  if (direction == "backward") f.backwardTimes = std::max(2, barline.child("repeat").attribute("times").as_int(2));
  const xml_node ending = barline.child("ending");
  if (!ending) return;
  const std::string type = ending.attribute("type").value();
  if (type == "start") {
    f.endingStart = true;
    f.ending.clear();
    std::string numbers = ending.attribute("number").value();
    std::replace(numbers.begin(), numbers.end(), ',', ' ');
    for (const char* p = numbers.c_str(); *p != 0;) {
      char* stop = nullptr;
      const long n = std::strtol(p, &stop, 10);
      if (stop == p) break;
      if (n > 0 && n < 1000) f.ending.push_back(static_cast<int>(n));
      p = stop;
    }
  } else if (type == "stop" || type == "discontinue") {
    f.endingStop = true;
  }
}

// The key a pitch sounds, transposed; false when it names none, or one beyond MIDI's keys.
bool KeyOf(xml_node pitch, int transpose, int& key) {
  static const int kSteps[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
  const char step = Trimmed(pitch.child("step").child_value()).c_str()[0];
  if (step < 'A' || step > 'G') return false;
  const double sounding = (Number(pitch.child("octave"), 4.0) + 1.0) * 12.0 + kSteps[step - 'A'] +
                          Number(pitch.child("alter"), 0.0) + transpose;
  if (!(sounding >= 0.0 && sounding <= 127.0)) return false;
  key = static_cast<int>(std::lround(sounding));
  return true;
}

// Where a tie starts or stops at the note, written as a tie (the sound) or as a tied
// notation (the sign).
void ReadTies(xml_node note, PartNote& n) {
  for (xml_node tie : note.children("tie")) {
    const std::string type = tie.attribute("type").value();
    n.tieStart |= type == "start";
    n.tieStop |= type == "stop";
  }
  for (xml_node tied : note.child("notations").children("tied")) {
    const std::string type = tied.attribute("type").value();
    n.tieStart |= type == "start";
    n.tieStop |= type == "stop";
  }
}

// The note's lyrics with their line numbers; true when an extender line runs on from one.
bool ReadLyrics(xml_node note, PartNote& n) {
  int position = 0;
  bool extend = false;
  for (xml_node lyric : note.children("lyric")) {
    ++position;
    const std::string text = LyricText(lyric);
    const xml_node line = lyric.child("extend");
    extend |= line && std::string(line.attribute("type").value()) != "stop";
    if (!text.empty()) n.lyrics.emplace_back(LyricLine(lyric, position), text);
  }
  return extend;
}

}  // namespace

int LyricLine(xml_node lyric, int position) {
  const char* number = lyric.attribute("number").value();
  int line = 0;
  const auto [end, failed] = std::from_chars(number, number + std::strlen(number), line);
  return failed == std::errc() && *end == 0 && line > 0 ? line : position;
}

PartSummary SummarizePart(xml_node part) {
  PartSummary summary;
  for (xml_node measure : part.children("measure"))
    for (xml_node note : measure.children("note")) {
      if (!Sings(note)) continue;
      AddUnique(summary.voices, VoiceOf(note));
      int position = 0;
      for (xml_node lyric : note.children("lyric")) {
        ++position;
        if (LyricText(lyric).empty()) continue;
        AddUnique(summary.lyricVoices, VoiceOf(note));
        const int line = LyricLine(lyric, position);
        if (std::find(summary.lyricLines.begin(), summary.lyricLines.end(), line) == summary.lyricLines.end())
          summary.lyricLines.push_back(line);
      }
    }
  std::sort(summary.lyricLines.begin(), summary.lyricLines.end());
  return summary;
}

std::vector<PartMeasure> PartReader::Read(xml_node part) {
  std::vector<PartMeasure> measures;
  for (xml_node measure : part.children("measure")) {
    PartMeasure m;
    m.number = measure.attribute("number").value();
    cursor_ = lastStart_ = 0.0;
    index_ = 0;
    double end = 0.0;
    for (xml_node child : measure.children()) {
      const std::string name = child.name();
      if (name == "attributes") {
        ReadAttributes(child);
      } else if (name == "note") {
        ReadNote(child, m);
      } else if (name == "backup") {
        cursor_ = std::max(0.0, cursor_ - std::max(0.0, Number(child.child("duration"), 0.0)) / divisions_);
      } else if (name == "forward") {
        cursor_ += std::max(0.0, Number(child.child("duration"), 0.0)) / divisions_;
      } else if (name == "direction") {
        ReadDirection(child, m);
      } else if (name == "sound") {
        ReadSound(child, cursor_, m);
      } else if (name == "barline") {
        ReadBarline(child, m.flow);
      }
      end = std::max(end, cursor_);
    }
    m.length = end;
    std::stable_sort(m.notes.begin(), m.notes.end(),
                     [](const PartNote& a, const PartNote& b) { return a.start < b.start; });
    measures.push_back(std::move(m));
  }
  return measures;
}

void PartReader::ReadAttributes(xml_node attributes) {
  const double divisions = Number(attributes.child("divisions"), 0.0);
  if (divisions > 0.0) divisions_ = divisions;
  if (const xml_node t = attributes.child("transpose"))
    transpose_ =
        static_cast<int>(std::lround(Number(t.child("chromatic"), 0.0) + 12.0 * Number(t.child("octave-change"), 0.0)));
}

void PartReader::ReadDirection(xml_node direction, PartMeasure& m) {
  const double at = cursor_ + Number(direction.child("offset"), 0.0) / divisions_;
  const size_t marks = m.tempos.size();
  ReadSound(direction.child("sound"), at, m);
  if (m.tempos.size() == marks)
    for (xml_node type : direction.children("direction-type"))
      if (const double bpm = MetronomeTempo(type.child("metronome")); bpm > 0.0) m.tempos.push_back({at, bpm});
}

void PartReader::ReadSound(xml_node sound, double at, PartMeasure& m) {
  if (!sound) return;
  if (const double bpm = Number(sound.attribute("tempo").value(), 0.0); bpm > 0.0) m.tempos.push_back({at, bpm});
  if (const double dynamics = Number(sound.attribute("dynamics").value(), -1.0); dynamics >= 0.0)
    velocity_ = static_cast<int>(std::clamp(std::lround(dynamics * 0.9), 1L, 127L));
  MeasureFlow& f = m.flow;
  if (sound.attribute("segno")) f.segno = std::string("segno:") + sound.attribute("segno").value();
  if (sound.attribute("coda")) f.coda = std::string("coda:") + sound.attribute("coda").value();
  if (sound.attribute("dalsegno")) f.dalsegno = std::string("segno:") + sound.attribute("dalsegno").value();
  if (sound.attribute("tocoda")) f.tocoda = std::string("coda:") + sound.attribute("tocoda").value();
  f.dacapo |= std::string(sound.attribute("dacapo").value()) == "yes";
  f.fine |= static_cast<bool>(sound.attribute("fine"));
}

void PartReader::ReadNote(xml_node note, PartMeasure& m) {
  if (note.child("grace")) {
    if (!voice_.empty() && VoiceOf(note) == voice_ && note.child("pitch")) ++graceNotes;
    return;  // grace notes take no time of their own
  }
  const bool chord = static_cast<bool>(note.child("chord"));
  const double length = std::max(0.0, Number(note.child("duration"), 0.0)) / divisions_;
  const double start = chord ? lastStart_ : cursor_;
  if (!chord) {
    lastStart_ = cursor_;
    cursor_ += length;
  }
  if (voice_.empty() || VoiceOf(note) != voice_ || !Sings(note)) return;

  PartNote n;
  if (!KeyOf(note.child("pitch"), transpose_, n.key)) return;
  n.start = start;
  n.length = length;
  n.velocity = velocity_;
  if (const double dynamics = Number(note.attribute("dynamics").value(), -1.0); dynamics >= 0.0)
    n.velocity = static_cast<int>(std::clamp(std::lround(dynamics * 0.9), 1L, 127L));
  ReadTies(note, n);
  const bool extend = ReadLyrics(note, n);
  n.continuation = n.lyrics.empty() && !n.tieStop && (extending_ || slurs_ > 0);
  if (!n.lyrics.empty() || extend) extending_ = extend;
  for (xml_node slur : note.child("notations").children("slur")) {
    const std::string type = slur.attribute("type").value();
    if (type == "start") ++slurs_;
    if (type == "stop" && slurs_ > 0) --slurs_;
  }
  AddNote(std::move(n), chord, m);
}

void PartReader::AddNote(PartNote n, bool chord, PartMeasure& m) {
  if (chord && !m.notes.empty() && m.notes.back().start == n.start) {
    // Of notes struck together, the top one sings, with the lyric any of them carries.
    if (chords++ == 0) firstChord = m.number;
    PartNote& top = m.notes.back();
    if (top.lyrics.empty()) top.lyrics = n.lyrics;
    if (n.key > top.key) {
      n.lyrics = top.lyrics;
      n.index = top.index;
      n.continuation = top.continuation;
      top = n;
    }
    return;
  }
  n.index = ++index_;
  m.notes.push_back(std::move(n));
}

}  // namespace chantera::render
