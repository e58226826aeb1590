#include "tools/render/audio_file.h"

#include <sndfile.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace chantera::render {

namespace {

// Frames gathered before they go to libsndfile: 64 KiB of 16-bit stereo, so one system
// call writes 16 384 frames instead of 512.
constexpr int64_t kBufferFrames = 16384;

// libsndfile's own conversion of a float to a 16-bit value with clipping (pcm.c,
// f2s_clip_array): the value is scaled by 2^31, clipped at the ends of the 32-bit range,
// rounded to an integer in the current rounding mode, and its upper 16 bits are kept.
// Done here, it gives the same bytes as handing libsndfile the floats. 2147483520 is the
// largest float below 2^31.
constexpr float kScale31 = 2147483648.0f;
constexpr float kHighest31 = 2147483520.0f;

inline int16_t ToPcm16(float value) noexcept {
  const float scaled = std::clamp(value * kScale31, -kScale31, kHighest31);
  return static_cast<int16_t>(static_cast<int32_t>(std::lrintf(scaled)) >> 16);
}

// One value as it is written: times the gain, 0 when that is not finite.
inline float Prepared(float value, float gain) noexcept {
  const float v = value * gain;
  return std::isfinite(v) ? v : 0.0f;
}

// The frames [from, to) of the two channels, prepared and interleaved into out (16-bit
// values when Pcm16, floats otherwise), with the peak and the values beyond full scale
// noted. The scalar form of the vector loop below, for what it leaves over.
template <bool Pcm16, class Out>
void ConvertScalar(const float* left, const float* right, int64_t from, int64_t to, float gain, bool clips,
                   int64_t firstFrame, Out* out, AudioStats& stats) noexcept {
  for (int64_t i = from; i < to; ++i) {
    const float l = Prepared(left[i], gain);
    const float r = Prepared(right[i], gain);
    stats.peak = std::max(stats.peak, std::max(std::fabs(l), std::fabs(r)));
    const int beyond = (std::fabs(l) > 1.0f ? 1 : 0) + (std::fabs(r) > 1.0f ? 1 : 0);
    if (clips && beyond != 0) {
      if (stats.firstClip < 0) stats.firstClip = firstFrame + i;
      stats.clipped += beyond;
    }
    if constexpr (Pcm16) {
      out[2 * i] = ToPcm16(l);
      out[2 * i + 1] = ToPcm16(r);
    } else {
      out[2 * i] = l;
      out[2 * i + 1] = r;
    }
  }
}

template <bool Pcm16, class Out>
void Convert(const float* left, const float* right, int64_t frames, float gain, bool clips, int64_t firstFrame,
             Out* out, AudioStats& stats) noexcept {
  int64_t i = 0;
#if defined(__SSE2__)
  // Four frames at a time, the same operations as ToPcm16 and Prepared in each lane
  // (cvtps2dq rounds in the current rounding mode, as lrintf does).
  const __m128 g = _mm_set1_ps(gain);
  const __m128 zero = _mm_setzero_ps();
  const __m128 one = _mm_set1_ps(1.0f);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128 scale = _mm_set1_ps(kScale31), lowest = _mm_set1_ps(-kScale31), highest = _mm_set1_ps(kHighest31);
  __m128 peak = _mm_set1_ps(stats.peak);
  for (; i + 4 <= frames; i += 4) {
    __m128 l = _mm_mul_ps(_mm_loadu_ps(left + i), g);
    __m128 r = _mm_mul_ps(_mm_loadu_ps(right + i), g);
    // x - x is 0 exactly when x is finite (NaN for an infinity or a NaN).
    l = _mm_and_ps(l, _mm_cmpeq_ps(_mm_sub_ps(l, l), zero));
    r = _mm_and_ps(r, _mm_cmpeq_ps(_mm_sub_ps(r, r), zero));
    const __m128 al = _mm_and_ps(l, magnitude), ar = _mm_and_ps(r, magnitude);
    peak = _mm_max_ps(peak, _mm_max_ps(al, ar));
    if (clips) {
      const int beyondL = _mm_movemask_ps(_mm_cmpgt_ps(al, one));
      const int beyondR = _mm_movemask_ps(_mm_cmpgt_ps(ar, one));
      if ((beyondL | beyondR) != 0) {
        if (stats.firstClip < 0)
          stats.firstClip = firstFrame + i + std::countr_zero(static_cast<unsigned>(beyondL | beyondR));
        stats.clipped += std::popcount(static_cast<unsigned>(beyondL)) + std::popcount(static_cast<unsigned>(beyondR));
      }
    }
    if constexpr (Pcm16) {
      const __m128i il =
          _mm_srai_epi32(_mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(_mm_mul_ps(l, scale), lowest), highest)), 16);
      const __m128i ir =
          _mm_srai_epi32(_mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(_mm_mul_ps(r, scale), lowest), highest)), 16);
      const __m128i pairs = _mm_packs_epi32(_mm_unpacklo_epi32(il, ir), _mm_unpackhi_epi32(il, ir));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), pairs);
    } else {
      _mm_storeu_ps(out + 2 * i, _mm_unpacklo_ps(l, r));
      _mm_storeu_ps(out + 2 * i + 4, _mm_unpackhi_ps(l, r));
    }
  }
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, peak);
  stats.peak = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
#endif
  ConvertScalar<Pcm16>(left, right, i, frames, gain, clips, firstFrame, out, stats);
}

}  // namespace

