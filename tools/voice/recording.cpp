// Making one recording of an UTAU bank into a sample (see recording.h).
#include "tools/voice/recording.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

#include "library/pitch.h"
#include "library/wave_reader.h"
#include "platform/bytes.h"

namespace chantera::voice {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kLargestWave = 32u << 20;  // bytes of one recording (minutes of sound)
constexpr double kShortestCutMs = 60.0;       // a cut shorter than this sings nothing
constexpr double kFadeInMs = 3.0, kFadeOutMs = 10.0;
constexpr double kShortestLoopMs = 40.0;
constexpr double kLevelRms = 0.1;    // -20 dBFS over the vowel
constexpr double kLevelPeak = 0.89;  // -1 dBFS
double Median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Catmull-Rom interpolation of x at position t.
double At(const std::vector<double>& x, size_t from, size_t to, double t) {
  const auto i = static_cast<int64_t>(std::floor(t));
  const double f = t - double(i);
  auto v = [&](int64_t k) {
    const int64_t c = std::clamp<int64_t>(k, int64_t(from), int64_t(to) - 1);
    return x[size_t(c)];
  };
  const double a = v(i - 1), b = v(i), c = v(i + 1), d = v(i + 2);
  return b + 0.5 * f * (c - a + f * (2.0 * a - 5.0 * b + 4.0 * c - d + f * (3.0 * (b - c) + d - a)));
}

// Frames of ms milliseconds at rate, rounded.
int64_t Frames(double ms, double rate) {
  return static_cast<int64_t>(std::llround(ms * rate / 1000.0));
}

// What an oto.ini entry cuts out of its recording, in frames of the file.
struct Cut {
  int64_t start = 0, end = 0;
  int64_t vowelFrom = 0;         // where the pitch is measured from
  bool vowelLongEnough = false;  // the cut holds a vowel after its consonant
};

// The cut of entry e from a; false with error when its numbers make no sense for the file.
bool CutOf(const Audio& a, const OtoEntry& e, Cut& cut, std::string& error) {
  const double rate = a.rate;
  const auto total = static_cast<int64_t>(a.x.size());
  const double lengthMs = 1000.0 * double(total) / rate;
  char text[200];
  if (e.offset < 0) {
    error = "the offset is negative";
    return false;
  }
  const int64_t start = Frames(e.offset, rate);
  if (start >= total) {
    std::snprintf(text, sizeof text, "the offset (%.0f ms) lies beyond the end of the file (%.0f ms)", e.offset,
                  lengthMs);
    error = text;
    return false;
  }
  int64_t end = e.cutoff > 0 ? total - Frames(e.cutoff, rate) : e.cutoff < 0 ? start + Frames(-e.cutoff, rate) : total;
  end = std::min(end, total);
  if (end - start < Frames(kShortestCutMs, rate)) {
    std::snprintf(text, sizeof text, "offset %.0f ms and cutoff %.0f ms leave %.0f ms of a %.0f ms file", e.offset,
                  e.cutoff, std::max<double>(0.0, 1000.0 * double(end - start) / rate), lengthMs);
    error = text;
    return false;
  }
  const int64_t consonantEnd = std::clamp<int64_t>(start + Frames(std::max(0.0, e.consonant), rate), start, end);
  cut.start = start;
  cut.end = end;
  cut.vowelLongEnough = end - consonantEnd >= Frames(kShortestCutMs, rate);
  // The pitch is that of the vowel; a recording whose oto.ini leaves no vowel is measured
  // over its last two thirds.
  cut.vowelFrom = cut.vowelLongEnough ? consonantEnd : start + (end - start) / 3;
  return true;
}

// The pitch of the cut's vowel in Hz: the median of the .frq file's voiced frames there,
// when frq is given and has any (fromFrq is then set), else measured; 0 when none is found.
double VowelPitch(const Audio& a, const Cut& cut, const FrqFile* frq, bool& fromFrq) {
  double hz = 0.0;
  if (frq != nullptr && frq->samplesPerFrame > 0) {
    std::vector<double> voiced;
    for (int64_t i = cut.vowelFrom / frq->samplesPerFrame; i < cut.end / int64_t(frq->samplesPerFrame); ++i)
      if (i >= 0 && size_t(i) < frq->frequency.size() && frq->frequency[size_t(i)] > 0)
        voiced.push_back(frq->frequency[size_t(i)]);
    hz = Median(voiced);
    fromFrq = hz > 0.0;
  }
  if (hz <= 0.0) hz = SteadyPitchHz(a.x, size_t(cut.vowelFrom), size_t(cut.end), a.rate);
  return hz;
}

// The cut of x read step frames per frame.
std::vector<double> Resampled(const std::vector<double>& x, const Cut& cut, double step) {
  const auto length = static_cast<size_t>(double(cut.end - cut.start - 1) / step);
  std::vector<double> y(length);
  for (size_t n = 0; n < length; ++n)
    y[n] = At(x, size_t(cut.start), size_t(cut.end), double(cut.start) + double(n) * step);
  return y;
}

// The entry's timing in a cut of cutMs read step times as fast: time from the offset runs
// 1/step as fast.
OtoEntry TimingInCut(const OtoEntry& e, double step, double cutMs) {
  OtoEntry timing{};
  timing.consonant = std::clamp(e.consonant / step, 0.0, cutMs);
  timing.preutterance = std::clamp(e.preutterance / step, 0.0, cutMs);
  timing.overlap = std::min(e.overlap / step, timing.preutterance);
  return timing;
}

// Level: the vowel (from vowelAt) at -20 dBFS RMS, never louder than -1 dBFS at the peak;
// faded in and out over the given frames. False with error when y is silent.
bool Levelled(const std::vector<double>& y, size_t vowelAt, size_t fadeIn, size_t fadeOut, std::vector<int16_t>& pcm,
              std::string& error) {
  const size_t length = y.size();
  double energy = 0.0, peak = 0.0;
  for (size_t n = 0; n < length; ++n) peak = std::max(peak, std::fabs(y[n]));
  for (size_t n = vowelAt; n < length; ++n) energy += y[n] * y[n];
  const double rms = length > vowelAt ? std::sqrt(energy / double(length - vowelAt)) : 0.0;
  if (peak <= 0.0) {
    error = "is silent between offset and cutoff";
    return false;
  }
  const double gain = std::min(rms > 0.0 ? kLevelRms / rms : 1e9, kLevelPeak / peak);
  pcm.resize(length);
  for (size_t n = 0; n < length; ++n) {
    double v = y[n] * gain;
    if (n < fadeIn) v *= 0.5 - 0.5 * std::cos(std::numbers::pi * double(n) / double(fadeIn));
    if (n + fadeOut > length) v *= 0.5 - 0.5 * std::cos(std::numbers::pi * double(length - n) / double(fadeOut));
    pcm[n] = static_cast<int16_t>(std::clamp(std::lround(v * 32767.0), -32768L, 32767L));
  }
  return true;
}

// The loop: a whole number of periods of the vowel (at targetHz), from vowelAt to before
// the fade-out; false when there is no room for one.
bool VowelLoop(size_t length, size_t vowelAt, size_t fadeOut, double rate, double targetHz, WaveLoop& loop) {
  if (length <= vowelAt + fadeOut) return false;
  const double period = rate / targetHz;
  const double room = double(length - fadeOut - vowelAt);
  const double periods = std::floor(room / period);
  const double span = periods * period;
  if (!(periods >= 2 && span >= kShortestLoopMs * rate / 1000.0)) return false;
  loop.start = static_cast<uint32_t>(vowelAt);
  loop.end = static_cast<uint32_t>(vowelAt + static_cast<size_t>(std::lround(span)) - 1);
  return true;
}

}  // namespace

