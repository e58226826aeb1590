#include "tools/render/musicxml_reader.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cmath>
#include <map>

#include "platform/platform.h"
#include "tools/render/musicxml_part.h"

namespace chantera::render {

namespace {

using pugi::xml_node;

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// A file that declares itself Shift-JIS (older Japanese exports) as UTF-8, which is what
// pugixml reads; other files as they are (pugixml reads UTF-16 and UTF-32 by their marks).
std::string AsUtf8(const std::string& bytes) {
  std::string head = bytes.substr(0, std::min<size_t>(bytes.size(), 200));
  for (char& c : head) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  const size_t end = head.find("?>");
  const std::string declaration = head.substr(0, end);
  for (const char* name : {"shift_jis", "shift-jis", "windows-31j", "cp932", "x-sjis"})
    if (declaration.find(name) != std::string::npos) return platform::ShiftJisToUtf8(bytes);
  return bytes;
}

// score-timewise (measures holding parts) to score-partwise (parts holding measures): the
// same children, regrouped, as the format's own conversion does.
void ToPartwise(pugi::xml_document& doc) {
  pugi::xml_document partwise;
  xml_node root = partwise.append_child("score-partwise");
  const xml_node timewise = doc.document_element();
  for (pugi::xml_attribute a : timewise.attributes()) root.append_copy(a);
  std::vector<std::string> ids;
  for (xml_node child : timewise.children()) {
    if (std::string(child.name()) != "measure") {
      root.append_copy(child);
      continue;
    }
    for (xml_node part : child.children("part")) {
      const std::string id = part.attribute("id").value();
      xml_node target = root.find_child_by_attribute("part", "id", id.c_str());
      if (!target) {
        target = root.append_child("part");
        target.append_attribute("id") = id.c_str();
      }
      xml_node measure = target.append_child("measure");
      for (pugi::xml_attribute a : child.attributes()) measure.append_copy(a);
      for (xml_node content : part.children()) measure.append_copy(content);
    }
  }
  doc.reset(partwise);
}

class ScoreBuilder {
 public:
  ScoreBuilder(const std::string& name, const ScoreChoices& choices, Score& score)
      : name_(name), choices_(choices), score_(score) {}

  bool Fail(const std::string& what) {
    error_ = name_ + ": " + what;
    return false;
  }
  const std::string& error() const { return error_; }

  bool Build(xml_node root) {
    for (xml_node part : root.children("part")) parts_.push_back(part);
    std::string voice;
    int verse = 0;
    if (!ChoosePart(root) || !ChooseVoice(voice) || !ChooseVerse(verse)) return false;
    PartReader reader(voice);
    const std::vector<PartMeasure> measures = reader.Read(parts_[chosen_]);
    const std::vector<std::vector<TempoMark>> tempos = TempoMarks(measures);
    if (reader.chords > 0)
      score_.notices.push_back(std::string("chords sing their top note (the first in measure ") + reader.firstChord +
                               ")");
    if (reader.graceNotes > 0)
      score_.notices.push_back(std::to_string(reader.graceNotes) + " grace note" +
                               (reader.graceNotes == 1 ? " is" : "s are") + " not sung");
    std::vector<MeasureFlow> flow;
    flow.reserve(measures.size());
    for (const PartMeasure& m : measures) flow.push_back(m.flow);
    std::vector<PlayedMeasure> order;
    std::string unfolded;
    if (!PlayOrder(flow, order, unfolded)) return Fail(unfolded);
    Lay(measures, tempos, order, verse);
    if (score_.notes.empty()) return Fail("voice " + voice + " of " + partName_ + " has no notes to sing");
    return true;
  }

 private:
  static std::string PartName(xml_node root, xml_node part, size_t index) {
    const std::string number = "part " + std::to_string(index + 1);
    const xml_node entry =
        root.child("part-list").find_child_by_attribute("score-part", "id", part.attribute("id").value());
    const std::string name = entry.child("part-name").child_value();
    return name.empty() ? number : number + " (" + name + ")";
  }

  static uint64_t Tick(double quarters) {
    return static_cast<uint64_t>(std::llround(std::max(0.0, quarters) * kScoreTicksPerQuarter));
  }

