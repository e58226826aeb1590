#include "tools/render/song.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <set>

#include "engine/midi_protocol.h"
#include "tools/render/midi_writer.h"

namespace chantera::render {

namespace {

bool HasMeta(const MidiFile& file, uint8_t type) {
  for (const MidiFileEvent& e : file.events)
    if (e.kind == MidiFileEvent::kMeta && e.status == type) return true;
  return false;
}

// Where a lyric event stands, in the words of the rule's messages.
std::string PlaceOf(const MidiFile& file, const MidiFileEvent& e) {
  char place[96];
  std::snprintf(place, sizeof place, "track %u, tick %llu (%.2f s)", e.track + 1,
                static_cast<unsigned long long>(e.tick), file.SecondsAt(e.tick));
  return place;
}

}  // namespace

std::vector<std::optional<Syllable>> AssignLyrics(const MidiFile& file, LyricRule* rule, std::vector<bool>* holds) {
  std::vector<std::optional<Syllable>> sung(file.events.size());
  if (holds != nullptr) holds->assign(file.events.size(), false);
  const uint8_t lyricType = HasMeta(file, kMetaLyric) ? kMetaLyric : kMetaText;

  // The melody: the notes of the track that carries the lyrics, when it has notes;
  // otherwise every note of the file.
  std::optional<uint32_t> lyricTrack;
  for (const MidiFileEvent& e : file.events)
    if (e.kind == MidiFileEvent::kMeta && e.status == lyricType && !LyricSyllables(e.bytes).empty()) {
      lyricTrack = e.track;
      break;
    }
  if (!lyricTrack) return sung;
  bool trackHasNotes = false;
  for (const MidiFileEvent& e : file.events) trackHasNotes |= e.IsNoteOn() && e.track == *lyricTrack;

  std::vector<Syllable> pending;
  std::optional<Syllable> previous;
  size_t i = 0;
  while (i < file.events.size()) {
    const uint64_t tick = file.events[i].tick;
    size_t end = i;
    while (end < file.events.size() && file.events[end].tick == tick) ++end;
    // Lyrics of this tick come before its notes, whichever track holds them.
    for (size_t k = i; k < end; ++k) {
      const MidiFileEvent& e = file.events[k];
      if (e.kind == MidiFileEvent::kMeta && e.status == lyricType) {
        std::vector<Syllable> syllables =
            rule != nullptr ? rule->Sing(e.bytes, PlaceOf(file, e)) : LyricSyllables(e.bytes);
        if (!syllables.empty()) pending = std::move(syllables);  // a new lyric replaces one not yet sung
      }
    }
    std::optional<Syllable> chord;
    bool held = false;
    for (size_t k = i; k < end; ++k) {
      const MidiFileEvent& e = file.events[k];
      if (!e.IsNoteOn() || (trackHasNotes && e.track != *lyricTrack)) continue;
      if (!chord) {
        if (!pending.empty()) {
          chord = pending.front();
          pending.erase(pending.begin());
        } else if (previous) {
          chord = VowelOf(*previous);
          held = true;
        } else {
          continue;  // no lyric yet: the note plays the current program
        }
        previous = chord;
      }
      sung[k] = chord;
      if (holds != nullptr) (*holds)[k] = held;
    }
    i = end;
  }
  return sung;
}

Song BuildSong(const MidiFile& file, double sampleRate, bool useLyrics, LyricRule* rule, const Singing& singing) {
  Song song;
  std::vector<bool> holds;
  const std::vector<std::optional<Syllable>> sung =
      useLyrics ? AssignLyrics(file, rule, &holds) : std::vector<std::optional<Syllable>>(file.events.size());
  const std::vector<SungEvent> plan =
      useLyrics ? PlanSinging(file, sung, holds, singing) : std::vector<SungEvent>(file.events.size());
  int32_t currentProgram = -1;
  for (size_t k = 0; k < file.events.size(); ++k) {
    const MidiFileEvent& e = file.events[k];
    // Held within what a 64-bit frame count holds; the renderer refuses such songs anyway.
    const int64_t frame = std::llround(std::min(file.SecondsAt(e.tick) * sampleRate, 0x1p62));
    song.endFrame = frame;
    if (e.kind != MidiFileEvent::kChannel) continue;
    const SungEvent& planned = plan[k];
    if (e.IsNoteOn()) {
      ++song.notes;
      if (sung[k]) ++song.sungNotes;
    }
    if (planned.dropped || planned.moved) continue;
    const auto add = [&](uint8_t status, uint8_t data1, uint8_t data2) {
      TimedMessage message;
      message.frame = frame;
      message.bytes[0] = status;
      message.bytes[1] = data1;
      message.bytes[2] = data2;
      song.messages.push_back(message);
    };
    for (const std::array<uint8_t, 3>& c : planned.controllers) add(c[0], c[1], c[2]);
    if (e.IsNoteOn() && sung[k] && !planned.keepsProgram && sung[k]->program != currentProgram) {
      TimedMessage select;
      select.frame = frame;
      select.isProgram = true;
      select.program = sung[k]->program;
      song.messages.push_back(select);
      currentProgram = sung[k]->program;
    }
    add(e.status, e.data1, e.data2);
    if (planned.releases != SungEvent::kNone) {
      const MidiFileEvent& off = file.events[planned.releases];
      add(off.status, off.data1, off.data2);
    }
  }
  // A host selects programs between process calls: among the messages of one frame the
  // selection comes first. Nothing sounds between messages of the same frame, so only a
  // volume or pitch-bend-range controller on that very frame could tell the difference.
  std::stable_sort(song.messages.begin(), song.messages.end(), [](const TimedMessage& a, const TimedMessage& b) {
    return a.frame < b.frame || (a.frame == b.frame && a.isProgram && !b.isProgram);
  });
  return song;
}

std::string PhoneticMidi(const MidiFile& file, LyricRule* rule) {
  const std::vector<std::optional<Syllable>> sung = AssignLyrics(file, rule);
  MidiWriter out;
  for (size_t k = 0; k < file.events.size(); ++k) {
    const MidiFileEvent& e = file.events[k];
    if (e.kind == MidiFileEvent::kMeta) {
      if (e.status != kMetaEndOfTrack) out.Meta(e.tick, e.status, e.bytes);
      continue;
    }
    if (e.kind != MidiFileEvent::kChannel) continue;
    if (!sung[k]) {
      out.Channel(e.tick, e.status, e.data1, e.data2);
      continue;
    }
    std::string symbol;
    for (char c : sung[k]->phoneme)
      if (c != ' ') symbol.push_back(c);
    const midi::PhoneticNote note = midi::EncodePhoneticNote(e.data1, symbol, e.status & 0x0F);
    for (size_t m = 0; m < note.count; ++m)
      out.Channel(e.tick, note.messages[m].status, note.messages[m].data1, note.messages[m].data2);
  }
  return out.Finish(file.division);
}

}  // namespace chantera::render
