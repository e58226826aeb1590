// Standard MIDI File reading: formats 0 and 1, running status, tempo changes, meta and
// SysEx events. Every event is kept with its absolute tick; a tempo map turns ticks into
// seconds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chantera::render {

struct MidiFileEvent {
  enum Kind : uint8_t { kChannel, kMeta, kSysEx };
  uint64_t tick = 0;
  uint32_t track = 0;
  Kind kind = kChannel;
  uint8_t status = 0;  // channel messages: the status byte; meta: its type
  uint8_t data1 = 0;
  uint8_t data2 = 0;
  std::string bytes;  // meta and SysEx payload
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
