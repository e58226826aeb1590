// Note slots and the rendering of one stretch.
//
// Each slot's sample is resolved once per stretch (the key map snapshot, the loader flags
// and the bank cannot change while the stretch renders), and the frame loop is a
// specialised kernel per data layout that reads pcm directly. A kernel walks three
// regions of the sample in turn, since the position only grows:
//   1. both interpolation partners inside the readable frames: two direct reads;
//   2. the last readable frame: its right-hand partner reads 0;
//   3. past the end: every value reads 0, so the frame adds nothing.
// Every output value is bit for bit what the per-fetch formula gives:
//   out[f] = float(double(out[f]) + (a + (b - a) * frac) * gain).
// Frames of region 3 add (0 + 0 * frac) * gain, a zero of gain's sign: no arithmetic is
// needed there beyond turning a -0.0 output into +0.0 when gain is positive.
//
// Which recording a slot plays: the key map's when the note starts. A released note keeps
// it to its end, whatever program or voice is selected meanwhile. A held note follows the
// key map, but when the map gives its key another recording (a program change under the
// note, or a voice switch: the recording then lies in an older voice's bank) the two
// cross over in kCrossoverSeconds instead of jumping, each at its own position. Notes
// whose recordings never change under them render exactly as the formula above says.
//
// A held note on a sample with a sustain loop wraps at the loop's end: the seam was made
// smooth when the sample loaded, so the kernel only moves the position. After the release
// the note plays on through the loop's end to the end of the data.
// Thread: audio thread only.
#include "engine/note_slots.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <type_traits>
#include <utility>

#include "engine/expression.h"
#include "engine/held_voices.h"
#include "engine/sinc_kernel.h"
#include "engine/slot_kernels.h"
#include "engine/slot_transitions.h"
#include "library/sample.h"
#include "library/sample_bank.h"
#include "platform/bytes.h"

