#include "host/text_format.h"

#include <cmath>
#include <cstring>

namespace chantera::text {

void CopyLimited(char* dst, const char* src, int32_t maxLen) {
  if (dst == nullptr || maxLen < 0) return;
  std::strncpy(dst, src, static_cast<size_t>(maxLen));
  dst[maxLen] = 0;
}

void FloatToString(float value, char* text, int32_t maxLen) {
  double v = value;
  if (std::isnan(v)) {
    CopyLimited(text, "NaN", maxLen);
    return;
  }
  bool negative = false;
  int spent = 0;
  if (v < 0) {
    negative = true;
    v = -v;
    ++spent;  // the sign
    if (v > 9999999.0) {
      CopyLimited(text, "Huge!", maxLen);
      return;
    }
  } else if (v > 99999999.0) {
    CopyLimited(text, "Huge!", maxLen);
    return;
  }

  // Digits are produced from the right into the end of a scratch buffer.
  char integer[16];
  char* s = integer + sizeof integer - 1;
  *s = 0;
  *--s = '.';
  ++spent;
  double n = std::floor(v);
  *--s = static_cast<char>('0' + static_cast<int>(std::fmod(n, 10.0)));
  n *= 0.1;
  ++spent;
  while (n >= 1.0 && spent < 8) {
    *--s = static_cast<char>('0' + static_cast<int>(std::fmod(n, 10.0)));
    n *= 0.1;
    ++spent;
  }
  if (negative) *--s = '-';

  char result[24];
  std::strcpy(result, s);
  if (spent < 8) {
    const int k = 8 - spent;
    double m = std::fmod(v, 1.0) * std::pow(10.0, k);
    char fraction[9];
    fraction[k] = 0;
    for (int i = k - 1; i >= 0; --i) {
      if (m <= 0.0) {
        fraction[i] = '0';
      } else {
        fraction[i] = static_cast<char>('0' + static_cast<int>(std::fmod(m, 10.0)));
        m *= 0.1;
      }
    }
    std::strcat(result, fraction);
  }
  CopyLimited(text, result, maxLen);
}

void IntToString(int32_t value, char* text, int32_t maxLen) {
  if (value >= 100000000) {
    CopyLimited(text, "Huge!", maxLen);
    return;
  }
  char result[16];
  int pos = 0;
  // Widened so that the most negative value has a magnitude; values of 10 digits show
  // their true digits.
  int64_t v = value;
  if (v < 0) {
    result[pos++] = '-';
    v = -v;
  }
  bool started = false;
  for (int64_t div = 1000000000; div >= 1; div /= 10) {
    const int64_t digit = v / div;
    v -= digit * div;
    if (digit != 0) started = true;
    if (started) result[pos++] = static_cast<char>('0' + digit);
  }
  if (!started) result[pos++] = '0';
  result[pos] = 0;
  CopyLimited(text, result, maxLen);
}

}  // namespace chantera::text
