#include "engine/event_queue.h"

#include <new>

namespace chantera {

EventQueue::EventQueue()
    : eventCapacity(kInitialCapacity), events(new MidiEvent[static_cast<size_t>(kInitialCapacity)]) {}

void EventQueue::Begin(int32_t totalEvents) noexcept {
  eventReadIndex = 0;
  blockFramesDone = 0;
  eventCount = 0;
  if (totalEvents <= 0 || eventCapacity >= totalEvents) return;
  // The one allocation on the audio path: only when a block brings more events than any
  // block before. Nothing is carried over, and the storage never shrinks.
  std::unique_ptr<MidiEvent[]> grown(new (std::nothrow) MidiEvent[static_cast<size_t>(totalEvents)]);
  if (!grown) return;  // this block's events are dropped; the old storage stays
  events = std::move(grown);
  eventCapacity = totalEvents;
}

void EventQueue::Push(const MidiEvent& event) noexcept {
  if (eventCount >= eventCapacity) return;
  events[static_cast<size_t>(eventCount++)] = event;
}

}  // namespace chantera
