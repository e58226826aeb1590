#include "params/programs.h"

#include <algorithm>
#include <cstring>

namespace chantera {

KeyMap::KeyMap() {
  for (auto& entry : entries_) entry.store(0, std::memory_order_relaxed);
}

void KeyMap::Publish(const KeyTable& table) noexcept {
  // Sequence odd while the entries change, even when they are complete.
  const uint32_t start = sequence_.load(std::memory_order_relaxed);
  sequence_.store(start + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (size_t k = 0; k < table.size(); ++k) entries_[k].store(table[k], std::memory_order_relaxed);
  sequence_.store(start + 2, std::memory_order_release);
}

bool KeyMap::Snapshot(KeyTable& out, uint32_t& seenSequence) const noexcept {
  for (int attempt = 0; attempt < 64; ++attempt) {
    const uint32_t before = sequence_.load(std::memory_order_acquire);
    if (before == seenSequence) return true;  // nothing new since the last copy
    if (before & 1u) continue;                // a writer is in the middle of the table
    KeyTable copy;
    for (size_t k = 0; k < copy.size(); ++k) copy[k] = entries_[k].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (sequence_.load(std::memory_order_relaxed) == before) {
      out = copy;
      seenSequence = before;
      return true;
    }
  }
  return false;
}

void ProgramSet::BuildKeyMap(int32_t p, KeyTable& table) const {
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
