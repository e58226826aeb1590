// The WAV files read in this process, by path and identity: what a load made of each, and
// its data while some sample still holds them, so that every instance that loads the same
// unchanged file shares one copy (see sample.h, "Sharing"). And the count of the sample
// data alive in the process.
// Thread: any loading thread; a look-up or a note takes a lock held only for that.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace chantera {

// What one load made of a file.
struct SharedWav {
  platform::FileIdentity identity;
  std::shared_ptr<uint8_t[]> data;
  uint32_t dataSize = 0, sampleRate = 0, bitsPerSample = 0, channels = 0, blockAlign = 0;
  uint32_t loopStart = 0, loopEnd = 0;
  bool loaded = false;         // what the load answered
  uint64_t folderVersion = 0;  // of the watched folder the file was identified in, else 0
};

namespace shared_wavs {

// What another sample read from path, its data held by wav; false when no sample holds
// data read from there any more.
bool Find(const char* path, SharedWav& wav);
// Offers wav, just read from path, to later loads of the same file.
void Publish(const char* path, const SharedWav& wav);
// The file at path was found unchanged (identity) after its watched folder reached
// folderVersion: from then on the watch vouches for it, with no look-up.
void Confirm(const char* path, const platform::FileIdentity& identity, uint64_t folderVersion);

}  // namespace shared_wavs

// Data as a sample holds them: shared ownership, counted while alive. Null when data is
// null or no memory can be had for the count (the data are then freed).
std::shared_ptr<uint8_t[]> CountedData(std::unique_ptr<uint8_t[]> data, uint64_t bytes) noexcept;
// Bytes of sample data alive in the process, each shared copy counted once.
uint64_t LiveDataBytes() noexcept;

}  // namespace chantera
