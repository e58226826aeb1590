// Timing "beat": each syllable's vowel on its note. The instrument reports a fixed latency
// L (the longest preutterance of its voice library, at most kLargestLatencySeconds) and
// delays what it plays by L, but starts each note's recording L - P frames after its
// note-on, P being the recording's preutterance at the note's pitch: after the host's delay
// compensation the consonant sounds before the note and the vowel falls exactly on it.
// Controllers that shape the sound (volume, expression, pitch bend) are delayed by L too,
// so they stay where they were put against the notes.
//
// A note that follows another closely is placed by the rules UTAU editors use (UTAU,
// OpenUtau): for touching or overlapping notes, P - O (O: the overlap) is limited to half
// of the previous note, and a rest shorter than P limits P to the rest; O shrinks in
// proportion when P does, the head of the recording before the shortened P is skipped
// (the vowel never moves), and the previous note fades out linearly over the overlap.
// Notes that start together (a chord) are not a line: none limits another.
//
// Thread: audio thread. Nothing here allocates or waits.
#pragma once

#include <array>
#include <cstdint>

namespace chantera {

// Whatever the voices say, the instrument never delays its output by more than this.
inline constexpr double kLargestLatencySeconds = 0.5;

// Where a note falls, in frames of the host's rate.
struct NoteOnBeat {
  double preutterance = 0.0;  // recording played before the note-on (its vowel on the note)
  double overlap = 0.0;       // frames over which the previous note fades out
  bool fadePrevious = false;  // the previous note touches or overlaps this one
};

// The note before, as this instance played it: when it started and ended (end -1 while
// it is held), in frames of the instance's clock.
struct PreviousNote {
  bool exists = false;
  int64_t start = 0;
  int64_t end = -1;
};

// Places a note-on at frame now whose recording has preutterance and overlap (frames at
// the note's pitch; a negative overlap counts as 0), under a latency of latency frames.
NoteOnBeat PlaceNote(double preutterance, double overlap, int64_t now, int64_t latency,
                     const PreviousNote& previous) noexcept;

// MIDI messages held back by the latency, in the order they came, each with the frame it
// is due at. Fixed capacity: when full, a message is not held back (Push says so).
class DelayedMessages {
 public:
  struct Message {
    int64_t due;
    int32_t status, data1, data2;
  };
  bool Push(const Message& message) noexcept;
  // The oldest message if it is due by frame now (and takes it out), else null.
  const Message* PopDue(int64_t now) noexcept;
  // Frame of the oldest message (INT64_MAX: none).
  int64_t NextDue() const noexcept { return count_ > 0 ? ring_[head_].due : INT64_MAX; }

 private:
  static constexpr uint32_t kCapacity = 4096;  // about 8 messages a millisecond over 500 ms
  std::array<Message, kCapacity> ring_{};
  uint32_t head_ = 0;
  uint32_t count_ = 0;
};

}  // namespace chantera
