// The 129 programs (one per sung syllable) of a voice, and the key map a program makes.
//
// Threads: a voice's program set is filled while the voice is built (one thread, before
// anyone else sees it) and read afterwards: the audio thread builds key maps from it and
// control threads read volumes, ranges and names. Only a program's name is ever written
// after that, under the owning instrument's lock.
#pragma once

#include <array>
#include <cstdint>
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

class ProgramSet {
 public:
  ProgramSet() = default;

  // Fills table from program p's ranges: every key 0, then each range in list order sets
  // its keys (later ranges win; inverted ranges set nothing; keys outside 0..127 are
  // clipped off). Allocation-free: the audio thread calls it.
  void BuildKeyMap(int32_t p, KeyTable& table) const noexcept;

  std::array<ProgramRecord, kProgramCount> records;
};

// Copies a program name: at most 24 bytes, zero-filled to 24, and a zero at position 24.
void CopyProgramName(char* dst, const char* src);

}  // namespace chantera
