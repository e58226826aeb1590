// Loading one WAV file into a Sample (or taking the data another sample read from it, see
// shared_wavs.h), its sustain loop, and the bounds that keep GetValue inside the data.
#include "library/sample.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "library/load_report.h"
#include "library/shared_wavs.h"
#include "library/wave_decode.h"
#include "library/wave_reader.h"
#include "platform/platform.h"

namespace chantera {
namespace {

// Read in pieces: the reader's count is a signed 32-bit number.
constexpr uint32_t kReadPiece = 1u << 30;

// The loop's crossfade: 10 ms of the sound around the loop's start (at the sample's own
// rate), at most half the loop.
constexpr double kLoopFadeSeconds = 0.010;

// The stored values of one channel as GetValue reads them, and their inverse.
struct Values {
  uint8_t* pcm;
  bool sixteen;
  uint32_t channels;
  uint32_t channel;
  uint32_t Index(uint32_t frame) const { return channels == 1 ? frame : 2u * frame + channel; }
  int32_t Get(uint32_t frame) const {
    const uint32_t i = Index(frame);
    return sixteen ? DecodeTo16(WaveEncoding::kSigned16, pcm + 2u * i) : DecodeTo16(WaveEncoding::kUnsigned8, pcm + i);
  }
  void Set(uint32_t frame, double value) const {
    const uint32_t i = Index(frame);
    const long rounded = std::lround(value);
    if (sixteen) {
      const auto v = static_cast<uint16_t>(static_cast<int16_t>(std::clamp<long>(rounded, -32768, 32767)));
      pcm[2u * i] = static_cast<uint8_t>(v & 0xFFu);
      pcm[2u * i + 1] = static_cast<uint8_t>(v >> 8);
    } else {
      pcm[i] = static_cast<uint8_t>(std::clamp<long>(rounded, -128, 127) + 128);
    }
  }
};

// True when the loop's wrap (last looped frame, then the first) steps no further than the
// sound itself does on either side of it: such a loop was cut well and is left alone.
bool SeamIsSmooth(const Values& v, uint32_t start, uint32_t end) {
  const int32_t seam = std::abs(v.Get(start) - v.Get(end - 1));
  const int32_t before = std::abs(v.Get(end - 1) - v.Get(end - 2));
  const int32_t after = std::abs(v.Get(start + 1) - v.Get(start));
  return seam <= 2 * std::max(before, after) + 2;
}

// Makes the loop's wrap seamless without changing its length: the frames just before the
// loop's end are blended toward the frames just before its start, and the frames from its
// end on toward the frames from its start on, both fully at the end itself and fading to
// the recording's own sound within `fade` frames. So the last looped frame is the frame
// before the start (the wrap continues the sound as it was), and a released note, which
// plays on through the end, also passes it without a step. With no sound before the loop
// (a loop from frame 0) the start is blended toward what follows the end instead.
void CrossfadeSeam(const Values& v, uint32_t start, uint32_t end, uint32_t frames, uint32_t fade) {
  const uint32_t length = end - start;
  const uint32_t pre = std::min({fade, start, length / 2});
  const uint32_t post = std::min({fade, frames - end, length / 2});
  for (uint32_t k = 1; k <= pre; ++k) {  // frames end - k, blended toward start - k
    const double w = static_cast<double>(pre + 1 - k) / pre;
    const double a = v.Get(end - k);
    v.Set(end - k, a + w * (v.Get(start - k) - a));
  }
  if (pre != 0) {
    for (uint32_t k = 0; k < post; ++k) {  // frames end + k, blended toward start + k
      const double w = static_cast<double>(post - k) / post;
      const double a = v.Get(end + k);
      v.Set(end + k, a + w * (v.Get(start + k) - a));
    }
  } else {
    for (uint32_t k = 0; k < post; ++k) {  // frames start + k, blended toward end + k
      const double w = static_cast<double>(post - k) / post;
      const double a = v.Get(start + k);
      v.Set(start + k, a + w * (v.Get(end + k) - a));
    }
  }
}

// The data chunk of an open reader as a sample holds them: converted to 16-bit values when
// they are of a converted encoding, and only as many bytes as the file supplied (whole:
// all the chunk claims). data is null when no memory can be had.
struct StoredData {
  std::shared_ptr<uint8_t[]> data;
  uint32_t size = 0;
  bool whole = false;
};

StoredData ReadData(WaveReader& reader, WaveEncoding encoding) {
  // The data chunk's stored size is not checked against the file: never allocate more
  // than the file can still supply, so a corrupt header cannot claim gigabytes.
  const uint32_t claimed = reader.dataSize;
  const auto capacity = static_cast<uint32_t>(std::min<uint64_t>(claimed, reader.BytesRemaining()));
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[capacity == 0 ? 1 : capacity]);
  if (!buffer) return {};

