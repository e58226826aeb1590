// The MIDI events of one audio block, in the host's order, each handed out at its own
// frame while the block is rendered.
// Thread: audio thread only (processEvents, then processReplacing).
#pragma once

#include <cstdint>
#include <memory>

namespace chantera {

struct MidiEvent {
  int32_t deltaFrames = 0;  // frame offset from the start of the block it came with
  uint8_t status = 0;
  uint8_t data1 = 0;
  uint8_t data2 = 0;
};

class EventQueue {
 public:
  static constexpr int32_t kInitialCapacity = 16;

  EventQueue();

  // Starts a new block's list of totalEvents events (all types, MIDI or not): resets the
  // counters, discarding what was left, and grows the storage to exactly totalEvents
  // records when it is smaller. The storage never shrinks. This is the only allocation on
  // the audio path, and only when a block brings more events than any before; if it
  // fails the block's events are dropped. noexcept: an allocation failure is not thrown.
  void Begin(int32_t totalEvents) noexcept;
  // Appends one MIDI event of the list begun last; dropped when the storage is full.
  void Push(const MidiEvent& event) noexcept;

  // The next event to hand out, or null.
  const MidiEvent* Pending() const noexcept {
    return eventReadIndex < eventCount ? &events[static_cast<size_t>(eventReadIndex)] : nullptr;
  }
  void Advance() noexcept { ++eventReadIndex; }

  int32_t eventCapacity = 0;
  int32_t eventCount = 0;
  int32_t eventReadIndex = 0;
  // Frames rendered since the last Begin; 64-bit, since a host that never sends events
  // lets it count for hours.
  int64_t blockFramesDone = 0;
  std::unique_ptr<MidiEvent[]> events;
};

}  // namespace chantera
