#include "engine/event_queue.h"

#include <algorithm>
#include <bitset>

namespace chantera {

namespace {
// What a release acts on: its key (0..127), or 128 for all keys (controllers 120 and 123
// both end every held note). Two releases of one kind with only releases between them:
// the second finds nothing left to release.
constexpr int32_t kAllKeys = 128;
int32_t ReleaseKind(const MidiEvent& event) noexcept {
  return (event.status & 0xF0) == 0xB0 ? kAllKeys : event.data1 & 0x7F;
}

// Note-offs, note-ons of velocity 0, and controllers 120 and 123 (all sound off, all
// notes off).
bool ReleasesNotes(const MidiEvent& event) noexcept {
  switch (event.status & 0xF0) {
    case 0x80:
      return true;
    case 0x90:
      return (event.data2 & 0x7F) == 0;
    case 0xB0:
      return (event.data1 & 0x7F) == 120 || (event.data1 & 0x7F) == 123;
    default:
      return false;
  }
}
}  // namespace

EventQueue::EventQueue() : events(new MidiEvent[static_cast<size_t>(kCapacity)]) {}

void EventQueue::Compact() noexcept {
  if (eventReadIndex == 0) return;
  MidiEvent* const storage = events.get();
  std::copy(storage + eventReadIndex, storage + eventCount, storage);
  eventCount -= eventReadIndex;
  lateCount = std::max(0, lateCount - eventReadIndex);
  eventReadIndex = 0;
}

void EventQueue::Begin() noexcept {
  // Nothing is discarded. What a rendered block left (events past its end) goes first,
  // due at once. A second list before any frame was rendered belongs to the same block
  // (some hosts split a block's events over several calls): the first list's events keep
  // their frames.
  Compact();
  if (blockFramesDone > 0) lateCount = eventCount;
  blockFramesDone = 0;
}

bool EventQueue::MakeRoomForRelease(const MidiEvent& release) noexcept {
  // Records from tail on are releases only (nothing else is stored there), so among them
  // and the new one, kReleaseRoom + 1 releases of at most kReleaseRoom kinds, one kind
  // comes twice with only releases between.
  const int32_t tail = kCapacity - kReleaseRoom;
  std::bitset<kReleaseRoom> seen;
  for (int32_t i = tail; i < eventCount; ++i)
    seen.set(static_cast<size_t>(ReleaseKind(events[static_cast<size_t>(i)])));
  if (seen.test(static_cast<size_t>(ReleaseKind(release)))) return false;
  seen.reset();
  for (int32_t i = tail; i < eventCount; ++i) {
    const auto kind = static_cast<size_t>(ReleaseKind(events[static_cast<size_t>(i)]));
    if (!seen.test(kind)) {
      seen.set(kind);
      continue;
    }
    MidiEvent* const storage = events.get();
    std::copy(storage + i + 1, storage + eventCount, storage + i);
    --eventCount;
    if (i < lateCount) --lateCount;
    return true;
  }
  return false;  // not reached: the kinds cannot all differ
}

void EventQueue::Push(const MidiEvent& event) noexcept {
  if (eventReadIndex > 0 && eventCount >= kCapacity - kReleaseRoom) Compact();
  const bool release = ReleasesNotes(event);
  const int32_t limit = release ? kCapacity : kCapacity - kReleaseRoom;
  if (eventCount >= limit) {
    ++droppedEvents;  // this event, or the repeated release that gives way to it
    if (!release || !MakeRoomForRelease(event)) return;
  }
  events[static_cast<size_t>(eventCount++)] = event;
}

}  // namespace chantera
