// Reading the voice library's text files ("samples.txt", "programs.txt"): Windows text
// read line by line, cut into comma-separated fields, numbers read the way the C
// library's atoi and strtod read them. Shared by the sample list and the program file.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace chantera::text {

// The files were read on Windows as text, 254 bytes a read: at most 253 bytes of a line.
inline constexpr size_t kMaxLineBytes = 253;

// Reads the next line of file, opened in binary, into line without its line end. CR LF
// counts as a line end as text mode reads it (a CR that no LF follows stays in the line),
// as does a lone LF. A line longer than kMaxLineBytes keeps its first kMaxLineBytes bytes
// and the rest up to its line end is dropped (never read as a line of its own). The line
// stops at a NUL byte, as the C string it was read into would. The last line counts
// whether or not it ends with a line end. Returns false when no byte was left. cut, when
// given, tells whether bytes past the limit were dropped.
inline bool ReadLine(std::FILE* file, std::string& line, bool* cut = nullptr) {
  line.clear();
  if (cut != nullptr) *cut = false;
  bool any = false;
  bool ended = false;  // a NUL was seen: later bytes of the line are invisible
  for (;;) {
    int c = std::getc(file);
    if (c == EOF) return any;
    any = true;
    if (c == '\n') return true;
    if (c == '\r') {
      const int next = std::getc(file);
      if (next == '\n') return true;
      if (next != EOF) std::ungetc(next, file);
    }
    if (c == '\0') ended = true;
    if (!ended && line.size() < kMaxLineBytes) {
      line.push_back(static_cast<char>(c));
    } else if (!ended && cut != nullptr) {
      *cut = true;
    }
  }
}

// The first maxFields fields of line cut at commas: a run of commas is one separator,
// leading commas are skipped, empty fields do not count, blanks stay.
inline std::vector<std::string_view> SplitFields(std::string_view line, size_t maxFields) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (fields.size() < maxFields) {
    while (i < line.size() && line[i] == ',') ++i;
    if (i >= line.size()) break;
    const size_t start = i;
    while (i < line.size() && line[i] != ',') ++i;
    fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

inline bool IsCSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Whether ParseInt (integer) or ParseDouble finds a number in s at all, rather than
// making 0 of nothing: after leading white space and an optional sign, a digit (or, for
// ParseDouble, a decimal point and a digit).
inline bool HoldsNumber(std::string_view s, bool integer) {
  size_t i = 0;
  while (i < s.size() && IsCSpace(s[i])) ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  if (!integer && i + 1 < s.size() && s[i] == '.') ++i;
  return i < s.size() && IsDigit(s[i]);
}

// atoi: leading white space, an optional sign, decimal digits as far as they go; 0 when
// there are none. Values beyond 32 bits saturate.
inline int32_t ParseInt(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsCSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int64_t value = 0;
  for (; i < s.size() && IsDigit(s[i]); ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > int64_t{1} << 32) value = int64_t{1} << 32;  // saturate, keep scanning
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// strtod limited to decimal numbers: leading white space, an optional sign, digits with
// an optional decimal point and fraction, an optional exponent; 0 when nothing of that
// form is there. Independent of the process locale (a host may have set one whose
// decimal separator is a comma). Out-of-range values become ±infinity or 0.
inline double ParseDouble(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsCSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const size_t start = i;
  size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return 0.0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < s.size() && IsDigit(s[j])) {
      while (j < s.size() && IsDigit(s[j])) ++j;
      i = j;
    }
  }
  double value = 0.0;
  const auto [end, error] = std::from_chars(s.data() + start, s.data() + i, value, std::chars_format::general);
  (void)end;
  if (error == std::errc::result_out_of_range) {
    // Decide overflow from underflow by the exponent's sign alone.
    const std::string_view number = s.substr(start, i - start);
    const size_t e = number.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && e + 1 < number.size() && number[e + 1] == '-';
    value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
  }
  return negative ? -value : value;
}

}  // namespace chantera::text
