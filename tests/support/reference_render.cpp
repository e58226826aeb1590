#include "support/reference_render.h"

#include <cmath>

#include "library/sample.h"

namespace chantera::test {

void ReferenceRender(std::array<NoteSlot, kNoteSlots>& slots, float* left, float* right, int32_t first, int32_t n,
                     const StretchContext& c) {
  if (n <= 0) return;
  const double bend = c.pitchBendRange * c.pitchBend * 0.0001220703125;
  for (NoteSlot& slot : slots) {
    if (slot.active == 0 && slot.releasing == 0) continue;
    const double frequency = NoteToHz(slot.key + bend);
    const double root = GetKeyRootFrequency(c, slot.key);
    const Sample* sample = KeySample(c, slot.key);
    const double ratio = sample != nullptr && sample->sampleRate != 0 ? sample->sampleRate / c.hostSampleRate : 1.0;
    const double baseGain = static_cast<double>(slot.velocity) * c.volume * c.expression * 2.402958907480315e-07;
    const double multiplier = 1.0 - c.releaseFactor * frequency;
    double gain = baseGain;
    const bool silent = root == 0.0;
    const double step = silent ? 0.0 : frequency / root * ratio;
    for (int32_t f = first; f < first + n; ++f) {
      if (slot.releasing == 1) {
        slot.level = slot.level * multiplier;
        if (slot.level < c.releaseLimit->load()) {
          gain = 0.0;
          slot.releasing = 0;
        } else {
          gain = slot.level * baseGain;
        }
      }
      if (silent) continue;
      const double p = std::floor(slot.position);
      const auto i = static_cast<uint32_t>(static_cast<int64_t>(p));
      const double frac = slot.position - p;
      for (int ch = 0; ch < 2; ++ch) {
        const int16_t a = GetKeySampleValue(c, slot.key, i, ch);
        const int16_t b = GetKeySampleValue(c, slot.key, i + 1, ch);
        float* out = ch == 0 ? left : right;
        out[f] += (a + (b - a) * frac) * gain;
      }
      slot.position += step;
    }
  }
}

}  // namespace chantera::test