  // The part that sings: --part's, or the first with lyrics, or the first.
  bool ChoosePart(xml_node root) {
    if (parts_.empty()) return Fail("the score has no parts");
    if (choices_.part > static_cast<int>(parts_.size()))
      return Fail("--part " + std::to_string(choices_.part) + ": the score has " + std::to_string(parts_.size()) +
                  (parts_.size() == 1 ? " part" : " parts"));
    std::vector<PartSummary> summaries;
    summaries.reserve(parts_.size());
    for (xml_node part : parts_) summaries.push_back(SummarizePart(part));
    chosen_ = choices_.part > 0 ? static_cast<size_t>(choices_.part - 1) : parts_.size();
    for (size_t p = 0; p < parts_.size() && chosen_ == parts_.size(); ++p)
      if (!summaries[p].lyricLines.empty()) chosen_ = p;
    if (chosen_ == parts_.size()) chosen_ = 0;
    summary_ = summaries[chosen_];
    partName_ = PartName(root, parts_[chosen_], chosen_);
    if (summary_.voices.empty()) return Fail(partName_ + " has no notes to sing");
    if (choices_.part == 0 && parts_.size() > 1)
      score_.notices.push_back(partName_ + " sings (" +
                               (summary_.lyricLines.empty() ? "no part has lyrics" : "the first with lyrics") +
                               "); --part chooses another of the " + std::to_string(parts_.size()));
    return true;
  }

  // The voice of the part that sings: --score-voice's, or 1, or the first with lyrics, or
  // the first.
  bool ChooseVoice(std::string& voice) {
    voice = choices_.voice > 0 ? std::to_string(choices_.voice) : "1";
    const bool hasVoice = std::find(summary_.voices.begin(), summary_.voices.end(), voice) != summary_.voices.end();
    if (choices_.voice > 0 && !hasVoice)
      return Fail("--score-voice " + voice + ": " + partName_ + " has notes in voice " + Joined(summary_.voices));
    if (!hasVoice) voice = summary_.lyricVoices.empty() ? summary_.voices.front() : summary_.lyricVoices.front();
    if (choices_.voice == 0 && summary_.voices.size() > 1)
      score_.notices.push_back("voice " + voice + " of " + partName_ + " sings; --score-voice chooses another (" +
                               Joined(summary_.voices) + ")");
    return true;
  }

  // The lyric line that sings: --verse's, or the first.
  bool ChooseVerse(int& verse) {
    verse = choices_.verse;
    const std::vector<int>& lines = summary_.lyricLines;
    if (verse > 0 && !lines.empty() && std::find(lines.begin(), lines.end(), verse) == lines.end()) {
      std::vector<std::string> names;
      names.reserve(lines.size());
      for (int line : lines) names.push_back(std::to_string(line));
      return Fail("--verse " + std::to_string(verse) + ": the lyrics of " + partName_ + " have lines " + Joined(names));
    }
    if (verse == 0) verse = lines.empty() ? 1 : lines.front();
    if (lines.empty()) score_.notices.push_back("the score has no lyrics: its notes play the current program");
    return true;
  }

  // The tempo marks of each measure. They stand in whichever part the notation program put
  // them (often the top one): those of every part count, measure by measure.
  std::vector<std::vector<TempoMark>> TempoMarks(const std::vector<PartMeasure>& measures) const {
    std::vector<std::vector<TempoMark>> tempos(measures.size());
    for (xml_node part : parts_) {
      PartReader other("");
      const std::vector<PartMeasure> theirs = part == parts_[chosen_] ? measures : other.Read(part);
      for (size_t i = 0; i < theirs.size() && i < tempos.size(); ++i)
        tempos[i].insert(tempos[i].end(), theirs[i].tempos.begin(), theirs[i].tempos.end());
    }
    return tempos;
  }

  // The tempo in force where each measure begins, as written: a jump back (a repeat, D.C.,
  // D.S.) returns to it. A mark before the first note also sets the tempo before it (one
  // placed a little late, after opening rests, still governs the start).
  static std::vector<double> WrittenTempos(const std::vector<PartMeasure>& measures,
                                           const std::vector<std::vector<TempoMark>>& tempos) {
    double first = 120.0;
    for (size_t i = 0; i < measures.size(); ++i) {
      const bool sounds = !measures[i].notes.empty();
      if (!tempos[i].empty() && (!sounds || tempos[i].front().at <= measures[i].notes.front().start))
        first = tempos[i].front().bpm;
      if (sounds || !tempos[i].empty()) break;
    }
    std::vector<double> written(measures.size());
    double current = first;
    for (size_t i = 0; i < measures.size(); ++i) {
      written[i] = current;
      double last = -1.0;
      for (const TempoMark& mark : tempos[i])
        if (mark.at >= last) {
          last = mark.at;
          current = mark.bpm;
        }
    }
    return written;
  }

