// One recorded sound of a voice: the WAV file's format fields and its data payload
// (interleaved frames, little-endian), with its root frequency. 8-bit and 16-bit PCM data
// are kept exactly as stored; data of other sample formats (24 and 32-bit integers, 32 and
// 64-bit floats, A-law, mu-law) are converted to 16-bit values at load, with the format
// fields to match (see wave_decode.h).
//
// Sharing: the samples of all instances in a process that load the same file, unchanged
// (the same platform::FileIdentity), share one copy of its data, reference-counted; the
// last sample to let go of it frees it. Shared data are never written: a change (the
// Chorus rebuild, a loop set afterwards) gives the sample data of its own first. A file
// that was edited, replaced or touched has another identity and is read again.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/bytes.h"

namespace chantera {

namespace platform {
struct FileIdentity;
class Folder;
}  // namespace platform
struct LoadReport;
struct SharedWav;

// Where the syllable lies in a recording, from the voice's oto.ini (library/voice_timing.h),
// in frames of the recording as the sample holds it (at its own sampleRate, before any
// change of pitch). A recording without an entry has none (`known` false) and starts at its
// note-on, as every recording always has.
//
// The loader keeps the numbers safe to use: offset + preutterance never passes the
// recording's readable frames, and overlap never passes preutterance (it may be negative).
// They describe the recording as the file holds it, and stay true after the Chorus rebuild:
// the rebuilt data hold the recording, unstretched, from frame 0 at its own rate (the
// lowered copies layered under it start there too and are longer; their own vowels come
// later and are not what the timing describes).
struct SampleTiming {
  bool known = false;
  uint32_t offset = 0;        // frames before the sung part, which a note skips
  uint32_t preutterance = 0;  // from the offset to the vowel's first frame: the point on the beat
  int32_t overlap = 0;        // from the offset to where the previous note has faded out
  uint32_t VowelFrame() const noexcept { return offset + preutterance; }
  bool operator==(const SampleTiming&) const = default;
};

class Sample {
 public:
  Sample() = default;
  virtual ~Sample() = default;
  Sample(const Sample&) = delete;
  Sample& operator=(const Sample&) = delete;

  // Loads the format fields and the data from a WAV file; true on success. A file that
  // cannot be opened as RIFF/WAVE, or whose data are no samples it can read (ADPCM, MP3,
  // ...), is a failure ("Wave file load failed." / "Error", see load_report.h: recorded in
  // report when given, else shown as this returns) and leaves the sample as it was. A
  // data chunk that claims more bytes than the file holds keeps only the bytes the file
  // supplies (and answers false, with no message).
  // Thread: whichever thread reloads the bank, never the audio thread during a render.
  // A caller that loads many files of one folder passes the folder, held open, and the
  // name inside it (path being the folder's path and the name).
  bool LoadFromWav(const std::string& path, const platform::Folder* folder = nullptr, const std::string& name = {},
                   LoadReport* report = nullptr);

  void SetFileName(const char* text) { fileName = text ? text : ""; }
  void SetAlias(const char* text) { alias = text ? text : ""; }

  // Value at a frame and channel (0 left, 1 right; other values are masked), as a
  // signed 16-bit number: 16-bit data as stored, anything else as unsigned 8-bit minus
  // 128. Frames at or beyond the end read 0, and so does any read that the stored
  // blockAlign would let run past the data.
  // Thread: audio thread (rendering), noexcept and allocation-free.
  int16_t GetValue(uint32_t frame, int channel) const noexcept {
    if (frame >= readableFrames) return 0;
    const uint32_t c = static_cast<uint32_t>(channel) & 1u;
    if (bitsPerSample == 16) {
      const uint32_t index = channels == 1 ? frame : 2u * frame + c;
      return static_cast<int16_t>(platform::LoadSample16(pcm.get() + 2u * index));
    }
    const uint32_t index = channels == 1 ? frame : 2u * frame + c;
    return static_cast<int16_t>(pcm[index] - 128);
  }

  // Frames that GetValue reads: dataSize / blockAlign, further limited so that no read
  // passes the end of the data (a blockAlign of 0 or one too small for the format).
  uint32_t ReadableFrames() const noexcept { return readableFrames; }

  // Replaces the data (taking ownership) and recomputes the readable frames. The sustain
  // loop belonged to the old data and is dropped.
  void SetData(std::unique_ptr<uint8_t[]> data, uint32_t size) noexcept;

  // The sustain loop: frames loopStart .. loopEnd - 1 repeat while a note is held; after
  // the release the note plays on through loopEnd to the end of the data.
  bool HasLoop() const noexcept { return loopEnd > loopStart; }
  uint32_t LoopStart() const noexcept { return loopStart; }
  uint32_t LoopEnd() const noexcept { return loopEnd; }
  // Takes a loop as a WAV "smpl" chunk stores it (first frame, last frame inclusive) when
  // it is usable: inside the readable frames and at least kMinLoopFrames long. Otherwise
  // the sample has no loop. A usable loop whose ends do not meet smoothly gets a short
  // crossfade written into the data around its end (see sample.cpp); one over the whole
  // file then starts that crossfade's length (at most a quarter of the loop) later, so
  // that its end has the file's first frames to be blended toward. True when taken.
  // Thread: whichever thread loads the sample; never the audio thread during a render.
  bool SetLoop(uint32_t firstFrame, uint32_t lastFrame) noexcept;
  void ClearLoop() noexcept { loopStart = loopEnd = 0; }
  static constexpr uint32_t kMinLoopFrames = 16;
  // Recomputes the readable frames after the format fields or dataSize changed.
  void UpdateLayout() noexcept;

  std::string alias;
  std::string fileName;
  // Set by every load of the bank (none when the voice has no entry for the recording);
  // neither LoadFromWav nor a change of the data (SetData, SetLoop) touches it.
  SampleTiming timing;
  uint32_t dataSize = 0;
  uint32_t sampleRate = 44100;
  uint32_t bitsPerSample = 16;
  uint32_t channels = 1;
  uint32_t blockAlign = 2;
  double rootFrequency = 440.0;
  // Read-only while shared (see above); replaced only through SetData and LoadFromWav.
  std::shared_ptr<uint8_t[]> pcm;

 private:
  // Takes the data another sample read (shared_wavs.h) when the file is still the one
  // read (the same identity), with what LoadFromWav answered then; false otherwise.
  bool TakeShared(const SharedWav& wav, const platform::FileIdentity& identity, bool& loaded);
  // Offers this sample's data (just read from path) to later loads of the same file;
  // folderVersion: the watched folder's version it was identified under, or 0.
  void Publish(const std::string& path, const platform::FileIdentity& identity, bool loaded, uint64_t folderVersion);
  // Before the data are written: data of this sample's own when they are shared. False
  // when no memory can be had (the data are then left alone).
  bool OwnData() noexcept;

  uint32_t readableFrames = 0;
  uint32_t loopStart = 0;
  uint32_t loopEnd = 0;  // one past the loop's last frame; 0: no loop
  bool shared_ = false;  // the data are (or may become) another sample's too
};

}  // namespace chantera
