#include "engine/beat_timing.h"

#include <algorithm>

namespace chantera {

NoteOnBeat PlaceNote(double preutterance, double overlap, int64_t now, int64_t latency,
                     const PreviousNote& previous) noexcept {
  NoteOnBeat placed;
  double p = std::max(preutterance, 0.0);
  double o = std::clamp(overlap, 0.0, p);
  // Shortens the preutterance to `to`, the overlap in proportion.
  const auto shorten = [&p, &o](double to) noexcept {
    if (!(to < p)) return;
    o = p > 0.0 ? o * (to / p) : 0.0;
    p = std::max(to, 0.0);
  };
  // The latency bounds everything: a recording played well below its root note may be
  // slower than the latency allows.
  shorten(static_cast<double>(latency));
  if (previous.exists && previous.start < now) {
    const int64_t end = previous.end < 0 ? now : std::min(previous.end, now);
    const auto gap = static_cast<double>(now - end);
    if (gap <= 0.0) {
      // Touching or overlapping: the consonant takes at most half of the note before.
      const double half = static_cast<double>(now - previous.start) / 2.0;
      if (p - o > half) {
        const double k = half / (p - o);
        p *= k;
        o *= k;
      }
      placed.fadePrevious = true;
    } else if (gap < p) {
      shorten(gap);  // the consonant starts when the note before ends
    }
  }
  placed.preutterance = p;
  placed.overlap = o;
  return placed;
}

bool DelayedMessages::Push(const Message& message) noexcept {
  if (count_ == kCapacity) return false;
  ring_[(head_ + count_) % kCapacity] = message;
  ++count_;
  return true;
}

const DelayedMessages::Message* DelayedMessages::PopDue(int64_t now) noexcept {
  if (count_ == 0 || ring_[head_].due > now) return nullptr;
  const Message* message = &ring_[head_];
  head_ = (head_ + 1) % kCapacity;
  --count_;
  return message;
}

}  // namespace chantera