bool ReadWave(const fs::path& path, Audio& audio, std::string& error) {
  std::error_code code;
  if (fs::file_size(path, code) > kLargestWave) {
    error = "is too large for a recording";
    return false;
  }
  WaveReader reader;
  if (reader.Open(path.string().c_str()) != kWaveOk) {
    error = "is not a RIFF/WAVE file";
    return false;
  }
  const WaveFormat f = reader.format;
  const uint32_t bytesPer = f.bitsPerSample / 8;
  const bool isFloat = f.formatTag == 3 && f.bitsPerSample == 32;
  const bool isPcm =
      (f.formatTag == 1 || f.formatTag == 0xFFFE) && bytesPer >= 1 && bytesPer <= 4 && f.bitsPerSample % 8 == 0;
  if ((!isPcm && !isFloat) || f.channels == 0 || f.samplesPerSec < 8000 || f.samplesPerSec > 384000) {
    error = "has a format the import does not read (format " + std::to_string(f.formatTag) + ", " +
            std::to_string(f.bitsPerSample) + " bits, " + std::to_string(f.channels) + " channels)";
    return false;
  }
  const uint64_t size = std::min<uint64_t>(reader.dataSize, reader.BytesRemaining());
  std::string data(size, '\0');
  if (size > 0 && reader.Read(data.data(), static_cast<int32_t>(size)) != static_cast<int32_t>(size)) {
    error = "cannot be read";
    return false;
  }
  const size_t frameBytes = size_t(bytesPer) * f.channels;
  const size_t frames = data.size() / frameBytes;
  audio.rate = f.samplesPerSec;
  audio.x.assign(frames, 0.0);
  for (size_t i = 0; i < frames; ++i) {
    double sum = 0.0;
    for (size_t c = 0; c < f.channels; ++c) {
      const auto* p = reinterpret_cast<const uint8_t*>(data.data() + i * frameBytes + c * bytesPer);
      double v = 0.0;
      if (isFloat) {
        const uint32_t bits = platform::LoadLe32(p);
        float fv;
        std::memcpy(&fv, &bits, sizeof fv);
        v = std::isfinite(fv) ? fv : 0.0;
      } else if (bytesPer == 1) {
        v = (double(p[0]) - 128.0) / 128.0;
      } else {
        int64_t s = 0;
        for (uint32_t k = 0; k < bytesPer; ++k) s |= int64_t(p[k]) << (8 * k);
        const int64_t sign = int64_t(1) << (8 * bytesPer - 1);
        s = (s ^ sign) - sign;
        v = double(s) / double(sign);
      }
      sum += v;
    }
    audio.x[i] = sum / f.channels;
  }
  return true;
}

