// The 129 programs (one per sung syllable) and the key map of the current program.
//
// Threads: the records are read by program selection (host thread, or the audio thread
// for a phonetic commit) and rewritten by a reload of "programs.txt" (the reloading
// thread); both hold the set's mutex, which is never held across anything slower than
// building one 128-entry table or reading one program file while rendering is kept away.
// The key map is published for the audio thread with a sequence counter: the writer
// (under the mutex) marks the table busy, stores the 128 entries and marks it complete;
// the audio thread copies it into a snapshot and retries when a write overlapped, so it
// never sees a half-built map and never waits on a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace chantera {

inline constexpr int kProgramCount = 129;
inline constexpr int kKeyCount = 128;
inline constexpr int kProgramNameLength = 24;

struct KeyRange {
  int32_t lowKey = 0;
  int32_t highKey = 0;
  int32_t sampleIndex = 0;
};

struct ProgramRecord {
  int32_t rangeCount = 0;
  std::vector<KeyRange> ranges;
  float volume = 1.0f;
  int32_t pitchBendRange = 2;
  char name[kProgramNameLength + 1] = "Default";
};

using KeyTable = std::array<int32_t, kKeyCount>;

// The key map of the current program, readable from the audio thread without a lock.
class KeyMap {
 public:
  KeyMap();
  // Thread: any, with the owning ProgramSet's mutex held (one writer at a time).
  void Publish(const KeyTable& table) noexcept;
  // Copies the latest complete table into out unless seenSequence says out already holds
  // it. Returns false (out unchanged) only when writers kept overlapping the copy; the
  // caller then keeps its previous snapshot and tries again at its next stretch.
  // Thread: any (the audio thread at every stretch); lock-free, allocation-free.
  bool Snapshot(KeyTable& out, uint32_t& seenSequence) const noexcept;

 private:
  std::atomic<uint32_t> sequence_{0};
  std::array<std::atomic<int32_t>, kKeyCount> entries_;
};

class ProgramSet {
 public:
  ProgramSet() = default;

  // Fills table from program p's ranges: every key 0, then each range in list order sets
  // its keys (later ranges win; inverted ranges set nothing; keys outside 0..127 are
  // clipped off). Caller holds mutex.
  void BuildKeyMap(int32_t p, KeyTable& table) const;

  std::array<ProgramRecord, kProgramCount> records;
  mutable std::mutex mutex;
  KeyMap keyMap;
};

// Copies a program name: at most 24 bytes, zero-filled to 24, and a zero at position 24.
void CopyProgramName(char* dst, const char* src);

}  // namespace chantera
