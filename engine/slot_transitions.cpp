// What a note slot plays besides its own recording from start to end (see
// slot_transitions.h). Thread: audio thread only.
#include "engine/slot_transitions.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace chantera::slot_kernels {

void RenderFadeOut(NoteSlot& slot, const CrossoverVoice& voice, const SlotRender& r, float* left, float* right,
                   int32_t f, int32_t end) noexcept {
  double gain = r.baseGain;
  bool ended = false;
  voice.Enter(slot.position);
  for (; f < end && !ended; ++f) {
    if (slot.Releasing() && !UpdateRelease(slot, r, gain)) {
      ended = true;
      break;
    }
    const double g = gain * static_cast<double>(slot.fadeOutLeft) / (slot.fadeOutLength + 1.0);
    left[f] = static_cast<float>(left[f] + voice.Value(slot.position, 0) * g);
    right[f] = static_cast<float>(right[f] + voice.Value(slot.position, 1) * g);
    voice.Advance(slot.position);
    ended = --slot.fadeOutLeft <= 0;
  }
  if (ended) {
    slot.state = SlotState::kFree;
    slot.fadeOutLeft = 0;
  }
}

void RenderSlotHigh(NoteSlot& slot, const Sample& sample, bool looping, const SlotRender& r, float* left, float* right,
                    int32_t f, int32_t end) noexcept {
  const SincSource source = SincSourceOf(sample, looping);
  const bool stereo = source.channels == 2;
  const double silentFrom = looping ? INFINITY : static_cast<double>(source.frames) + SincReach(r.step);
  double position = slot.position;
  if (looping && position >= sample.LoopEnd()) position = WrapIntoLoop(position, sample.LoopStart(), sample.LoopEnd());
  double gain = r.baseGain;
  for (; f < end; ++f) {
    if (!slot.Releasing() && !stereo) {
      // A held note's frames inside its recording: the kernel's fast run.
      f += SincRunMono16(source, position, r.step, gain, left + f, right + f, end - f);
      if (f == end) break;
    }
    if (slot.Releasing() && !UpdateRelease(slot, r, gain)) {
      // The slot ends here; its position runs on silently to the end of the stretch.
      position += r.step * (end - f);
      break;
    }
    if (position < silentFrom) {
      const double l = SincValue(source, position, r.step, 0) * gain;
      const double rr = stereo ? SincValue(source, position, r.step, 1) * gain : l;
      left[f] = static_cast<float>(static_cast<double>(left[f]) + l);
      right[f] = static_cast<float>(static_cast<double>(right[f]) + rr);
    }
    position += r.step;
    if (looping && position >= sample.LoopEnd())
      position = WrapIntoLoop(position, sample.LoopStart(), sample.LoopEnd());
  }
  slot.position = position;
}

bool RenderCrossover(NoteSlot& slot, const CrossoverVoice& incoming, const CrossoverVoice& outgoing,
                     const SlotRender& r, int32_t fadeLength, float* left, float* right, int32_t f,
                     int32_t count) noexcept {
  double gain = r.baseGain;
  incoming.Enter(slot.position);
  outgoing.Enter(slot.fadePosition);
  for (const int32_t end = f + count; f < end; ++f) {
    if (slot.Releasing() && !UpdateRelease(slot, r, gain)) {
      slot.fadeFrames = 0;
      return false;
    }
    const double in = 1.0 - static_cast<double>(slot.fadeFrames) / (fadeLength + 1);
    const double out = 1.0 - in;
    left[f] = static_cast<float>(
        left[f] + (incoming.Value(slot.position, 0) * in + outgoing.Value(slot.fadePosition, 0) * out) * gain);
    right[f] = static_cast<float>(
        right[f] + (incoming.Value(slot.position, 1) * in + outgoing.Value(slot.fadePosition, 1) * out) * gain);
    incoming.Advance(slot.position);
    outgoing.Advance(slot.fadePosition);
    --slot.fadeFrames;
  }
  return true;
}

void StartCrossover(NoteSlot& slot, int32_t index, int32_t crossoverFrames) noexcept {
  slot.fadeIndex = slot.sampleIndex;
  slot.fadeAge = slot.sampleAge;
  slot.fadePosition = slot.position;
  slot.fadeFrames = crossoverFrames;
  slot.sampleIndex = index;
  slot.sampleAge = 0;
}

void RenderSilentSlot(NoteSlot& slot, const SlotRender& r, int32_t n) noexcept {
  if (!slot.Releasing()) return;
  double gain = 0.0;
  for (int32_t f = 0; f < n; ++f) {
    if (!UpdateRelease(slot, r, gain)) return;
  }
}

bool RecordingChangeWaits(const NoteSlot& slot, int32_t mapped) noexcept {
  return slot.Held() && slot.releaseAt < 0 && slot.fadeOutAt < 0 && slot.fadeOutLeft == 0 && mapped >= 0 &&
         (mapped != slot.sampleIndex || slot.sampleAge != 0);
}

void FollowKeyMap(NoteSlot& slot, int32_t mapped, int32_t crossoverFrames) noexcept {
  if (slot.sampleIndex < 0) {
    slot.sampleIndex = mapped;
    slot.sampleAge = 0;
    return;
  }
  if (!RecordingChangeWaits(slot, mapped)) return;
  if (slot.fadeFrames > 0 && mapped == slot.fadeIndex && slot.fadeAge == 0) {
    // Back to the recording that is fading out: the crossover turns round from where it
    // stands, each recording keeping its level of the moment.
    std::swap(slot.sampleIndex, slot.fadeIndex);
    std::swap(slot.sampleAge, slot.fadeAge);
    std::swap(slot.position, slot.fadePosition);
    slot.fadeFrames = crossoverFrames + 1 - std::min(slot.fadeFrames, crossoverFrames);
  } else if (slot.fadeFrames == 0) {
    StartCrossover(slot, mapped, crossoverFrames);
  }
  // Otherwise a third recording came during a crossover: it waits for the crossover under
  // way to end and then takes over from the recording that faded in. Dropping either of
  // the two that sound would cut it off mid-wave.
}

}  // namespace chantera::slot_kernels
