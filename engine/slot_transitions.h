// What a note slot plays besides its own recording from start to end: the crossover of
// two recordings under a held note, the fade-out ahead of an overlapping note, a slot
// whose recording cannot be read, and the band-limited reading of Quality "high".
// For the note slots' sources only. Thread: audio thread only.
#pragma once

#include <cstdint>

#include "engine/note_slots.h"
#include "engine/sinc_kernel.h"
#include "engine/slot_kernels.h"
#include "library/sample.h"

namespace chantera::slot_kernels {

// One recording of a crossover, read at fractional positions through GetValue's bounds
// checks (or the band-limited kernel for Quality high): the crossover lasts a few
// milliseconds, so a plain per-frame reader serves.
struct CrossoverVoice {
  const Sample* sample;  // null: it adds nothing
  double step;
  bool looping;  // the note is held and the sample has a loop
  bool high = false;
  SincSource source{};  // what the band-limited kernel reads, when high

  CrossoverVoice(const Sample* s, double st, bool loop, Quality quality) noexcept
      : sample(s), step(st), looping(loop), high(quality == Quality::kHigh && s != nullptr) {
    if (high) source = SincSourceOf(*s, looping);
  }

  void Enter(double& position) const noexcept {
    if (looping && position >= sample->LoopEnd())
      position = WrapIntoLoop(position, sample->LoopStart(), sample->LoopEnd());
  }
  double Value(double position, int channel) const noexcept {
    if (sample == nullptr) return 0.0;
    if (high) return SincValue(source, position, step, static_cast<uint32_t>(channel));
    const auto i = static_cast<uint32_t>(static_cast<int64_t>(position));
    const double frac = position - static_cast<double>(i);
    const uint32_t next = looping && i + 1 >= sample->LoopEnd() ? sample->LoopStart() : i + 1;
    const int32_t a = sample->GetValue(i, channel);
    const int32_t b = sample->GetValue(next, channel);
    return a + (b - a) * frac;
  }
  void Advance(double& position) const noexcept {
    if (sample == nullptr) return;
    position += step;
    Enter(position);
  }
};

// Renders frames [f, end) of a slot fading out ahead of the note that overlaps it: its
// level falls linearly to 0 over fadeOutLength frames (a release under way goes on too),
// then the slot ends. A crossover under way is dropped for it: the fade lasts some tens
// of milliseconds and the note is on its way out.
void RenderFadeOut(NoteSlot& slot, const CrossoverVoice& voice, const SlotRender& r, float* left, float* right,
                   int32_t f, int32_t end) noexcept;

// Renders frames [f, end) of a slot with the band-limited kernel (Quality high): the
// release envelope, the loop's wrap and the end of the data as the linear kernels have
// them, each value read by SincValue. Past the end, once the kernel's window reads only
// zeros, the frames add nothing.
void RenderSlotHigh(NoteSlot& slot, const Sample& sample, bool looping, const SlotRender& r, float* left, float* right,
                    int32_t f, int32_t end) noexcept;

// Renders count frames from f of a slot in a crossover: the outgoing recording fades out
// from its own position while the incoming one fades in at the note's position, and the
// release envelope (if the note was released meanwhile) runs as usual. Returns false when
// the release ends the slot.
bool RenderCrossover(NoteSlot& slot, const CrossoverVoice& incoming, const CrossoverVoice& outgoing,
                     const SlotRender& r, int32_t fadeLength, float* left, float* right, int32_t f,
                     int32_t count) noexcept;

// True when the key map gives a held note another recording than the one it plays (a
// program change under it, a voice switch). A note whose note-off or fade is on its way
// keeps its recording: the key map may already be the next note's.
bool RecordingChangeWaits(const NoteSlot& slot, int32_t mapped) noexcept;

// The recording a slot plays this stretch, from the key map's (mapped): a new note takes
// it; a held note whose recording changes starts a crossover (or turns one under way
// round when the change goes back to the recording fading out); a third recording during
// a crossover waits for it to end; a released note keeps its recording to its end.
void FollowKeyMap(NoteSlot& slot, int32_t mapped, int32_t crossoverFrames) noexcept;

// The recording that plays a held note from here on is index; the one it played fades
// out over crossoverFrames from its own position.
void StartCrossover(NoteSlot& slot, int32_t index, int32_t crossoverFrames) noexcept;

// A slot whose sample cannot be read this stretch (root frequency 0.0: a reload, a loader
// that has finished nothing yet, an empty bank slot): silent, its position stays where it
// is, and a release runs its course.
void RenderSilentSlot(NoteSlot& slot, const SlotRender& r, int32_t n) noexcept;

}  // namespace chantera::slot_kernels
