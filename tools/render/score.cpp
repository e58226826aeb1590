#include "tools/render/score.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "tools/render/midi_file.h"
#include "tools/render/midi_writer.h"

namespace chantera::render {

uint32_t MicrosecondsPerQuarter(double bpm) {
  // A tempo event holds 24 bits; 4 to 1000 quarter notes per minute keep well inside.
  const double clamped = std::isfinite(bpm) ? std::clamp(bpm, 4.0, 1000.0) : 120.0;
  return static_cast<uint32_t>(std::lround(60e6 / clamped));
}

bool IsHoldMark(const std::string& lyric) {
  return lyric == "-" || lyric == "ー" || lyric == "－" || lyric == "〜" || lyric == "～";
}

bool IsPauseMark(const std::string& lyric) {
  return lyric == "っ" || lyric == "ッ";
}

std::string ScoreMidi(const Score& score, LyricRule& lyrics, std::vector<std::string>& notices) {
  MidiWriter out;
  if (!score.title.empty()) out.Meta(0, kMetaTrackName, score.title);
  // Tempo changes first: within a tick, the writer keeps the order events were added.
  for (const TempoChange& tempo : score.tempos) out.Tempo(tempo.tick, tempo.microsecondsPerQuarter);
  std::set<std::string> counted;  // places of several syllables (a repeated measure counts once)
  std::string firstSeveral;
  for (size_t i = 0; i < score.notes.size(); ++i) {
    const ScoreNote& note = score.notes[i];
    uint64_t end = note.tick + note.length;
    if (i + 1 < score.notes.size()) end = std::min(end, std::max(note.tick, score.notes[i + 1].tick));
    if (end <= note.tick || IsPauseMark(note.lyric)) continue;
    if (note.continuation || IsHoldMark(note.lyric)) {
      out.Meta(note.tick, kMetaLyric, "ー");
    } else if (!note.lyric.empty()) {
      bool several = false;
      const std::optional<Syllable> sung = lyrics.SingNote(note.lyric, note.place, &several);
      if (several && counted.insert(note.place).second && counted.size() == 1)
        firstSeveral = note.place + " \"" + note.lyric + "\" sings \"" + sung->kana + "\"";
      if (sung) out.Meta(note.tick, kMetaLyric, sung->kana);
    }
    out.Channel(note.tick, midi::kNoteOn, note.key, std::max<uint8_t>(note.velocity, 1));
    out.Channel(end, midi::kNoteOff, note.key, 0);
  }
  if (counted.size() == 1)
    notices.push_back("1 note has a lyric of several syllables and sings its first: " + firstSeveral);
  else if (counted.size() > 1)
    notices.push_back(std::to_string(counted.size()) +
                      " notes have a lyric of several syllables; each sings its first (" + firstSeveral + ", ...)");
  return out.Finish(kScoreTicksPerQuarter);
}

}  // namespace chantera::render
