// Notes as the instrument starts and releases them, in both Timing settings: "live" plays
// each at its event's frame; "beat" places it against the reported latency so that its
// vowel sounds on the note (beat_timing.h). Thread: audio thread, inside Process.
#include <algorithm>
#include <cmath>

#include "engine/beat_timing.h"
#include "engine/sampler.h"
#include "library/sample.h"

namespace chantera {

int64_t Sampler::LatencyFrames() const noexcept {
  if (!timingBeat_.load(std::memory_order_relaxed) || !(latencySeconds_ > 0.0)) return 0;
  return std::llround(latencySeconds_ * hostSampleRate_.load(std::memory_order_relaxed));
}

void Sampler::StartNote(int32_t key, int32_t velocity) noexcept {
  const int32_t index = slots_.StartNote(key, velocity);
  const PreviousNote previous = previous_;
  const int32_t previousSlot = previousSlot_;
  previous_ = {index >= 0, now_, -1};
  previousSlot_ = index;
  const int64_t latency = LatencyFrames();
  if (index < 0 || latency == 0) return;

  // The recording is chosen now, from the key map that the events before this one made;
  // the note sounds later.
  NoteSlot& slot = slots_.slots[static_cast<size_t>(index)];
  const StretchContext context = Context();
  slot.sampleIndex = MappedIndex(context, key);
  slot.sampleAge = 0;
  const Sample* sample = slot.sampleIndex >= 0 ? IndexSample(context, slot.sampleIndex) : nullptr;
  double step = 0.0;
  double preutterance = 0.0;
  double overlap = 0.0;
  if (sample != nullptr && sample->timing.known) {
    const double bend = static_cast<double>(context.pitchBendRange) * context.pitchBend / 8192.0;
    step = SampleStep(sample, NoteToHz(key + bend), context.hostSampleRate);
    if (step > 0.0) {
      preutterance = sample->timing.preutterance / step;
      overlap = sample->timing.overlap / step;
    }
  }
  const NoteOnBeat placed = PlaceNote(preutterance, overlap, now_, latency, previous);
  slot.startAt = now_ + latency - std::llround(placed.preutterance);
  if (step > 0.0) {
    // The head before a shortened preutterance is skipped: the vowel stays where it is.
    const double skipped = sample->timing.preutterance - placed.preutterance * step;
    slot.position = sample->timing.offset + std::max(skipped, 0.0);
  }
  if (placed.fadePrevious && previousSlot >= 0 && previousSlot != index) {
    NoteSlot& before = slots_.slots[static_cast<size_t>(previousSlot)];
    if (before.Sounding() && before.fadeOutLeft == 0) {
      // At least a crossover's length: a note cut dead clicks.
      before.fadeOutAt = std::max(slot.startAt, before.startAt);
      before.fadeOutLength =
          std::max(CrossoverFrames(context.hostSampleRate), static_cast<int32_t>(std::lround(placed.overlap)));
    }
  }
}

void Sampler::ReleaseNote(int32_t key) noexcept {
  if (previous_.exists && previous_.end < 0 && previousSlot_ >= 0 &&
      (key == -1 || slots_.slots[static_cast<size_t>(previousSlot_)].key == key))
    previous_.end = now_;
  const int64_t latency = LatencyFrames();
  if (latency == 0)
    slots_.ReleaseNote(key);
  else
    slots_.ScheduleRelease(key, now_ + latency);
}

}  // namespace chantera
