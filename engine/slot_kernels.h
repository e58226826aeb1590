// The linear kernels of one note slot (Quality "live"): the four data layouts, the
// release step and the frame loops of a slot that plays through its recording or holds
// on a sustain loop. Every output value is bit for bit what the per-fetch formula gives:
//   out[f] = float(double(out[f]) + (a + (b - a) * frac) * gain)
// (note_slots.cpp tells the regions a kernel walks). For the note slots' sources only.
// Thread: audio thread only.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "engine/held_voices.h"
#include "engine/note_slots.h"
#include "library/sample.h"
#include "platform/bytes.h"

namespace chantera::slot_kernels {

// The four layouts that Sample::GetValue distinguishes: 16-bit or anything else (read as
// unsigned 8-bit), one channel or two interleaved. Value(i, c) is GetValue for a frame i
// known to be readable.
struct Mono16 {
  static constexpr bool kStereo = false;
  const uint8_t* pcm;
  int32_t Value(uint32_t i, uint32_t) const noexcept { return platform::LoadSample16(pcm + 2u * i); }
};
struct Stereo16 {
  static constexpr bool kStereo = true;
  const uint8_t* pcm;
  int32_t Value(uint32_t i, uint32_t c) const noexcept { return platform::LoadSample16(pcm + 2u * (2u * i + c)); }
};
struct Mono8 {
  static constexpr bool kStereo = false;
  const uint8_t* pcm;
  int32_t Value(uint32_t i, uint32_t) const noexcept { return static_cast<int32_t>(pcm[i]) - 128; }
};
struct Stereo8 {
  static constexpr bool kStereo = true;
  const uint8_t* pcm;
  int32_t Value(uint32_t i, uint32_t c) const noexcept { return static_cast<int32_t>(pcm[2u * i + c]) - 128; }
};

// Frames from the stretch's start, at most n, that certainly read both interpolation
// partners inside the sample (position < readableFrames - 1), with a margin for the
// rounding of the summed steps. The position is never negative.
inline int32_t FramesInside(double position, double step, uint32_t readableFrames, int32_t n) noexcept {
  const double bothInside = static_cast<double>(readableFrames) - 1.0;
  const double room = bothInside - position;
  const double margin = static_cast<double>(n) * (bothInside + 1.0) * 0x1p-50 + 0x1p-30;
  if (!(room > margin)) return 0;
  // Most notes have room for the whole stretch: decided without a division. (Either way
  // the margin keeps every counted frame inside; a count one short only moves a frame to
  // the tested loop, which computes the same value.)
  if (room - margin >= static_cast<double>(n) * step) return n;
  const double fit = (room - margin) / step;
  return fit < static_cast<double>(n) ? static_cast<int32_t>(fit) : n;
}

// What one slot renders with during one stretch.
struct SlotRender {
  double step;
  double baseGain;
  double releaseMultiplier;
  const std::atomic<double>* releaseLimit;
  uint32_t readableFrames;
};

// Adds one frame: a and b for the left (and, for stereo data, the right) channel.
inline void AddFrame(float* left, float* right, int32_t f, double frac, double gain, int32_t a0, int32_t b0, int32_t a1,
                     int32_t b1) noexcept {
  left[f] = static_cast<float>(static_cast<double>(left[f]) + (a0 + (b0 - a0) * frac) * gain);
  right[f] = static_cast<float>(static_cast<double>(right[f]) + (a1 + (b1 - a1) * frac) * gain);
}

// Adds frame f of a slot whose two interpolation partners are both readable.
template <class Layout>
inline void AddInside(const Layout& data, float* left, float* right, int32_t f, double position, double gain) noexcept {
  const auto i = static_cast<uint32_t>(static_cast<int64_t>(position));
  const double frac = position - static_cast<double>(i);
  if constexpr (Layout::kStereo) {
    AddFrame(left, right, f, frac, gain, data.Value(i, 0), data.Value(i + 1, 0), data.Value(i, 1),
             data.Value(i + 1, 1));
  } else {
    const int32_t a = data.Value(i, 0);
    const int32_t b = data.Value(i + 1, 0);
    const double v = (a + (b - a) * frac) * gain;
    left[f] = static_cast<float>(static_cast<double>(left[f]) + v);
    right[f] = static_cast<float>(static_cast<double>(right[f]) + v);
  }
}

// The release update of one frame, before its fetch. Returns false when the slot ends on
// this frame (its gain is then 0 and it is free from here on).
inline bool UpdateRelease(NoteSlot& slot, const SlotRender& r, double& gain) noexcept {
  slot.level = slot.level * r.releaseMultiplier;
  if (slot.level < r.releaseLimit->load(std::memory_order_relaxed)) {
    slot.state = SlotState::kFree;
    return false;
  }
  gain = slot.level * r.baseGain;
  return true;
}

// Frames whose contribution is a zero of gain's sign: adding +0.0 turns a -0.0 output into
// +0.0 and leaves every other value alone; adding -0.0 changes nothing.
inline void AddZero(float* left, float* right, int32_t f, double gain) noexcept {
  if (std::signbit(gain)) return;
  if (left[f] == 0.0f) left[f] = 0.0f;
  if (right[f] == 0.0f) right[f] = 0.0f;
}

// Renders frames [f, end) of a slot whose sample has the given layout. kReleasing: the
// slot was releasing when the stretch began.
template <bool kReleasing, class Layout>
void RenderSlot(NoteSlot& slot, const Layout& data, const SlotRender& r, float* left, float* right, int32_t f,
                int32_t end) noexcept {
  double position = slot.position;
  const double step = r.step;
  double gain = r.baseGain;
  bool ended = false;  // the release ended on the frame just rendered

  // Region 1: floor(position) + 1 < readableFrames, i.e. position < readableFrames - 1.
  // The position is never negative, so truncation is floor.
  const double bothInside = static_cast<double>(r.readableFrames) - 1.0;
  if constexpr (!kReleasing) {
    // Most of a held note's frames lie well inside its sample: count the frames that
    // certainly do (with a margin for the rounding of the summed steps) and run them
    // without the bounds test. The tested loop below takes over for the rest.
    {
      const int32_t safe = FramesInside(position, step, r.readableFrames, end - f);
      for (const int32_t stop = f + safe; f < stop; ++f) {
        AddInside(data, left, right, f, position, gain);
        position += step;
      }
    }
  }
  while (f < end && position < bothInside) {
    if constexpr (kReleasing) {
      if (!UpdateRelease(slot, r, gain)) {
        gain = 0.0;
        ended = true;
      }
    }
    AddInside(data, left, right, f, position, gain);
    position += step;
    ++f;
    if (kReleasing && ended) break;
  }

  // Region 2: the last readable frame, whose right-hand partner reads 0.
  const double anyInside = static_cast<double>(r.readableFrames);
  while (!ended && f < end && position < anyInside) {
    if constexpr (kReleasing) {
      if (!UpdateRelease(slot, r, gain)) {
        gain = 0.0;
        ended = true;
      }
    }
    const auto i = static_cast<uint32_t>(static_cast<int64_t>(position));
    const double frac = position - static_cast<double>(i);
    AddFrame(left, right, f, frac, gain, data.Value(i, 0), 0, data.Value(i, Layout::kStereo ? 1 : 0), 0);
    position += step;
    ++f;
  }

  // Region 3: past the end every value reads 0; a release still runs its course.
  if constexpr (kReleasing) {
    while (!ended && f < end) {
      if (!UpdateRelease(slot, r, gain)) {
        gain = 0.0;
        ended = true;
      }
      AddZero(left, right, f, gain);
      position += step;
      ++f;
    }
  } else {
    for (; f < end; ++f) {
      AddZero(left, right, f, gain);
      position += step;
    }
  }
  slot.position = position;

  if (kReleasing && ended && f < end) {
    // The slot is free now, but its frame loop runs to the end of the stretch with gain
    // 0.0 (silent, the position still advancing).
    SlotRender silent = r;
    silent.baseGain = 0.0;
    RenderSlot<false>(slot, data, silent, left, right, f, end);
  }
}

template <class Layout>
void RenderSlotWithLayout(NoteSlot& slot, const Layout& data, const SlotRender& r, float* left, float* right, int32_t f,
                          int32_t end) noexcept {
  if (slot.Releasing())
    RenderSlot<true>(slot, data, r, left, right, f, end);
  else
    RenderSlot<false>(slot, data, r, left, right, f, end);
}

// Where a held note's position goes on when it reaches its loop's end: as far into the
// loop as it went past the end.
inline double WrapIntoLoop(double position, uint32_t loopStart, uint32_t loopEnd) noexcept {
  const auto start = static_cast<double>(loopStart);
  const double wrapped = start + std::fmod(position - start, static_cast<double>(loopEnd - loopStart));
  return wrapped < static_cast<double>(loopEnd) ? wrapped : start;
}

// Renders frames [f, end) of a held note whose sample has a sustain loop. Frames whose
// partners both lie inside the loop run through the plain inside kernel; the frame that
// reaches the loop's last frame takes the loop's first frame as its right-hand partner,
// and the position then wraps.
template <class Layout>
void RenderHeldLoop(NoteSlot& slot, const Layout& data, const SlotRender& r, uint32_t loopStart, uint32_t loopEnd,
                    float* left, float* right, int32_t f, int32_t end) noexcept {
  double position = slot.position;
  if (position >= loopEnd) position = WrapIntoLoop(position, loopStart, loopEnd);
  while (f < end) {
    const int32_t safe = FramesInside(position, r.step, loopEnd, end - f);
    const int32_t stop = f + safe;
    if constexpr (std::is_same_v<Layout, Mono16>) {
      // 16-bit mono, the common case: the frames up to the wrap go through the vector
      // kernel as a voice of their own (the same values as the loop below, bit for bit).
      if (safe >= 16 && HeldVoiceKernelAvailable()) {
        HeldVoice voice{position, r.step, r.baseGain, data.pcm};
        RenderHeldVoices(&voice, 1, left + f, right + f, safe);
        position = voice.position;
        f = stop;
      }
    }
    for (; f < stop; ++f) {
      AddInside(data, left, right, f, position, r.baseGain);
      position += r.step;
    }
    if (f == end) break;
    const auto i = static_cast<uint32_t>(static_cast<int64_t>(position));
    const double frac = position - static_cast<double>(i);
    const uint32_t next = i + 1 >= loopEnd ? loopStart : i + 1;
    const uint32_t c = Layout::kStereo ? 1u : 0u;
    AddFrame(left, right, f, frac, r.baseGain, data.Value(i, 0), data.Value(next, 0), data.Value(i, c),
             data.Value(next, c));
    position += r.step;
    if (position >= loopEnd) position = WrapIntoLoop(position, loopStart, loopEnd);
    ++f;
  }
  slot.position = position;
}

// Calls render with the sample's data as its layout.
template <class Render>
void WithLayout(const Sample& sample, Render&& render) noexcept {
  // A sample without data has no readable frame, so nothing is read through the address;
  // it is still a valid one.
  static constexpr uint8_t kNoData[4] = {};
  const uint8_t* data = sample.pcm.get();
  const uint8_t* pcm = data != nullptr ? data : kNoData;
  if (sample.bitsPerSample == 16) {
    if (sample.channels == 1)
      render(Mono16{pcm});
    else
      render(Stereo16{pcm});
  } else {
    if (sample.channels == 1)
      render(Mono8{pcm});
    else
      render(Stereo8{pcm});
  }
}

}  // namespace chantera::slot_kernels