namespace chantera {

using namespace slot_kernels;

namespace {

constexpr double kPitchBendScale = 1.0 / 8192.0;      // 0.0001220703125
constexpr double kGainScale = 2.402958907480315e-07;  // 1 / (127 × 32768)

}  // namespace

int32_t NoteSlots::StartNote(int32_t key, int32_t velocity) noexcept {
  for (size_t index = 0; index < slots.size(); ++index) {
    NoteSlot& slot = slots[index];
    if (slot.Sounding()) continue;
    slot.state = SlotState::kHeld;
    slot.key = key;
    slot.velocity = velocity;
    slot.position = 0.0;
    slot.sampleIndex = -1;
    slot.fadeFrames = 0;
    slot.sampleAge = 0;
    slot.fadeAge = 0;
    slot.startAt = slot.releaseAt = slot.fadeOutAt = -1;
    slot.releaseAtOnce = false;
    slot.fadeOutLength = slot.fadeOutLeft = 0;
    slot.pitchOffset = slot.glideFrom = slot.vibratoSin = 0.0;
    slot.pitchRatio = slot.vibratoCos = 1.0;
    slot.glideFrames = slot.glideDone = slot.vibratoDelay = 0;
    slot.vibratoAge = 0;
    slot.retuneAt = -1;
    return static_cast<int32_t>(index);
  }
  // Every slot held or releasing: the note is dropped; no slot is stolen.
  return -1;
}

void NoteSlots::ScheduleRelease(int32_t key, int64_t at) noexcept {
  for (NoteSlot& slot : slots) {
    if (!slot.Held() || slot.releaseAt >= 0 || (key != -1 && slot.HeldKey() != key)) continue;
    slot.releaseAt = at;
    slot.releaseAtOnce = key == -1;
  }
}

void NoteSlots::ApplyDue(int64_t now) noexcept {
  for (NoteSlot& slot : slots) {
    if (!slot.Sounding()) continue;
    if (slot.startAt >= 0 && slot.startAt <= now) slot.startAt = -1;
    if (slot.retuneAt >= 0 && slot.retuneAt <= now) {
      slot.retuneAt = -1;
      Retune(slot, slot.retuneKey, slot.retuneGlide);
    }
    if (slot.fadeOutAt >= 0 && slot.fadeOutAt <= now) {
      // The fade ends the note: its own note-off, still to come, has nothing left to do.
      slot.fadeOutAt = -1;
      slot.fadeOutLeft = std::max(slot.fadeOutLength, 1);
      slot.releaseAt = -1;
    }
    if (slot.releaseAt >= 0 && slot.releaseAt <= now) {
      slot.releaseAt = -1;
      if (slot.Held()) {
        slot.state = slot.releaseAtOnce ? SlotState::kFree : SlotState::kReleasing;
        if (!slot.releaseAtOnce) slot.level = 1.0;
      }
    }
  }
}

void NoteSlots::Retune(NoteSlot& slot, int32_t key, int32_t glideFrames) noexcept {
  slot.glideFrom = glideFrames > 0 ? slot.key + slot.pitchOffset - key : 0.0;
  slot.glideFrames = glideFrames;
  slot.glideDone = 0;
  slot.key = key;
  slot.vibratoAge = 0;  // a new note: its vibrato waits its delay again
}

bool NoteSlots::Modulate(const Modulation& modulation) noexcept {
  bool any = false;
  for (NoteSlot& slot : slots) {
    if (!slot.Sounding() || slot.startAt >= 0) continue;
    double offset = 0.0;
    if (slot.glideDone < slot.glideFrames) {
      // A smooth step: slow away, fast through the middle (reached at half the time), slow in.
      const double x = static_cast<double>(slot.glideDone) / slot.glideFrames;
      offset = slot.glideFrom * (1.0 - x * x * (3.0 - 2.0 * x));
      any = true;
    }
    if (modulation.vibratoDepth > 0.0) {
      any = true;
      const int64_t since = slot.vibratoAge - slot.vibratoDelay;
      if (since > 0) {
        const double fade = std::min(1.0, static_cast<double>(since) / modulation.vibratoFade);
        offset += modulation.vibratoDepth * fade * slot.vibratoSin;
      }
    }
    if (offset != slot.pitchOffset) {
      slot.pitchOffset = offset;
      slot.pitchRatio = std::exp2(offset / 12.0);
    }
  }
  return any;
}

void NoteSlots::RenderModulated(float* left, float* right, int32_t firstFrame, int32_t n, const StretchContext& context,
                                const Modulation& modulation) noexcept {
  while (n > 0) {
    const int32_t head = Modulate(modulation) ? std::min(n, kPitchControlFrames) : n;
    RenderStretch(left, right, firstFrame, head, context);
    Advance(head, modulation);
    firstFrame += head;
    n -= head;
  }
}

bool NoteSlots::Audible() const noexcept {
  for (const NoteSlot& slot : slots)
    if (slot.Sounding() && slot.startAt < 0) return true;
  return false;
}

void NoteSlots::Advance(int32_t frames, const Modulation& modulation) noexcept {
  double turnCos = 1.0, turnSin = 0.0;  // the vibrato's turn over these frames, for every slot
  if (modulation.vibratoDepth > 0.0) {
    const double angle = 2.0 * std::numbers::pi * modulation.vibratoStep * frames;
    turnCos = std::cos(angle);
    turnSin = std::sin(angle);
  }
  for (NoteSlot& slot : slots) {
    if (!slot.Sounding() || slot.startAt >= 0) continue;
    if (slot.glideDone < slot.glideFrames) slot.glideDone = std::min(slot.glideFrames, slot.glideDone + frames);
    if (slot.vibratoAge - slot.vibratoDelay > 0 && turnSin != 0.0) {
      const double c = slot.vibratoCos * turnCos - slot.vibratoSin * turnSin;
      const double s = slot.vibratoSin * turnCos + slot.vibratoCos * turnSin;
      const double keep = (3.0 - (c * c + s * s)) / 2.0;  // stays on the circle
      slot.vibratoCos = c * keep;
      slot.vibratoSin = s * keep;
    }
    slot.vibratoAge += frames;
  }
}

int64_t NoteSlots::NextDue() const noexcept {
  int64_t next = INT64_MAX;
  for (const NoteSlot& slot : slots) {
    if (!slot.Sounding()) continue;
    for (const int64_t at : {slot.startAt, slot.releaseAt, slot.fadeOutAt, slot.retuneAt})
      if (at >= 0) next = std::min(next, at);
  }
  return next;
}

void NoteSlots::AgeVoices() noexcept {
  for (NoteSlot& slot : slots) {
    if (!slot.Sounding()) continue;
    // A note that has not rendered yet takes the new voice's recording at its first
    // stretch; the others keep theirs, from a bank one age older now.
    if (slot.sampleIndex >= 0) ++slot.sampleAge;
    if (slot.fadeFrames > 0) ++slot.fadeAge;
    if (slot.sampleAge >= kVoiceAges) {
      // The oldest voice is let go: a note still fading on it (after several switches
      // within its release) ends here.
      slot.state = SlotState::kFree;
      slot.fadeFrames = 0;
    } else if (slot.fadeFrames > 0 && slot.fadeAge >= kVoiceAges) {
      slot.fadeFrames = 0;  // the recording it crossed over from goes with that voice
    }
  }
}

bool NoteSlots::PlaysVoice(int age) const noexcept {
  for (const NoteSlot& slot : slots) {
    if (!slot.Sounding()) continue;
    if ((slot.sampleIndex >= 0 && slot.sampleAge == age) || (slot.fadeFrames > 0 && slot.fadeAge == age)) return true;
  }
  return false;
}

void NoteSlots::ReleaseNote(int32_t key) noexcept {
  for (NoteSlot& slot : slots) {
    if (slot.Held() && slot.key == key) {
      slot.state = SlotState::kReleasing;
      slot.level = 1.0;
    } else if (key == -1 && slot.Held()) {
      // Held slots end at once, without a release phase; releasing ones go on fading.
      slot.state = SlotState::kFree;
    }
  }
}

void NoteSlots::RenderStretch(float* left, float* right, int32_t firstFrame, int32_t n,
                              const StretchContext& context) noexcept {
  if (n <= 0 || left == nullptr || right == nullptr || firstFrame < 0) return;
  const double bend = static_cast<double>(context.pitchBendRange) * context.pitchBend * kPitchBendScale;
  const double hostRate = context.hostSampleRate;
  const int32_t end = firstFrame + n;
  const int32_t crossoverFrames = CrossoverFrames(hostRate);

  // Held notes of 16-bit mono data that stay inside their samples for the whole stretch
  // (nearly every note of a song) are rendered together by the vector kernel. A run of
  // such slots is collected in slot order and rendered before any other slot adds its
  // frames, so every output frame still receives the slots' values in slot order.
  const bool heldKernel = HeldVoiceKernelAvailable();
  HeldVoice held[kMaxHeldVoices];
  NoteSlot* heldSlots[kMaxHeldVoices];
  int heldCount = 0;
  const auto renderHeld = [&]() noexcept {
    if (heldCount == 0) return;
    RenderHeldVoices(held, heldCount, left + firstFrame, right + firstFrame, n);
    for (int k = 0; k < heldCount; ++k) heldSlots[k]->position = held[k].position;
    heldCount = 0;
  };

  for (size_t index = 0; index < slots.size(); ++index) {
    NoteSlot& slot = slots[index];
    if (!slot.Sounding() || slot.startAt >= 0) continue;  // free, or placed ahead and not yet due

    FrequencyCache& cached = frequencies_[index];
    const double note = slot.key + bend;
    if (cached.note != note) cached = {note, NoteToHz(note)};
    const double frequency = slot.pitchRatio == 1.0 ? cached.hz : cached.hz * slot.pitchRatio;

    // The recording: a new note takes the key map's; a released note keeps the one it
    // plays to its end; under a held note a change of the key map's recording (a program
    // change) starts a crossover.
    const int32_t mapped = MappedIndex(context, slot.key);
    const auto changeWaits = [&slot, mapped]() noexcept { return RecordingChangeWaits(slot, mapped); };
    FollowKeyMap(slot, mapped, crossoverFrames);
    SlotRender r;
    r.baseGain = static_cast<double>(slot.velocity) * context.volume * context.expression * kGainScale;
    r.releaseMultiplier = slot.Releasing() ? ReleaseMultiplier(context.releaseFactor, frequency, hostRate) : 1.0;
    r.releaseLimit = context.releaseLimit;
    r.readableFrames = 0;
    const Sample* sample = nullptr;
    bool looping = false;
    const auto takeRecording = [&]() noexcept {
      sample = IndexSample(context, slot.sampleIndex, slot.sampleAge);
      r.step = SampleStep(sample, frequency, hostRate);
      looping = slot.Held() && sample != nullptr && sample->HasLoop();
    };
    takeRecording();

    if (slot.fadeOutLeft > 0) {
      renderHeld();  // every output frame receives the slots in slot order
      slot.fadeFrames = 0;
      RenderFadeOut(slot, CrossoverVoice(r.step > 0.0 ? sample : nullptr, r.step, looping, context.quality), r, left,
                    right, firstFrame, end);
      continue;
    }

    int32_t f = firstFrame;
    bool slotDone = false;  // the stretch is rendered for this slot, or the slot ended
    while (slot.fadeFrames > 0 && !slotDone) {
      renderHeld();  // every output frame receives the slots in slot order
      const Sample* outgoing = IndexSample(context, slot.fadeIndex, slot.fadeAge);
      const CrossoverVoice in(r.step > 0.0 ? sample : nullptr, r.step, looping, context.quality);
      const double outStep = SampleStep(outgoing, frequency, hostRate);
      const CrossoverVoice out(outStep > 0.0 ? outgoing : nullptr, outStep,
                               slot.Held() && outgoing != nullptr && outgoing->HasLoop(), context.quality);
      const int32_t count = std::min(end - f, slot.fadeFrames);
      slotDone = !RenderCrossover(slot, in, out, r, crossoverFrames, left, right, f, count);
      f += count;
      slotDone = slotDone || f == end;
      if (!slotDone && changeWaits()) {
        StartCrossover(slot, mapped, crossoverFrames);
        takeRecording();
      }
    }
    if (slotDone) continue;
    if (sample == nullptr || !(sample->rootFrequency > 0.0) || !(r.step > 0.0)) {
      RenderSilentSlot(slot, r, end - f);
      continue;
    }
    if (context.quality == Quality::kHigh) {
      renderHeld();  // every output frame receives the slots in slot order
      RenderSlotHigh(slot, *sample, looping, r, left, right, f, end);
      continue;
    }
    r.readableFrames = sample->pcm != nullptr ? sample->ReadableFrames() : 0;
    const uint32_t limit = looping ? sample->LoopEnd() : r.readableFrames;
    const uint8_t* pcm = sample->pcm.get();
    if (heldKernel && f == firstFrame && !slot.Releasing() && pcm != nullptr && sample->bitsPerSample == 16 &&
        sample->channels == 1 && limit < 0x7FFFFFFFu && FramesInside(slot.position, r.step, limit, n) == n) {
      held[heldCount] = {slot.position, r.step, r.baseGain, pcm};
      heldSlots[heldCount++] = &slot;
      if (heldCount == kMaxHeldVoices) renderHeld();
      continue;
    }
    renderHeld();
    if (looping) {
      WithLayout(*sample, [&](const auto& data) noexcept {
        RenderHeldLoop(slot, data, r, sample->LoopStart(), sample->LoopEnd(), left, right, f, end);
      });
    } else {
      WithLayout(*sample, [&](const auto& data) noexcept { RenderSlotWithLayout(slot, data, r, left, right, f, end); });
    }
  }
  renderHeld();
}

}  // namespace chantera