  // Lays the measures out in the order of play: notes, tied notes joined, tempo marks.
  void Lay(const std::vector<PartMeasure>& measures, const std::vector<std::vector<TempoMark>>& tempos,
           const std::vector<PlayedMeasure>& order, int verse) {
    const std::vector<double> written = WrittenTempos(measures, tempos);
    double offset = 0.0;
    double lastEnd = -1.0;
    std::map<uint64_t, double> bpm;  // by tick; the later mark of one tick wins
    for (const PlayedMeasure& played : order) {
      const PartMeasure& m = measures[played.index];
      bpm[Tick(offset)] = written[played.index];
      for (const TempoMark& mark : tempos[played.index]) bpm[Tick(offset + mark.at)] = mark.bpm;
      for (const PartNote& n : m.notes) LayNote(m, n, played, offset, verse, lastEnd);
      offset += m.length;
    }
    std::stable_sort(score_.notes.begin(), score_.notes.end(),
                     [](const ScoreNote& a, const ScoreNote& b) { return a.tick < b.tick; });
    for (const auto& [tick, value] : bpm) {
      const uint32_t tempo = MicrosecondsPerQuarter(value);
      if (score_.tempos.empty() || tempo != score_.tempos.back().microsecondsPerQuarter)
        score_.tempos.push_back({tick, tempo});
    }
    if (score_.tempos.empty()) score_.tempos.push_back({0, MicrosecondsPerQuarter(120.0)});
  }

  // One note of a measure played at offset (quarter notes from the song's start): a note of
  // the score, or the one before it sung on when a tie joins them. lastEnd is where the
  // last note laid ends.
  void LayNote(const PartMeasure& m, const PartNote& n, const PlayedMeasure& played, double offset, int verse,
               double& lastEnd) {
    const double start = offset + n.start, end = start + n.length;
    if (n.tieStop && !score_.notes.empty() && score_.notes.back().key == n.key && std::fabs(lastEnd - start) < 1e-6) {
      score_.notes.back().length = Tick(end) - score_.notes.back().tick;  // a tied note sings on
      lastEnd = end;
      return;
    }
    ScoreNote note;
    note.tick = Tick(start);
    note.length = Tick(end) - note.tick;
    if (note.length == 0) return;
    note.key = static_cast<uint8_t>(n.key);
    note.velocity = static_cast<uint8_t>(n.velocity);
    note.continuation = n.continuation;
    const auto sings = [&](int line) {
      for (const auto& [number, text] : n.lyrics)
        if (number == line) return text;
      return std::string();
    };
    note.lyric = sings(verse + played.pass - 1);
    if (note.lyric.empty()) note.lyric = sings(verse);
    if (IsHoldMark(note.lyric)) {
      note.continuation = true;
      note.lyric.clear();
    }
    note.place = "measure " + (m.number.empty() ? std::to_string(played.index + 1) : m.number) + ", note " +
                 std::to_string(n.index);
    score_.notes.push_back(std::move(note));
    lastEnd = end;
  }

  const std::string& name_;
  const ScoreChoices& choices_;
  Score& score_;
  std::string error_;
  std::vector<xml_node> parts_;
  size_t chosen_ = 0;  // the part that sings
  PartSummary summary_;
  std::string partName_;
};

}  // namespace

bool ReadMusicXml(const std::string& bytes, const std::string& name, const ScoreChoices& choices, Score& score,
                  std::string& error) {
  score = Score{};
  const std::string text = AsUtf8(bytes);
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed =
      doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_auto);
  if (!parsed) {
    const auto offset =
        static_cast<size_t>(std::clamp<ptrdiff_t>(parsed.offset, 0, static_cast<ptrdiff_t>(text.size())));
    const auto line = 1 + std::count(text.begin(), text.begin() + static_cast<ptrdiff_t>(offset), '\n');
    error = name + ":" + std::to_string(line) + ": not well-formed XML (" + parsed.description() + ")";
    return false;
  }
  const std::string root = doc.document_element().name();
  if (root == "score-timewise") ToPartwise(doc);
  if (root != "score-partwise" && root != "score-timewise") {
    error = name + ": not a MusicXML score (its root element is <" + root + ">, not <score-partwise>)";
    return false;
  }
  const xml_node work = doc.document_element().child("work");
  score.title = work.child("work-title").child_value();
  if (score.title.empty()) score.title = doc.document_element().child("movement-title").child_value();
  ScoreBuilder builder(name, choices, score);
  if (builder.Build(doc.document_element())) return true;
  error = builder.error();
  return false;
}

}  // namespace chantera::render
