// What a host is told about each parameter, in one table that the VST 2 layer and the
// LV2, VST3 and CLAP adapter both read. The values themselves are the instrument's.
#pragma once

#include <cstdint>

#include "params/parameters.h"

namespace chantera {

// Who the instrument is to hosts, in every format.
inline constexpr int32_t kPluginUniqueId = ('B' << 24) | ('R' << 16) | ('0' << 8) | '2';
inline constexpr const char* kVendorName = "Brisol";
inline constexpr const char* kPluginName = "Chantera";
// The VST 2 plug-in's effect and product names, as its hosts have always seen them.
inline constexpr const char* kVst2ProductName = "VST Sampler 1.0";

struct ParameterInfo {
  const char* name;    // VST 2 hosts see its first 8 characters
  const char* symbol;  // the LV2 port's
  const char* label;   // the unit VST 2 hosts show beside the value
  // The range declared in LV2, VST3 and CLAP (VST 2 parameters run 0..1): the values are
  // the VST 2 plug-in's, so a project saved with 0..1 ranges comes back as it was
  // wherever its value lies inside.
  float min, max;
  bool logarithmic;  // where the format has such a scale (LV2)
  bool toggle;       // off or on
};

// A released note's level is multiplied by 1 - factor × frequency every frame (44.1 kHz):
// at 440 Hz it takes about 3.6 s to fall to -60 dB at the smallest factor and 3.6 ms at
// the largest (the default, 1/110000, about 40 ms). The level at which it ends: -100 dB
// to -40 dB (the default, -60 dB). 0, which 0..1 allowed, is left out of both: with either
// at 0 a released note never frees its slot.
inline constexpr float kReleaseFactorMin = 1.0e-7f;
inline constexpr float kReleaseFactorMax = 1.0e-4f;
inline constexpr float kReleaseLimitMin = 1.0e-5f;
inline constexpr float kReleaseLimitMax = 0.01f;
// The largest pitch-bend range declared, in semitones: the most that MIDI's registered
// parameter commonly sets (the value is the range / 12 as ever).
inline constexpr int32_t kMaxDeclaredPitchBendRange = 24;

inline constexpr ParameterInfo kParameterTable[kParameterCount] = {
    {"Volume", "volume", "dB", 0.0f, 1.0f, false, false},
    {"PB.Range", "pitch_bend_range", "semitone", 0.0f, kMaxDeclaredPitchBendRange / 12.0f, false, false},
    {"Effect", "effect", "effect", 0.0f, 1.0f, false, true},
    {"ReleaseFactor", "release_factor", "point", kReleaseFactorMin, kReleaseFactorMax, true, false},
    {"ReleaseLimit", "release_limit", "point", kReleaseLimitMin, kReleaseLimitMax, true, false},
};

// The two settings of two choices that LV2, VST3 and CLAP show as parameters and the
// VST 2 plug-in takes as MIDI controllers of its own (it keeps exactly five parameters).
struct ChoiceInfo {
  const char* name;
  const char* symbol;
  const char* description;
  const char* choices[2];  // for 0 and 1
};
inline constexpr ChoiceInfo kTimingChoice = {
    "Timing",
    "timing",
    "live: each note sounds at once (for playing); beat: each vowel on its note, behind a latency the host "
    "compensates (for sequenced parts)",
    {"live", "beat"}};
inline constexpr ChoiceInfo kQualityChoice = {
    "Quality",
    "quality",
    "live: recordings read by linear interpolation (light, for playing); high: by a band-limited kernel that keeps "
    "partials clean at every pitch (for rendering)",
    {"live", "high"}};

}  // namespace chantera
