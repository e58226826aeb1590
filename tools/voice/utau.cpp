// Readers of an UTAU voicebank's files (see utau.h).
#include "tools/voice/utau.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "platform/bytes.h"

namespace chantera::voice {
namespace {

uint32_t U32(const std::string& b, size_t at) {
  return platform::LoadLe32(reinterpret_cast<const uint8_t*>(b.data() + at));
}

double F64(const std::string& b, size_t at) {
  const uint64_t bits = U32(b, at) | (uint64_t{U32(b, at + 4)} << 32);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

}  // namespace

std::string OtoFaultText(const OtoSkipped& skipped) {
  switch (skipped.fault) {
    case OtoFault::kNoEquals:
      return "no '=' in the line";
    case OtoFault::kNoFileName:
      return "no file name before '='";
    case OtoFault::kNotANumber:
      break;
  }
  std::string reason = "\"";  // appended: GCC 12 warns wrongly about "text" + std::string
  reason += skipped.field;
  reason += "\" is not a number";
  return reason;
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
  const std::string t = TrimBlanks(name);
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
  for (const std::string& line : TextLines(DecodeText(bytes))) {
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
  for (const std::string& line : TextLines(DecodeText(bytes))) {
    for (const char* key : {"name=", "\xE5\x90\x8D\xE5\x89\x8D="}) {  // name=, 名前=
      const size_t n = std::strlen(key);
      if (line.compare(0, n, key) == 0) return TrimBlanks(line.substr(n));
    }
  }
  return {};
}

}  // namespace chantera::voice