  uint32_t got = 0;
  while (got < capacity) {
    const uint32_t want = std::min(capacity - got, kReadPiece);
    const int32_t n = reader.Read(buffer.get() + got, static_cast<int32_t>(want));
    if (n > 0) got += static_cast<uint32_t>(n);
    if (n < 0 || static_cast<uint32_t>(n) < want) break;  // end of file or read error
  }

  // Only the bytes that arrived count as data; the sample plays what the file holds.
  StoredData stored;
  stored.size = got;
  stored.whole = got >= claimed;
  uint32_t allocated = capacity == 0 ? 1 : capacity;
  if (IsConverted(encoding)) {
    // To 16-bit values, which the renderer reads as it reads a 16-bit file's.
    buffer = ConvertTo16(encoding, {buffer.get(), got}, stored.size);
    if (!buffer) return {};
    allocated = stored.size == 0 ? 1 : stored.size;
  }
  stored.data = CountedData(std::move(buffer), allocated);
  return stored;
}

}  // namespace

bool Sample::TakeShared(const SharedWav& wav, const platform::FileIdentity& identity, bool& loaded) {
  if (!(wav.identity == identity)) return false;
  sampleRate = wav.sampleRate;
  bitsPerSample = wav.bitsPerSample;
  channels = wav.channels;
  blockAlign = wav.blockAlign;
  pcm = wav.data;
  dataSize = wav.dataSize;
  UpdateLayout();
  loopStart = wav.loopStart;
  loopEnd = wav.loopEnd;
  shared_ = true;
  loaded = wav.loaded;
  return true;
}

void Sample::Publish(const std::string& path, const platform::FileIdentity& identity, bool loaded,
                     uint64_t folderVersion) {
  if (!pcm) return;
  shared_wavs::Publish(path.c_str(), {identity, pcm, dataSize, sampleRate, bitsPerSample, channels, blockAlign,
                                      loopStart, loopEnd, loaded, folderVersion});
  shared_ = true;
}

bool Sample::OwnData() noexcept {
  if (!shared_ || !pcm) return true;
  std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[dataSize == 0 ? 1 : dataSize]);
  if (!copy) return false;
  std::memcpy(copy.get(), pcm.get(), dataSize);
  std::shared_ptr<uint8_t[]> own = CountedData(std::move(copy), dataSize == 0 ? 1 : dataSize);
  if (!own) return false;
  pcm = std::move(own);
  shared_ = false;
  return true;
}

bool Sample::SetLoop(uint32_t firstFrame, uint32_t lastFrame) noexcept {
  ClearLoop();
  if (!pcm || lastFrame < firstFrame || lastFrame >= readableFrames) return false;
  if (lastFrame - firstFrame + 1 < kMinLoopFrames) return false;
  if (!OwnData()) return false;  // the crossfade below writes into the data
  loopStart = firstFrame;
  loopEnd = lastFrame + 1;
  const auto fade = static_cast<uint32_t>(std::max(1.0, kLoopFadeSeconds * sampleRate));
  const uint32_t layoutChannels = channels == 1 ? 1u : 2u;
  const auto channel = [&](uint32_t c) { return Values{pcm.get(), bitsPerSample == 16, channels, c}; };
  // A loop over the whole file has no sound on either side of it to blend toward. When
  // its ends do not meet, it starts a fade later: the end is blended toward the file's
  // first frames, which the note still plays once, as recorded, when it begins.
  if (loopStart == 0 && loopEnd == readableFrames) {
    bool smooth = true;
    for (uint32_t c = 0; c < layoutChannels; ++c) smooth = smooth && SeamIsSmooth(channel(c), loopStart, loopEnd);
    if (!smooth) loopStart = std::min(fade, (loopEnd - loopStart) / 4);
  }
  for (uint32_t c = 0; c < layoutChannels; ++c) {
    const Values values = channel(c);
    if (!SeamIsSmooth(values, loopStart, loopEnd)) CrossfadeSeam(values, loopStart, loopEnd, readableFrames, fade);
  }
  return true;
}

