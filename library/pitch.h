// Notes and frequencies, and measuring the pitch of a sung recording: the voice tools
// check a recording's root note against it and find the root of an imported one, and the
// tests hear what the instrument sings through it.
// Thread: any thread; the measuring functions never on the audio thread (they allocate).
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace chantera {

// The frequency of a (fractional) MIDI note in equal temperament, A4 (note 69) at 440 Hz,
// and the note of a frequency. noexcept, allocation-free.
inline double NoteToHz(double note) noexcept {
  return 440.0 * std::pow(2.0, (note - 69.0) * 0.08333333333333333);
}
inline double HzToNote(double hz) noexcept {
  return 69.0 + 12.0 * std::log2(hz / 440.0);
}

// Fundamental frequency in Hz of x[start, start + length) by normalised autocorrelation,
// searched from 50 Hz to 1500 Hz: the shortest lag whose peak comes within 10 % of the
// best one (so that no sub-octave wins), refined by a parabola through its neighbours.
// Reads up to start + length + rate / 50 + 1 values (fewer when x is shorter, and then
// the window shrinks). 0 when no period stands out (silence, noise, too short a window).
// clarity, when given, receives the normalised correlation of the chosen lag (1 for a
// perfectly periodic window).
double PitchHz(const std::vector<double>& x, size_t start, size_t length, double rate, double* clarity = nullptr);

// The pitch of the steady part of a recording x[from, to): the median of PitchHz over
// windows of 50 ms spread across it, counting only windows that are clearly periodic
// (clarity 0.8 or more). 0 when fewer than half the windows are.
double SteadyPitchHz(const std::vector<double>& x, size_t from, size_t to, double rate);

// Cents from frequency b up to frequency a (1200 per octave).
double CentsBetween(double a, double b);

}  // namespace chantera
