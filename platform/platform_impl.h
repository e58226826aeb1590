// The native side of the platform layer: one implementation per operating system
// (platform/posix, platform/win32). Only platform/common calls these directly.
#pragma once

#include <cstdint>

namespace chantera::platform::detail {
int ShowMessageNative(const char* text, const char* caption);
void SleepNative(uint32_t ms);
uint32_t TickCountNative();
void BeepNative(uint32_t frequencyHz, uint32_t durationMs);
}  // namespace chantera::platform::detail
