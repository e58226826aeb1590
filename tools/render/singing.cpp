#include "tools/render/singing.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <utility>

#include "engine/expression.h"
#include "engine/midi_protocol.h"

namespace chantera::render {

namespace {

// OpenUtau's defaults, which users of singing tools compare with.
constexpr double kGlideQuarters = 80.0 / 480.0;
constexpr double kLongNoteSeconds = 0.6;
constexpr uint8_t kVibratoDepth = 64;   // 25 cents
constexpr uint8_t kVibratoRate = 66;    // 5.74 Hz, a period of 175 ms
constexpr double kVibratoOnset = 0.25;  // of the note's length
// A note that starts at most this much (in quarters) after the one before ends follows it
// without a rest: files written by a sequencer often end each note a little early.
constexpr double kJoinQuarters = 1.0 / 8.0;

// A quarter note's length at tick, in seconds (a SMPTE time base counts none: 120 a minute).
double QuarterSeconds(const MidiFile& file, uint64_t tick) {
  if (file.smpteTicksPerSecond > 0.0) return 0.5;
  uint32_t microseconds = 500000;
  for (const TempoChange& tempo : file.tempos)
    if (tempo.tick <= tick) microseconds = tempo.microsecondsPerQuarter;
  return microseconds / 1e6;
}

struct Note {
  size_t on = 0;
  size_t off = SungEvent::kNone;  // none: the file ends with the note held
  double start = 0.0, end = 0.0;  // seconds
  uint8_t key = 0;
  uint8_t channel = 0;
  bool melody = false;  // sung, and alone at its tick (a chord's notes neither join nor glide)
  bool joined = false;  // follows the melody note before without a rest
  bool legato = false;  // carries the note before on
  bool merged = false;  // on the key of the note before: the two are one
  double until = 0.0;   // where the sound it starts ends (the last note merged into it)
};

// The note-ons of the file, each with its note-off (the first on its channel and key).
std::vector<Note> NotesOf(const MidiFile& file, const std::vector<std::optional<Syllable>>& sung) {
  std::vector<Note> notes;
  std::map<std::pair<uint8_t, uint8_t>, std::deque<size_t>> open;  // channel and key: notes not yet ended
  std::map<uint64_t, int> sungAt;                                  // sung note-ons per tick
  const double fileEnd = file.SecondsAt(file.LastTick());
  for (size_t k = 0; k < file.events.size(); ++k) {
    const MidiFileEvent& e = file.events[k];
    const std::pair<uint8_t, uint8_t> where{static_cast<uint8_t>(e.status & 0x0F), e.data1};
    if (e.IsNoteOn()) {
      Note note;
      note.on = k;
      note.start = file.SecondsAt(e.tick);
      note.end = fileEnd;
      note.key = e.data1;
      note.channel = where.first;
      note.melody = sung[k].has_value();
      if (note.melody) ++sungAt[e.tick];
      open[where].push_back(notes.size());
      notes.push_back(note);
    } else if (e.IsNoteOff() && !open[where].empty()) {
      Note& note = notes[open[where].front()];
      open[where].pop_front();
      note.off = k;
      note.end = file.SecondsAt(e.tick);
    }
  }
  for (Note& note : notes) note.melody = note.melody && sungAt[file.events[note.on].tick] == 1;
  return notes;
}

}  // namespace

std::vector<SungEvent> PlanSinging(const MidiFile& file, const std::vector<std::optional<Syllable>>& sung,
                                   const std::vector<bool>& holds, const Singing& singing) {
  std::vector<SungEvent> plan(file.events.size());
  if (!singing.legato && !singing.portamento && !singing.vibrato) return plan;
  std::vector<Note> notes = NotesOf(file, sung);
  if (std::none_of(notes.begin(), notes.end(), [](const Note& note) { return note.melody; })) return plan;

  // A note glides from the melody note before it, whatever other notes (of another track)
  // started between; it carries that note on only when none did, as the instrument carries
  // on the note it started last.
  std::vector<size_t> from(notes.size(), SungEvent::kNone);
  size_t melody = SungEvent::kNone;
  for (size_t i = 0; i < notes.size(); ++i) {
    Note& note = notes[i];
    if (!note.melody) continue;
    from[i] = melody;
    melody = i;
    if (from[i] == SungEvent::kNone) continue;
    const Note& before = notes[from[i]];
    if (before.off == SungEvent::kNone || !(before.start < note.start)) continue;
    const uint64_t tick = file.events[note.on].tick;
    note.joined = before.end + kJoinQuarters * QuarterSeconds(file, tick) >= note.start;
    note.legato = singing.legato && note.joined && holds[note.on] && from[i] == i - 1;
    note.merged = note.legato && before.key == note.key && before.channel == note.channel;
  }
  for (size_t i = notes.size(); i-- > 0;)
    notes[i].until = i + 1 < notes.size() && notes[i + 1].merged ? notes[i + 1].until : notes[i].end;

  bool legato = false, portamento = false;
  int32_t glideTime = -1, depth = -1, delay = -1;
  for (size_t i = 0; i < notes.size(); ++i) {
    const Note& note = notes[i];
    SungEvent& event = plan[note.on];
    if (note.merged) {
      event.dropped = true;
      plan[notes[i - 1].off].dropped = true;
      continue;
    }
    const auto send = [&](int32_t controller, int32_t value) {
      event.controllers.push_back({static_cast<uint8_t>(midi::kControlChange | note.channel),
                                   static_cast<uint8_t>(controller), static_cast<uint8_t>(std::clamp(value, 0, 127))});
    };
    if (note.legato) {
      event.keepsProgram = true;
      event.releases = notes[i - 1].off;
      plan[notes[i - 1].off].moved = true;
    }
    if (note.legato != legato) send(midi::kLegato, note.legato ? 127 : 0);
    legato = note.legato;
    if (singing.portamento) {
      if (!portamento) send(midi::kPortamento, 127);
      portamento = true;
      if (note.joined) {
        // The square law of controller 5, inverted: 127 times the root of the seconds.
        const double seconds = kGlideQuarters * QuarterSeconds(file, file.events[note.on].tick);
        const auto time = static_cast<int32_t>(std::lround(127.0 * std::sqrt(seconds)));
        if (time != glideTime) send(midi::kPortamentoTime, time);
        glideTime = time;
      }
      // From the melody note before, even where the note started last is another.
      send(midi::kPortamentoFrom, note.joined ? notes[from[i]].key : note.key);
    }
    if (singing.vibrato && note.melody) {
      if (depth < 0) send(midi::kVibratoRate, kVibratoRate);
      const double length = note.until - note.start;
      const int32_t wanted = length > kLongNoteSeconds ? kVibratoDepth : 0;
      if (wanted != depth) send(midi::kModulationWheel, wanted);
      depth = wanted;
      const auto onset =
          std::min<int32_t>(127, static_cast<int32_t>(std::lround(length * kVibratoOnset / VibratoDelaySeconds(1))));
      if (wanted > 0 && onset != delay) {
        send(midi::kVibratoDelay, onset);
        delay = onset;
      }
    }
  }
  return plan;
}

}  // namespace chantera::render
