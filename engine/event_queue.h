// The MIDI events of one audio block, in the host's order, each handed out at its own
// frame while the block is rendered.
//
// Events that are late (they lay past the end of the last rendered block when a new list
// came) stand first in the queue and are handed out at the first frame of the next
// block, before that block's own events.
//
// The storage is made once, at construction; nothing here allocates. Should it ever fill
// (one gigantic list, or many lists with no block rendered between them), what is lost
// is never a release: see Push.
// Thread: construction on a control thread; everything else on the audio thread only
// (processEvents, then processReplacing).
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
  // Records the storage holds: queued events of every kind together. 16384 records of 8
  // bytes: over ten seconds of a MIDI cable at full speed (about a thousand three-byte
  // messages a second), for a host that hands over many lists before it renders.
  static constexpr int32_t kCapacity = 16384;
  // One record for each key and one for all keys: releases that can differ in effect.
  static constexpr int32_t kReleaseRoom = 129;

  // Allocates the storage. Control thread (the instrument's construction).
  EventQueue();

  // Starts a new block's list: the events still queued are kept, in their order, before
  // the new ones (late, once frames were rendered since the last list); the frame count
  // starts again from 0.
  void Begin() noexcept;
  // Appends one MIDI event of the list begun last. Releases (note-offs, note-ons of
  // velocity 0, controllers 120 and 123) are never lost: one lost would leave a note
  // sounding for ever on a looped recording. The last kReleaseRoom records are kept for
  // releases, so a full storage ends in releases only; of those and a new one,
  // two release the same key (or all keys) with nothing between them that could start a
  // note, and the later of the two, a no-op, gives way. So once the storage is within
  // kReleaseRoom records of full, the newest events that do not release notes are
  // dropped (notes that would start, controller and pitch-bend changes), and releases
  // never are. droppedEvents counts the records not kept.
  void Push(const MidiEvent& event) noexcept;

  // The next event to hand out, or null.
  const MidiEvent* Pending() const noexcept {
    return eventReadIndex < eventCount ? &events[static_cast<size_t>(eventReadIndex)] : nullptr;
  }
  // The pending event came with an earlier block: it is due at once.
  bool PendingIsLate() const noexcept { return eventReadIndex < lateCount; }
  void Advance() noexcept { ++eventReadIndex; }

  int32_t eventCount = 0;
  int32_t eventReadIndex = 0;
  int32_t lateCount = 0;  // records [0, lateCount) came with earlier blocks
  // Frames rendered since the last Begin; 64-bit, since a host that never sends events
  // lets it count for hours.
  int64_t blockFramesDone = 0;
  int64_t droppedEvents = 0;  // events lost to a full storage, since construction
  std::unique_ptr<MidiEvent[]> events;

 private:
  // Moves the records not yet handed out to the front.
  void Compact() noexcept;
  // A full storage: drops the later of two equal releases among its last kReleaseRoom
  // records and the new one. False when the new one is that later release.
  bool MakeRoomForRelease(const MidiEvent& release) noexcept;
};

}  // namespace chantera
