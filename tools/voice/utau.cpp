// Readers of an UTAU voicebank's files (see utau.h).
#include "tools/voice/utau.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "platform/platform.h"

namespace chantera::voice {
namespace {

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

std::vector<std::string> Lines(const std::string& text) {
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

// A number of oto.ini: blanks around it allowed, empty is 0; anything else is no number.
bool ParseMs(const std::string& field, double& value) {
  const std::string t = Trim(field);
  value = 0;
  if (t.empty()) return true;
  const char* first = t.data();
  if (*first == '+') ++first;
  const auto [end, error] = std::from_chars(first, t.data() + t.size(), value);
  return error == std::errc() && end == t.data() + t.size() && std::isfinite(value);
}

uint32_t U32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<uint8_t>(b[at + size_t(k)]);
  return v;
}

double F64(const std::string& b, size_t at) {
  uint64_t bits = 0;
  for (int k = 7; k >= 0; --k) bits = (bits << 8) | static_cast<uint8_t>(b[at + size_t(k)]);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
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
  const std::vector<std::string> lines = Lines(DecodeText(bytes, &oto.utf8));
  for (size_t n = 0; n < lines.size(); ++n) {
    const int32_t number = static_cast<int32_t>(n + 1);
    const std::string& line = lines[n];
    if (Trim(line).empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      oto.skipped.push_back({number, line, eq == 0 ? "no file name before '='" : "no '=' in the line"});
      continue;
    }
    OtoEntry entry;
    entry.line = number;
    entry.file = Trim(line.substr(0, eq));
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
    entry.alias = Trim(fields[0]);
    if (entry.alias.empty()) {
      const size_t slash = entry.file.rfind('/');
      entry.alias = entry.file.substr(slash == std::string::npos ? 0 : slash + 1);
      if (entry.alias.size() > 4 && (entry.alias.compare(entry.alias.size() - 4, 4, ".wav") == 0 ||
                                     entry.alias.compare(entry.alias.size() - 4, 4, ".WAV") == 0))
        entry.alias.resize(entry.alias.size() - 4);
    }
    if (entry.file.empty() || entry.alias.empty()) {
      oto.skipped.push_back({number, line, "no file name before '='"});
      continue;
    }
    double* numbers[] = {&entry.offset, &entry.consonant, &entry.cutoff, &entry.preutterance, &entry.overlap};
    bool ok = true;
    for (size_t k = 0; k < 5 && ok; ++k) {
      if (k + 1 < fields.size() && !ParseMs(fields[k + 1], *numbers[k])) {
        std::string reason = "\"";  // appended: GCC 12 warns wrongly about "text" + std::string
        reason += Trim(fields[k + 1]);
        reason += "\" is not a number";
        oto.skipped.push_back({number, line, reason});
        ok = false;
      }
    }
    if (ok) oto.entries.push_back(entry);
  }
  return oto;
}

bool ParseFrq(const std::string& b, FrqFile& frq, std::string& error) {
  constexpr size_t kHeader = 8 + 4 + 8 + 16 + 4;
  if (b.size() < kHeader) {
    error = "shorter than its header";
    return false;
  }
  if (b.compare(0, 8, "FREQ0003") != 0) {
    error = "does not begin with FREQ0003";
    return false;
  }
  frq.samplesPerFrame = U32(b, 8);
  frq.average = F64(b, 12);
  const uint32_t count = U32(b, 36);
  if (frq.samplesPerFrame == 0) {
    error = "frames of 0 samples";
    return false;
  }
  if (count > (b.size() - kHeader) / 16) {
    error = "claims " + std::to_string(count) + " frames, holds " + std::to_string((b.size() - kHeader) / 16);
    return false;
  }
  frq.frequency.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const double f = F64(b, kHeader + 16 * size_t(i));
    frq.frequency[i] = std::isfinite(f) && f > 0 ? f : 0.0;
  }
  return true;
}

int ParseNoteName(const std::string& name) {
  const std::string t = Trim(name);
  if (t.size() < 2) return -1;
  static const int kSteps[] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
  const char letter = static_cast<char>(t[0] & ~0x20);
  if (letter < 'A' || letter > 'G') return -1;
  int note = kSteps[letter - 'A'];
  size_t i = 1;
  if (t[i] == '#') {
    ++note, ++i;
  } else if (t[i] == 'b') {
    --note, ++i;
  }
  int octave = 0;
  const auto [end, err] = std::from_chars(t.data() + i, t.data() + t.size(), octave);
  if (err != std::errc() || end != t.data() + t.size() || octave < -1 || octave > 9) return -1;
  const int midi = (octave + 1) * 12 + note;
  return midi >= 0 && midi <= 127 ? midi : -1;
}

std::vector<PrefixMapEntry> ParsePrefixMap(const std::string& bytes) {
  std::vector<PrefixMapEntry> entries;
  for (const std::string& line : Lines(DecodeText(bytes))) {
    const size_t tab1 = line.find('\t');
    if (tab1 == std::string::npos) continue;
    const size_t tab2 = line.find('\t', tab1 + 1);
    PrefixMapEntry e;
    e.note = ParseNoteName(line.substr(0, tab1));
    if (e.note < 0) continue;
    e.prefix = line.substr(tab1 + 1, tab2 == std::string::npos ? std::string::npos : tab2 - tab1 - 1);
    if (tab2 != std::string::npos) e.suffix = line.substr(tab2 + 1);
    entries.push_back(e);
  }
  return entries;
}

std::string ParseCharacterName(const std::string& bytes) {
  for (const std::string& line : Lines(DecodeText(bytes))) {
    for (const char* key : {"name=", "\xE5\x90\x8D\xE5\x89\x8D="}) {  // name=, 名前=
      const size_t n = std::strlen(key);
      if (line.compare(0, n, key) == 0) return Trim(line.substr(n));
    }
  }
  return {};
}

}  // namespace chantera::voice
