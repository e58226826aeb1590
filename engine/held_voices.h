// The common case of rendering, several held notes of 16-bit mono data whose whole
// stretch lies inside their samples, as one vector kernel over all of them.
//
// A note's positions form a chain of additions (position += step) that must be summed
// one by one, as the plain formula does; each addition waits for the one before. The
// kernel therefore first lays out the positions of every voice for a chunk of frames,
// with the voices' chains interleaved so that they overlap, and then does everything
// else four frames at a time: index and fraction, one 32-bit gather that fetches both
// interpolation partners, the interpolation and the gain in double, and the sums into
// the outputs, rounded to float after each voice in voice order (once for both channels
// where they hold the same values). Every output value is bit for bit what the per-frame
// formula of note_slots.cpp gives.
//
// Thread: audio thread. noexcept, allocation-free (the scratch lives on the stack).
#pragma once

#include <cstdint>

namespace chantera {

struct HeldVoice {
  double position;     // in: the first frame's position; out: after the last frame
  double step;         // added once per frame
  double gain;         // baseGain
  const uint8_t* pcm;  // 16-bit mono little-endian values
};

// Voices that the kernel takes at once (more are rendered in further calls).
inline constexpr int kMaxHeldVoices = 16;

// True when the processor runs the kernel (x86 with AVX2); otherwise callers render
// each voice with the scalar kernel.
bool HeldVoiceKernelAvailable() noexcept;

// Adds n frames of each of count voices (1..kMaxHeldVoices), voice 0 first at every frame,
// into left[0..n) and right[0..n), and advances their positions. The caller has made
// sure that every frame reads inside the data: for each voice, floor(position) + 1 stays
// below the sample's readable frames (and below 2^31) for all n frames.
void RenderHeldVoices(HeldVoice* voices, int count, float* left, float* right, int32_t n) noexcept;

}  // namespace chantera
