// Standard MIDI File reading: formats 0 and 1, running status, tempo changes, meta and
// SysEx events. Every event is kept with its absolute tick; a tempo map turns ticks into
// seconds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/midi_protocol.h"

namespace chantera::render {

// The meta events' types the tools read and write.
inline constexpr uint8_t kMetaText = 0x01;
inline constexpr uint8_t kMetaTrackName = 0x03;
inline constexpr uint8_t kMetaLyric = 0x05;
inline constexpr uint8_t kMetaEndOfTrack = 0x2F;
inline constexpr uint8_t kMetaTempo = 0x51;

// How many data bytes follow a channel message's status: one for a program change and
// channel pressure (0xC0, 0xD0), two for the others.
constexpr int DataBytes(uint8_t status) {
  const int type = status & 0xF0;
  return type == 0xC0 || type == 0xD0 ? 1 : 2;
}

struct MidiFileEvent {
  enum Kind : uint8_t { kChannel, kMeta, kSysEx };
  uint64_t tick = 0;
  uint32_t track = 0;
  Kind kind = kChannel;
  uint8_t status = 0;  // channel messages: the status byte; meta: its type
  uint8_t data1 = 0;
  uint8_t data2 = 0;
  std::string bytes;  // meta and SysEx payload

  bool IsNoteOn() const { return kind == kChannel && (status & 0xF0) == midi::kNoteOn && data2 != 0; }
  // A note-off, or a note-on of velocity 0.
  bool IsNoteOff() const {
    return kind == kChannel && ((status & 0xF0) == midi::kNoteOff || ((status & 0xF0) == midi::kNoteOn && data2 == 0));
  }
};

struct TempoChange {
  uint64_t tick = 0;
  uint32_t microsecondsPerQuarter = 500000;
};

class MidiFile {
 public:
  // Parses a whole file image. On failure returns false and says what is wrong and where.
  bool Parse(const uint8_t* data, size_t size, std::string& error);
  // Reads and parses a file; errors name the file.
  bool Read(const std::string& path, std::string& error);

  // Seconds from the start of the song to tick, through the tempo map (or the SMPTE
  // time base).
  double SecondsAt(uint64_t tick) const;
  uint64_t LastTick() const { return events.empty() ? 0 : events.back().tick; }

  int format = 0;
  uint16_t division = 480;  // as stored in the header
  int trackCount = 0;
  int ticksPerQuarter = 480;         // when the time base is metrical
  double smpteTicksPerSecond = 0.0;  // when the time base is SMPTE (frames × ticks per frame)
  // All tracks merged, ordered by tick; events on the same tick keep the order of their
  // tracks and, within a track, of the file.
  std::vector<MidiFileEvent> events;
  std::vector<TempoChange> tempos;  // ordered by tick, the first at tick 0
};

}  // namespace chantera::render