bool ParseAudioFormat(const std::string& name, AudioFormat& format) {
  static const std::pair<const char*, AudioFormat> kNames[] = {
      {"wav16", AudioFormat::kWav16},    {"wav", AudioFormat::kWav16},         {"wav24", AudioFormat::kWav24},
      {"float", AudioFormat::kWavFloat}, {"wavfloat", AudioFormat::kWavFloat}, {"flac", AudioFormat::kFlac16},
      {"flac16", AudioFormat::kFlac16},  {"flac24", AudioFormat::kFlac24}};
  for (const auto& [known, value] : kNames)
    if (name == known) {
      format = value;
      return true;
    }
  return false;
}

const char* AudioExtension(AudioFormat format) {
  return format == AudioFormat::kFlac16 || format == AudioFormat::kFlac24 ? ".flac" : ".wav";
}

bool AudioFormatForFile(const std::string& name, const std::string& path, AudioFormat& format, std::string& error) {
  if (!name.empty() && !ParseAudioFormat(name, format)) {
    error = "unknown --format " + name + " (wav16, wav24, float, flac or flac24)";
    return false;
  }
  std::error_code failed;
  const auto status = std::filesystem::status(path, failed);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
      !std::filesystem::is_directory(status)) {
    if (name.empty()) format = AudioFormat::kWav16;  // a device or a pipe: no name to agree with
    return true;
  }
  std::string extension = std::filesystem::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension != ".wav" && extension != ".flac") {
    error = path + ": the renderer writes WAV (.wav) and FLAC (.flac) files; name the file " +
            std::filesystem::path(path).replace_extension(name.empty() ? ".wav" : AudioExtension(format)).string();
    return false;
  }
  if (name.empty()) {
    format = extension == ".flac" ? AudioFormat::kFlac16 : AudioFormat::kWav16;
    return true;
  }
  if (extension != AudioExtension(format)) {
    error = "--format " + name + " writes " + (extension == ".wav" ? "FLAC" : "WAV") + ", but " + path + " names a " +
            (extension == ".wav" ? "WAV" : "FLAC") + " file; name it " +
            std::filesystem::path(path).replace_extension(AudioExtension(format)).string();
    return false;
  }
  return true;
}

struct AudioFileWriter::SndFile {
  SNDFILE* handle;
};

AudioFileWriter::AudioFileWriter() = default;

AudioFileWriter::~AudioFileWriter() {
  if (file_ != nullptr) sf_close(file_->handle);
}

bool AudioFileWriter::Open(const std::string& path, AudioFormat format, int sampleRate, float gain,
                           std::string& error) {
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = 2;
  switch (format) {
    case AudioFormat::kWav16:
      info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
      break;
    case AudioFormat::kWav24:
      info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
      break;
    case AudioFormat::kWavFloat:
      info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
      break;
    case AudioFormat::kFlac16:
      info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
      break;
    case AudioFormat::kFlac24:
      info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
      break;
  }
  path_ = path;
  partial_ = std::make_unique<PartialFile>(path);
  SNDFILE* file = sf_open(partial_->WritePath().c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    error = path + ": cannot write the audio file (" + sf_strerror(nullptr) + ")";
    partial_.reset();
    return false;
  }
  // A float WAV gets a PEAK chunk with the time of writing unless told otherwise.
  sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
  // Values beyond full scale are clipped rather than wrapped in integer formats.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  file_ = std::make_unique<SndFile>(SndFile{file});
  shorts_ = format == AudioFormat::kWav16;
  clips_ = format != AudioFormat::kWavFloat;
  gain_ = gain;
  if (shorts_)
    shortBuffer_.assign(static_cast<size_t>(2 * kBufferFrames), 0);
  else
    floatBuffer_.assign(static_cast<size_t>(2 * kBufferFrames), 0.0f);
  buffered_ = 0;
  stats_ = AudioStats{};
  return true;
}

bool AudioFileWriter::Write(const float* left, const float* right, int64_t frames, std::string& error) {
  if (file_ == nullptr) {
    error = path_ + ": the audio file is not open";
    return false;
  }
  while (frames > 0) {
    const int64_t n = std::min(frames, kBufferFrames - buffered_);
    if (shorts_)
      Convert<true>(left, right, n, gain_, clips_, stats_.frames, shortBuffer_.data() + 2 * buffered_, stats_);
    else
      Convert<false>(left, right, n, gain_, clips_, stats_.frames, floatBuffer_.data() + 2 * buffered_, stats_);
    buffered_ += n;
    stats_.frames += n;
    left += n;
    right += n;
    frames -= n;
    if (buffered_ == kBufferFrames && !Flush(error)) return false;
  }
  return true;
}

bool AudioFileWriter::Flush(std::string& error) {
  if (buffered_ == 0) return true;
  const sf_count_t written = shorts_ ? sf_writef_short(file_->handle, shortBuffer_.data(), buffered_)
                                     : sf_writef_float(file_->handle, floatBuffer_.data(), buffered_);
  if (written != buffered_) {
    error = path_ + ": writing the audio failed (disk full?)";
    return false;
  }
  buffered_ = 0;
  return true;
}

bool AudioFileWriter::Close(std::string& error) {
  if (file_ == nullptr) return true;
  const bool flushed = Flush(error);
  const int closed = sf_close(file_->handle);
  file_.reset();
  if (flushed && closed != 0) error = path_ + ": writing the audio failed (disk full?)";
  const bool complete = flushed && closed == 0 && partial_->Commit(error);
  partial_.reset();  // removes the file unless it was put in place
  return complete;
}

}  // namespace chantera::render
