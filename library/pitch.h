// Measuring the pitch of a sung recording: the voice tools check a recording's root note
// against it and find the root of an imported one, and the tests hear what the instrument
// sings through it.
// Thread: any thread; never the audio thread (it allocates).
#pragma once

#include <cstddef>
#include <vector>

namespace chantera {

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
