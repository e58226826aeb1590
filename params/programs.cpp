#include "params/programs.h"

#include <algorithm>
#include <cstring>

namespace chantera {

void ProgramSet::BuildKeyMap(int32_t p, KeyTable& table) const noexcept {
  table.fill(0);
  if (p < 0 || p >= kProgramCount) return;
  const ProgramRecord& record = records[static_cast<size_t>(p)];
  if (record.rangeCount < 1) return;
  const size_t count = std::min(static_cast<size_t>(record.rangeCount), record.ranges.size());
  for (size_t r = 0; r < count; ++r) {
    const KeyRange& range = record.ranges[r];
    // Keys outside the table are clipped off; an inverted range sets nothing.
    const int32_t low = std::max(range.lowKey, 0);
    const int32_t high = std::min(range.highKey, kKeyCount - 1);
    for (int32_t k = low; k <= high; ++k) table[static_cast<size_t>(k)] = range.sampleIndex;
  }
}

void CopyProgramName(char* dst, const char* src) {
  std::memset(dst, 0, kProgramNameLength + 1);
  if (src == nullptr) return;
  std::strncpy(dst, src, kProgramNameLength);
}

}  // namespace chantera
