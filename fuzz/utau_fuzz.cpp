// The readers of an UTAU voicebank's files (oto.ini, NAME_wav.frq, prefix.map,
// character.txt) on the same bytes: none may crash, claim more than the bytes hold, or
// hand the import a number that is not finite.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/voice/utau.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chantera::voice;
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  const OtoFile oto = ParseOto(bytes);
  for (const OtoEntry& e : oto.entries) {
    if (e.line < 1 || e.file.empty() || e.alias.empty()) std::abort();
    for (const double v : {e.offset, e.consonant, e.cutoff, e.preutterance, e.overlap})
      if (!std::isfinite(v)) std::abort();
  }

  FrqFile frq;
  std::string error;
  if (ParseFrq(bytes, frq, error)) {
    if (frq.samplesPerFrame == 0 || frq.frequency.size() * 16 > size) std::abort();
    for (const double f : frq.frequency)
      if (!(f >= 0.0) || !std::isfinite(f)) std::abort();
  } else if (error.empty()) {
    std::abort();
  }

  for (const PrefixMapEntry& e : ParsePrefixMap(bytes))
    if (e.note < 0 || e.note > 127) std::abort();
  (void)ParseCharacterName(bytes);
  // Composing twice changes nothing more.
  const std::string composed = ComposeKana(bytes);
  if (ComposeKana(composed) != composed) std::abort();
  return 0;
}
