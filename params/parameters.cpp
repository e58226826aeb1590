#include "params/parameters.h"

#include <cstdio>
#include <cstring>

#include "params/parameter_table.h"

namespace chantera {

namespace {

// At most 8 characters, zero-padded to 8, and a zero at position 8: 9 bytes.
void CopyFixed8(char* text, const char* source) {
  std::strncpy(text, source, 8);
  text[8] = 0;
}

// A formatted text cut to 8 characters: the host's buffer holds 8 and a terminator, and
// "%d" or "%f" of a large value is longer.
template <class Value>
void FormatCut8(char* text, const char* format, Value value) {
  char full[400];
  std::snprintf(full, sizeof full, format, value);
  const size_t n = std::strlen(full) < 8 ? std::strlen(full) : 8;
  std::memcpy(text, full, n);
  text[n] = 0;
}
}  // namespace

void WriteParameterName(int32_t index, char* text) {
  if (index >= 0 && index < kParameterCount) CopyFixed8(text, kParameterTable[index].name);
}

void WriteParameterLabel(int32_t index, char* text) {
  if (index >= 0 && index < kParameterCount) CopyFixed8(text, kParameterTable[index].label);
}

void WriteParameterDisplay(int32_t index, int32_t pitchBendRange, int32_t effectOn, double releaseFactor,
                           double releaseLimit, char* text) {
  text[0] = 0;
  switch (index) {
    case kParamPitchBendRange:
      FormatCut8(text, "%d", pitchBendRange);
      break;
    case kParamEffect:
      CopyFixed8(text, effectOn == 1 ? "Chorus" : "None");
      break;
    case kParamReleaseFactor:
      FormatCut8(text, "%f", releaseFactor);
      break;
    case kParamReleaseLimit:
      FormatCut8(text, "%f", releaseLimit);
      break;
    default:
      break;
  }
}

int32_t PitchBendRangeFromValue(float value) {
  const double range = static_cast<double>(value) * 12.0;
  // Truncation toward zero; values beyond the 32-bit range (or NaN) are held at its ends.
  if (!(range == range)) return 0;
  if (range >= 2147483647.0) return 2147483647;
  if (range <= -2147483648.0) return -2147483647 - 1;
  const auto truncated = static_cast<int32_t>(range);
  // The float a host reads for a range (ValueFromPitchBendRange) may lie just short of
  // it: the float nearest 7/12 is below 7/12, and truncated it gives 6. A host that
  // saves the value and sets it again must get the same range back, so a value that
  // reads back for the next range away from zero, and not for the truncated one, is
  // taken as that range. Every other value truncates as before.
  const int32_t away = value > 0.0f ? truncated + 1 : truncated - 1;
  if (ValueFromPitchBendRange(truncated) != value && ValueFromPitchBendRange(away) == value) return away;
  return truncated;
}

float ValueFromPitchBendRange(int32_t range) {
  return static_cast<float>(range * 0.08333333333333333);
}

}  // namespace chantera
