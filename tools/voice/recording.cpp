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

}  // namespace

bool ReadWave(const fs::path& path, Audio& audio, std::string& why) {
  std::error_code error;
  if (fs::file_size(path, error) > kLargestWave) {
    why = "is too large for a recording";
    return false;
  }
  WaveReader reader;
  if (reader.Open(path.string().c_str()) != kWaveOk) {
    why = "is not a RIFF/WAVE file";
    return false;
  }
  const WaveFormat f = reader.format;
  const uint32_t bytesPer = f.bitsPerSample / 8;
  const bool isFloat = f.formatTag == 3 && f.bitsPerSample == 32;
  const bool isPcm =
      (f.formatTag == 1 || f.formatTag == 0xFFFE) && bytesPer >= 1 && bytesPer <= 4 && f.bitsPerSample % 8 == 0;
  if ((!isPcm && !isFloat) || f.channels == 0 || f.samplesPerSec < 8000 || f.samplesPerSec > 384000) {
    why = "has a format the import does not read (format " + std::to_string(f.formatTag) + ", " +
          std::to_string(f.bitsPerSample) + " bits, " + std::to_string(f.channels) + " channels)";
    return false;
  }
  const uint64_t size = std::min<uint64_t>(reader.dataSize, reader.BytesRemaining());
  std::string data(size, '\0');
  if (size > 0 && reader.Read(data.data(), static_cast<int32_t>(size)) != static_cast<int32_t>(size)) {
    why = "cannot be read";
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

bool MakeRecording(const Audio& a, const OtoEntry& e, const FrqFile* frq, Recording& out, std::string& why) {
  const double rate = a.rate;
  const auto frames = [&](double ms) { return static_cast<int64_t>(std::llround(ms * rate / 1000.0)); };
  const auto total = static_cast<int64_t>(a.x.size());
  const double lengthMs = 1000.0 * double(total) / rate;
  char text[200];
  if (e.offset < 0) {
    why = "the offset is negative";
    return false;
  }
  const int64_t start = frames(e.offset);
  if (start >= total) {
    std::snprintf(text, sizeof text, "the offset (%.0f ms) lies beyond the end of the file (%.0f ms)", e.offset,
                  lengthMs);
    why = text;
    return false;
  }
  int64_t end = e.cutoff > 0 ? total - frames(e.cutoff) : e.cutoff < 0 ? start + frames(-e.cutoff) : total;
  end = std::min(end, total);
  if (end - start < frames(kShortestCutMs)) {
    std::snprintf(text, sizeof text, "offset %.0f ms and cutoff %.0f ms leave %.0f ms of a %.0f ms file", e.offset,
                  e.cutoff, std::max<double>(0.0, 1000.0 * double(end - start) / rate), lengthMs);
    why = text;
    return false;
  }
  const int64_t consonantEnd = std::clamp<int64_t>(start + frames(std::max(0.0, e.consonant)), start, end);
  const bool vowelLongEnough = end - consonantEnd >= frames(kShortestCutMs);
  // The pitch is that of the vowel; a recording whose oto.ini leaves no vowel is measured
  // over its last two thirds.
  const int64_t vowelFrom = vowelLongEnough ? consonantEnd : start + (end - start) / 3;

  double hz = 0.0;
  if (frq != nullptr && frq->samplesPerFrame > 0) {
    std::vector<double> voiced;
    for (int64_t i = vowelFrom / frq->samplesPerFrame; i < end / int64_t(frq->samplesPerFrame); ++i)
      if (i >= 0 && size_t(i) < frq->frequency.size() && frq->frequency[size_t(i)] > 0)
        voiced.push_back(frq->frequency[size_t(i)]);
    hz = Median(voiced);
    out.fromFrq = hz > 0.0;
  }
  if (hz <= 0.0) hz = SteadyPitchHz(a.x, size_t(vowelFrom), size_t(end), rate);
  if (!(hz >= 50.0 && hz <= 1500.0)) {
    why = "no steady pitch in its vowel";
    return false;
  }
  const double note = HzToNote(hz);
  out.root = static_cast<int>(std::lround(note));
  out.cents = 100.0 * (note - out.root);

  // Tuned to the root: read the cut at the rate that moves hz onto the note.
  const double target = NoteToHz(out.root);
  out.rate = a.rate;
  const double step = target / hz;
  const auto length = static_cast<size_t>(double(end - start - 1) / step);
  std::vector<double> y(length);
  for (size_t n = 0; n < length; ++n) y[n] = At(a.x, size_t(start), size_t(end), double(start) + double(n) * step);
  const auto vowelAt = static_cast<size_t>(double(vowelFrom - start) / step);

  // Its timing in the cut: time from the offset runs 1/step as fast.
  const double cutMs = 1000.0 * double(length) / rate;
  out.timing = {};
  out.timing.consonant = std::clamp(e.consonant / step, 0.0, cutMs);
  out.timing.preutterance = std::clamp(e.preutterance / step, 0.0, cutMs);
  out.timing.overlap = std::min(e.overlap / step, out.timing.preutterance);

  // Level: the vowel at -20 dBFS RMS, never louder than -1 dBFS at the peak.
  double energy = 0.0, peak = 0.0;
  for (size_t n = 0; n < length; ++n) peak = std::max(peak, std::fabs(y[n]));
  for (size_t n = vowelAt; n < length; ++n) energy += y[n] * y[n];
  const double rms = length > vowelAt ? std::sqrt(energy / double(length - vowelAt)) : 0.0;
  if (peak <= 0.0) {
    why = "is silent between offset and cutoff";
    return false;
  }
  const double gain = std::min(rms > 0.0 ? kLevelRms / rms : 1e9, kLevelPeak / peak);

  const auto fadeIn = static_cast<size_t>(frames(kFadeInMs));
  const auto fadeOut = static_cast<size_t>(frames(kFadeOutMs));
  out.pcm.resize(length);
  for (size_t n = 0; n < length; ++n) {
    double v = y[n] * gain;
    if (n < fadeIn) v *= 0.5 - 0.5 * std::cos(std::numbers::pi * double(n) / double(fadeIn));
    if (n + fadeOut > length) v *= 0.5 - 0.5 * std::cos(std::numbers::pi * double(length - n) / double(fadeOut));
    out.pcm[n] = static_cast<int16_t>(std::clamp(std::lround(v * 32767.0), -32768L, 32767L));
  }

  // The loop: a whole number of periods of the vowel, ending before the fade-out.
  out.looped = false;
  if (vowelLongEnough && length > vowelAt + fadeOut) {
    const double period = rate / target;
    const double room = double(length - fadeOut - vowelAt);
    const double periods = std::floor(room / period);
    const double span = periods * period;
    if (periods >= 2 && span >= kShortestLoopMs * rate / 1000.0) {
      out.loop.start = static_cast<uint32_t>(vowelAt);
      out.loop.end = static_cast<uint32_t>(vowelAt + static_cast<size_t>(std::lround(span)) - 1);
      out.looped = true;
    }
  }
  return true;
}

}  // namespace chantera::voice
