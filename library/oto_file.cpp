// oto.ini and the text of UTAU's files (see oto_file.h).
#include "library/oto_file.h"

#include <charconv>
#include <cmath>

#include "platform/platform.h"

namespace chantera {
namespace {

// A number of oto.ini: blanks around it allowed, empty is 0; anything else is no number.
bool ParseMs(const std::string& field, double& value) {
  const std::string t = TrimBlanks(field);
  value = 0;
  if (t.empty()) return true;
  const char* first = t.data();
  if (*first == '+') ++first;
  const auto [end, error] = std::from_chars(first, t.data() + t.size(), value);
  return error == std::errc() && end == t.data() + t.size() && std::isfinite(value);
}

// A number as FormatOtoLine writes it: fixed, at most three decimals, no trailing zeros.
std::string FormatMs(double ms) {
  if (!std::isfinite(ms)) ms = 0.0;
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, ms, std::chars_format::fixed, 3);
  if (error != std::errc()) return "0";  // beyond 10^60 ms: no recording lasts that long
  std::string s(text, end);
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

// The composed form of base + U+3099 (voiced) or U+309A (semi-voiced), or 0.
uint32_t Compose(uint32_t base, uint32_t mark) {
  for (const uint32_t offset : {0u, 0x60u}) {  // hiragana, then katakana
    const uint32_t b = base - offset;
    if (mark == 0x3099) {
      const bool kaToChi = b >= 0x304B && b <= 0x3061 && b % 2 == 1;            // か き … ち
      const bool tsuToTo = b >= 0x3064 && b <= 0x3068 && b % 2 == 0;            // つ て と
      const bool haToHo = b >= 0x306F && b <= 0x307B && (b - 0x306F) % 3 == 0;  // は ひ ふ へ ほ
      if (kaToChi || tsuToTo || haToHo) return base + 1;
      if (b == 0x3046) return offset == 0 ? 0x3094 : 0x30F4;  // う → ゔ, ウ → ヴ
    } else if (mark == 0x309A) {
      if (b >= 0x306F && b <= 0x307B && (b - 0x306F) % 3 == 0) return base + 2;  // ぱ ぴ ぷ ぺ ぽ
    }
  }
  return 0;
}

}  // namespace

std::string TrimBlanks(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line.push_back(c);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string ComposeKana(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  uint32_t last = 0;
  size_t lastAt = std::string::npos;  // where the last character starts in out
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if ((c >> 4) == 14 && i + 2 < s.size()) {
      const uint32_t cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                          (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
      if ((cp == 0x3099 || cp == 0x309A) && lastAt != std::string::npos) {
        if (const uint32_t composed = Compose(last, cp)) {
          out.resize(lastAt);
          AppendUtf8(out, composed);
          last = composed;
          i += 3;
          continue;
        }
      }
      lastAt = out.size();
      last = cp;
      out.append(s, i, 3);
      i += 3;
      continue;
    }
    lastAt = std::string::npos;
    out.push_back(s[i++]);
  }
  return out;
}

std::string DecodeText(const std::string& bytes, bool* wasUtf8) {
  std::string text;
  bool utf8 = true;
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text = bytes.substr(3);
  } else if (platform::IsValidUtf8(bytes)) {
    text = bytes;
  } else {
    text = platform::ShiftJisToUtf8(bytes);
    utf8 = false;
  }
  if (wasUtf8 != nullptr) *wasUtf8 = utf8;
  return ComposeKana(text);
}

OtoFile ParseOto(const std::string& bytes) {
  OtoFile oto;
  const std::vector<std::string> lines = TextLines(DecodeText(bytes, &oto.utf8));
  for (size_t n = 0; n < lines.size(); ++n) {
    const auto number = static_cast<int32_t>(n + 1);
    const std::string& line = lines[n];
    if (TrimBlanks(line).empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      oto.skipped.push_back({number, line, OtoFault::kNoEquals, {}});
      continue;
    }
    OtoEntry entry;
    entry.line = number;
    entry.file = TrimBlanks(line.substr(0, eq));
    for (char& c : entry.file)
      if (c == '\\') c = '/';
    std::vector<std::string> fields;
    size_t start = eq + 1;
    for (;;) {
      const size_t comma = line.find(',', start);
      fields.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    entry.alias = TrimBlanks(fields[0]);
    if (entry.alias.empty()) {
      const size_t slash = entry.file.rfind('/');
      entry.alias = entry.file.substr(slash == std::string::npos ? 0 : slash + 1);
      if (entry.alias.size() > 4 && (entry.alias.compare(entry.alias.size() - 4, 4, ".wav") == 0 ||
                                     entry.alias.compare(entry.alias.size() - 4, 4, ".WAV") == 0))
        entry.alias.resize(entry.alias.size() - 4);
    }
    if (entry.file.empty() || entry.alias.empty()) {
      oto.skipped.push_back({number, line, OtoFault::kNoFileName, {}});
      continue;
    }
    double* numbers[] = {&entry.offset, &entry.consonant, &entry.cutoff, &entry.preutterance, &entry.overlap};
    bool ok = true;
    for (size_t k = 0; k < 5 && ok; ++k) {
      if (k + 1 < fields.size() && !ParseMs(fields[k + 1], *numbers[k])) {
        oto.skipped.push_back({number, line, OtoFault::kNotANumber, TrimBlanks(fields[k + 1])});
        ok = false;
      }
    }
    if (ok) oto.entries.push_back(entry);
  }
  return oto;
}

std::string FormatOtoLine(const OtoEntry& e) {
  std::string line = e.file + "=" + e.alias;
  for (const double ms : {e.offset, e.consonant, e.cutoff, e.preutterance, e.overlap}) {
    line += ',';
    line += FormatMs(ms);
  }
  return line;
}

}  // namespace chantera
