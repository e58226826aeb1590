// How a singer shapes notes, from MIDI controllers (each instance its own):
// - legato (controller 68 >= 64): a note that starts while the note before is still held
//   and sings the same recording (a melisma: no new syllable) takes that note over: no
//   new attack, no consonant again, its recording and loop go on at the new pitch;
// - portamento (65 >= 64 on; 5 the time; 84 the key the next note glides from, else the
//   note before): the pitch glides in equal-tempered semitones along a smooth step, which
//   passes the middle at half the time;
// - vibrato: depth from 1 (modulation wheel) or 77, whichever is larger, rate 76, delay
//   78 after each note's start, then a fade-in over one period;
// - level: volume (7, the host's parameter, each program's) and expression (11) move to a
//   new value over kLevelRampSeconds instead of stepping (a step clicks).
// Without controllers 1, 5, 65, 68, 77 and 84 every note renders exactly as before; only
// level changes ramp.
// Thread: audio thread (the mappings are pure).
#pragma once

#include <cmath>
#include <cstdint>

namespace chantera {

inline constexpr double kLevelRampSeconds = 0.010;
// Stretches are cut this short while a pitch moves (2.9 ms at 44.1 kHz: a vibrato of 50
// cents at 5.5 Hz moves at most 5 cents between two, a glide of 80 ms a twenty-eighth of
// its way; shorter stretches cost more than the 1.3x of the plain kernel that
// bench/compare.sh allows) and while the level ramps.
inline constexpr int32_t kPitchControlFrames = 128;
inline constexpr int32_t kLevelControlFrames = 4;

// Controller 5: a square law from 0 to 1 s, fine where glides are short (value 36: 80 ms,
// 64: 254 ms, 90: 502 ms).
inline double PortamentoSeconds(int32_t value) noexcept {
  const double x = value / 127.0;
  return x * x;
}
// Controllers 1 and 77: up to half a semitone (50 cents) either way.
inline double VibratoDepthSemitones(int32_t value) noexcept {
  return value / 127.0 * 0.5;
}
// Controller 76: 5.5 Hz at 64 (and before any), an octave up or down every 32 steps.
inline double VibratoRateHz(int32_t value) noexcept {
  return value < 0 ? 5.5 : 5.5 * std::exp2((value - 64) / 32.0);
}
// Controller 78: 10 ms a step (up to 1.27 s).
inline double VibratoDelaySeconds(int32_t value) noexcept {
  return value * 0.010;
}

}  // namespace chantera
