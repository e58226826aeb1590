// Notes as the instrument starts and releases them, in both Timing settings: "live" plays
// each at its event's frame; "beat" places it against the reported latency so that its
// vowel sounds on the note (beat_timing.h). Thread: audio thread, inside Process.
#include <algorithm>
#include <cmath>

#include "engine/beat_timing.h"
#include "engine/expression.h"
#include "engine/sampler.h"
#include "library/sample.h"

namespace chantera {

int64_t Sampler::LatencyFrames() const noexcept {
  if (!timingBeat_.load(std::memory_order_relaxed) || !(latencySeconds_ > 0.0)) return 0;
  return std::llround(latencySeconds_ * hostSampleRate_.load(std::memory_order_relaxed));
}

void Sampler::StartNote(int32_t key, int32_t velocity) noexcept {
  const int64_t latency = LatencyFrames();
  const double rate = hostSampleRate_.load(std::memory_order_relaxed);
  const int32_t glide =
      midi_.portamento ? static_cast<int32_t>(std::lround(PortamentoSeconds(midi_.portamentoTime) * rate)) : 0;
  const int32_t from = midi_.portamentoFrom >= 0 ? midi_.portamentoFrom : midi_.lastKey;
  midi_.portamentoFrom = -1;  // controller 84 names the start of one glide
  midi_.lastKey = key;
  if (midi_.legato && ContinueLegato(key, glide, latency)) return;

  const int32_t index = slots_.StartNote(key, velocity);
  const PreviousNote previous = previous_;
  const int32_t previousSlot = previousSlot_;
  previous_ = {index >= 0, now_, -1};
  previousSlot_ = index;
  if (index < 0) return;
  NoteSlot& slot = slots_.slots[static_cast<size_t>(index)];
  slot.vibratoDelay = static_cast<int32_t>(std::lround(VibratoDelaySeconds(midi_.vibratoDelay) * rate));
  if (glide > 0 && from >= 0 && from != key) {
    slot.glideFrom = from - key;
    slot.glideFrames = glide;
  }
  if (latency == 0) return;

  // The recording is chosen now, from the key map that the events before this one made;
  // the note sounds later.
  const StretchContext context = Context();
  slot.sampleIndex = MappedIndex(context, key);
  slot.sampleAge = 0;
  const Sample* sample = slot.sampleIndex >= 0 ? IndexSample(context, slot.sampleIndex) : nullptr;
  // The recording's timing in its own frames, and the step that turns them into the
  // host's at this note's pitch (none: the note starts at its recording's head, L late).
  const SampleTiming* timing = nullptr;
  double step = 0.0;
  if (sample != nullptr && sample->timing.known) {
    const double bend = static_cast<double>(context.pitchBendRange) * context.pitchBend / 8192.0;
    step = SampleStep(sample, NoteToHz(key + bend), context.hostSampleRate);
    if (step > 0.0) timing = &sample->timing;
  }
  const NoteOnBeat placed =
      timing != nullptr ? PlaceNote(timing->preutterance / step, timing->overlap / step, now_, latency, previous)
                        : PlaceNote(0.0, 0.0, now_, latency, previous);
  slot.startAt = now_ + latency - std::llround(placed.preutterance);
  if (timing != nullptr) {
    // The head before a shortened preutterance is skipped: the vowel stays where it is.
    const double skipped = timing->preutterance - placed.preutterance * step;
    slot.position = timing->offset + std::max(skipped, 0.0);
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

bool Sampler::ContinueLegato(int32_t key, int32_t glide, int64_t latency) noexcept {
  if (previousSlot_ < 0) return false;
  NoteSlot& slot = slots_.slots[static_cast<size_t>(previousSlot_)];
  // Held, and on its way out in no way: no note-off, fade or retune pending.
  if (!slot.Held() || slot.releaseAt >= 0 || slot.fadeOutAt >= 0 || slot.fadeOutLeft > 0 || slot.retuneAt >= 0)
    return false;
  // The same recording: the same syllable goes on (a new one starts as a note of its own).
  const StretchContext context = Context();
  const int32_t mapped = MappedIndex(context, key);
  const int32_t playing = slot.sampleIndex >= 0 ? slot.sampleIndex : MappedIndex(context, slot.key);
  if (mapped < 0 || mapped != playing || slot.sampleAge != 0) return false;
  if (latency == 0) {
    NoteSlots::Retune(slot, key, glide);
  } else {
    slot.retuneAt = now_ + latency;
    slot.retuneKey = key;
    slot.retuneGlide = glide;
  }
  previous_ = {true, now_, -1};
  return true;
}

void Sampler::ReleaseNote(int32_t key) noexcept {
  if (previous_.exists && previous_.end < 0 && previousSlot_ >= 0 &&
      (key == -1 || slots_.slots[static_cast<size_t>(previousSlot_)].HeldKey() == key))
    previous_.end = now_;
  const int64_t latency = LatencyFrames();
  if (latency == 0)
    slots_.ReleaseNote(key);
  else
    slots_.ScheduleRelease(key, now_ + latency);
}

}  // namespace chantera
