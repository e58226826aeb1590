// What the note slots read of a stretch's context: the recording a key maps to, through
// the Chorus loader's guards and the banks of older voices, and the steps and envelopes
// derived from it (declared in note_slots.h). Thread: audio thread (and tests).
#include "engine/note_slots.h"

#include <algorithm>
#include <cmath>

#include "library/sample.h"
#include "library/sample_bank.h"

namespace chantera {

double SampleStep(const Sample* sample, double frequency, double hostRate) noexcept {
  if (sample == nullptr || !(sample->rootFrequency > 0.0)) return 0.0;
  // A sample recorded at the host's rate (or with no rate) has the ratio 1.0 exactly, so
  // the step is then frequency / root unchanged.
  double rateRatio = 1.0;
  if (sample->sampleRate != 0 && hostRate > 0.0 && std::isfinite(hostRate) && sample->sampleRate != hostRate)
    rateRatio = static_cast<double>(sample->sampleRate) / hostRate;
  const double step = frequency / sample->rootFrequency * rateRatio;
  return std::isfinite(step) ? step : 0.0;
}

int32_t CrossoverFrames(double hostRate) noexcept {
  const bool usable = hostRate > 0.0 && std::isfinite(hostRate);
  return std::max<int32_t>(
      1, static_cast<int32_t>(std::lround(kCrossoverSeconds * (usable ? std::min(hostRate, 1.0e6) : 44100.0))));
}

double ReleaseMultiplier(double releaseFactor, double frequency, double hostRate) noexcept {
  const double perFrame = 1.0 - releaseFactor * frequency;
  // At another rate a frame lasts longer or shorter: the multiplier of one frame there is
  // the one of a frame at the reference rate raised to the ratio of the two, so the
  // release takes as long. One that reaches 0 or below at once (or is no number) ends
  // the note on its first released frame at every rate, as at the reference rate.
  if (hostRate == kReleaseReferenceRate || !(hostRate > 0.0) || !std::isfinite(hostRate) || !(perFrame > 0.0))
    return perFrame;
  return std::pow(perFrame, kReleaseReferenceRate / hostRate);
}

int32_t MappedIndex(const StretchContext& context, int32_t key) noexcept {
  if (context.keyMap == nullptr || key < 0 || key >= kKeyCount) return -1;
  return (*context.keyMap)[static_cast<size_t>(key)];
}

const Sample* KeySample(const StretchContext& context, int32_t key) noexcept {
  if (context.keyMap == nullptr || key < 0 || key >= kKeyCount) return nullptr;
  return IndexSample(context, MappedIndex(context, key));
}

const Sample* IndexSample(const StretchContext& context, int32_t index, int age) noexcept {
  BankView view{context.bank, context.loaderBusy, context.loaderProgress};
  if (age > 0) view = age < kVoiceAges ? context.older[static_cast<size_t>(age - 1)] : BankView{};
  if (view.bank == nullptr) return nullptr;
  if (view.loaderBusy) {
    // The loader rebuilds the bank in slot order: only samples up to loaderProgress are
    // finished, and a key whose sample is not plays the last finished one.
    if (view.loaderProgress < 0) return nullptr;
    if (index > view.loaderProgress) index = view.loaderProgress;
  }
  return view.bank->slot(index);  // null outside the 1088 slots, or for an empty slot
}

double GetKeyRootFrequency(const StretchContext& context, int32_t key) noexcept {
  const Sample* sample = KeySample(context, key);
  return sample != nullptr ? sample->rootFrequency : 0.0;
}

int16_t GetKeySampleValue(const StretchContext& context, int32_t key, uint32_t frame, int channel) noexcept {
  const Sample* sample = KeySample(context, key);
  return sample != nullptr ? sample->GetValue(frame, channel) : int16_t{0};
}

}  // namespace chantera