bool MakeRecording(const Audio& a, const OtoEntry& e, const FrqFile* frq, Recording& out, std::string& error) {
  Cut cut;
  if (!CutOf(a, e, cut, error)) return false;
  const double hz = VowelPitch(a, cut, frq, out.fromFrq);
  if (!(hz >= 50.0 && hz <= 1500.0)) {
    error = "no steady pitch in its vowel";
    return false;
  }
  const double note = HzToNote(hz);
  out.root = static_cast<int>(std::lround(note));
  out.cents = 100.0 * (note - out.root);

  // Tuned to the root: read the cut at the rate that moves hz onto the note.
  const double rate = a.rate;
  const double target = NoteToHz(out.root);
  out.rate = a.rate;
  const double step = target / hz;
  const std::vector<double> y = Resampled(a.x, cut, step);
  const auto vowelAt = static_cast<size_t>(double(cut.vowelFrom - cut.start) / step);
  out.timing = TimingInCut(e, step, 1000.0 * double(y.size()) / rate);

  const auto fadeOut = static_cast<size_t>(Frames(kFadeOutMs, rate));
  if (!Levelled(y, vowelAt, static_cast<size_t>(Frames(kFadeInMs, rate)), fadeOut, out.pcm, error)) return false;
  out.looped = cut.vowelLongEnough && VowelLoop(y.size(), vowelAt, fadeOut, rate, target, out.loop);
  return true;
}

}  // namespace chantera::voice
