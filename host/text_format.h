// Number-to-text helpers of the VST 2 base classes, as free functions so that they can
// be checked on their own. Each writes at most maxLen characters and then a terminator
// at position maxLen at the latest: text must have room for maxLen + 1 bytes.
#pragma once

#include <cstdint>

namespace chantera::text {

// Copies src into dst: at most maxLen characters, zero-padded up to maxLen, and a zero
// at position maxLen. Writes exactly maxLen + 1 bytes (nothing when maxLen < 0).
void CopyLimited(char* dst, const char* src, int32_t maxLen);

// Fixed-point text in a budget of 8 characters (sign and point included); the fraction
// is truncated, never rounded. "Huge!" above 99999999 or below -9999999.
void FloatToString(float value, char* text, int32_t maxLen);
// Decimal text; "Huge!" from 100000000 up.
void IntToString(int32_t value, char* text, int32_t maxLen);

}  // namespace chantera::text
