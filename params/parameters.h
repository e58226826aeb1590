// The five automatable parameters: names, labels, display texts and value conversions.
// Plain functions over plain values; the instrument keeps the values themselves.
#pragma once

#include <cstdint>

namespace chantera {

inline constexpr int kParameterCount = 5;
enum ParameterIndex : int32_t {
  kParamVolume = 0,
  kParamPitchBendRange = 1,
  kParamEffect = 2,
  kParamReleaseFactor = 3,
  kParamReleaseLimit = 4,
};

inline constexpr double kDefaultReleaseFactor = 1.0 / 110000.0;
inline constexpr double kDefaultReleaseLimit = 0.001;

// Fixed texts are written as at most 8 characters, zero-padded to 8, and a zero at
// position 8 (9 bytes). An index outside 0..4 writes nothing.
void WriteParameterName(int32_t index, char* text);
void WriteParameterLabel(int32_t index, char* text);

// Display texts of parameters 1..4 ("%d", "Chorus"/"None", "%f", "%f"), cut to 8
// characters and terminated (at most 9 bytes written). Parameter 0 (decibels) is
// formatted by the host layer; for it and for indexes outside 0..4 this writes "".
void WriteParameterDisplay(int32_t index, int32_t pitchBendRange, int32_t effectOn, double releaseFactor,
                           double releaseLimit, char* text);

// Pitch-bend range from a parameter value: value × 12, truncated toward zero, except that
// the value ValueFromPitchBendRange gives for a range always comes back as that range.
int32_t PitchBendRangeFromValue(float value);
// The parameter value of a range: range × (1/12), as a float.
float ValueFromPitchBendRange(int32_t range);

}  // namespace chantera