void Sample::SetData(std::unique_ptr<uint8_t[]> data, uint32_t size) noexcept {
  ClearLoop();
  pcm = CountedData(std::move(data), size == 0 ? 1 : size);
  shared_ = false;
  dataSize = pcm ? size : 0;
  UpdateLayout();
}

void Sample::UpdateLayout() noexcept {
  if (!pcm || blockAlign == 0) {
    readableFrames = 0;
    return;
  }
  // GetValue reads by bitsPerSample and channels, not by blockAlign: a file whose
  // blockAlign is smaller than its frames really are would let the last frames read past
  // the data, so the frame count is also limited by what GetValue touches per frame.
  const uint32_t bytesPerFrame = bitsPerSample == 16 ? (channels == 1 ? 2u : 4u) : (channels == 1 ? 1u : 2u);
  readableFrames = std::min(dataSize / blockAlign, dataSize / bytesPerFrame);
}

bool Sample::LoadFromWav(const std::string& path, const platform::Folder* folder, const std::string& name,
                         LoadReport* given) {
  if (path.empty()) return false;
  // A file that another sample of this process has read from the same path, unchanged
  // since (the same identity), is not read again: its data are shared. Only a path that
  // some sample still holds data of costs the look-up of its identity; for a name found
  // only by the letter-case search, the identity is that of the file the reader opened.
  // Not even that when the system watches the folder and nothing in it has changed since
  // (the same version): a plain file of one name cannot have changed unseen.
  const bool named = folder != nullptr && !name.empty();
  SharedWav known;
  const bool readBefore = shared_wavs::Find(path.c_str(), known);
  const uint64_t folderVersion = named && folder->Watches(name.c_str()) ? folder->Version() : 0;
  bool loaded = false;
  const bool unchanged = folderVersion != 0 && known.folderVersion == folderVersion && known.identity.links == 1;
  if (readBefore && unchanged && TakeShared(known, known.identity, loaded)) return loaded;
  platform::FileIdentity identity;
  if (readBefore &&
      (named ? folder->Identify(name.c_str(), identity) : platform::IdentifyFile(path.c_str(), identity)) &&
      TakeShared(known, identity, loaded)) {
    shared_wavs::Confirm(path.c_str(), identity, folderVersion);
    return loaded;
  }
  WaveReader reader;
  // Data that are not plain samples (compressed, or of an unknown kind) would play as
  // noise: such a file is as unreadable as one that is no WAV file at all.
  const WaveEncoding encoding = reader.Open(path.c_str()) == 0 ? EncodingOf(reader) : WaveEncoding::kUnreadable;
  if (encoding == WaveEncoding::kUnreadable) {
    LoadReportScope(given)->Fail(LoadFailureKind::kWaveFile, path);
    return false;
  }
  const bool identified = platform::IdentifyOpenFile(reader.handle.get(), identity);
  if (readBefore && identified && TakeShared(known, identity, loaded)) {
    shared_wavs::Confirm(path.c_str(), identity, folderVersion);
    return loaded && reader.Close() == 0;
  }
  known = {};  // the data read before are not held while this file is read

  const StoredData stored = ReadData(reader, encoding);
  if (!stored.data) return false;  // out of memory: the sample keeps what it had
  sampleRate = reader.format.samplesPerSec;
  channels = reader.format.channels;
  bitsPerSample = IsConverted(encoding) ? 16 : reader.format.bitsPerSample;
  blockAlign = IsConverted(encoding) ? 2 * channels : reader.format.blockAlign;
  pcm = stored.data;
  shared_ = false;
  dataSize = stored.size;
  UpdateLayout();
  ClearLoop();
  if (!stored.whole) {
    if (identified) Publish(path, identity, false, folderVersion);
    return false;
  }
  // A sustain loop is optional: a file without one, or with one that cannot be used,
  // plays once as before, with no message.
  uint32_t loopFirst = 0, loopLast = 0;
  if (reader.ReadLoop(loopFirst, loopLast)) SetLoop(loopFirst, loopLast);
  const bool closed = reader.Close() == 0;
  if (identified) Publish(path, identity, closed, folderVersion);
  return closed;
}

}  // namespace chantera
