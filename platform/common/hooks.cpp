// Replaceable hooks of the platform layer and the parts that are the same everywhere.
#include "platform/platform.h"
#include "platform/platform_impl.h"

#include <atomic>
#include <cstring>

namespace chantera::platform {
namespace {
std::atomic<MessageSink> messageSink{nullptr};
std::atomic<uint32_t> messagesShown{0};
std::atomic<SleepHook> sleepHook{nullptr};
std::atomic<TickHook> tickHook{nullptr};
std::atomic<BeepHook> beepHook{nullptr};
thread_local MessageRoute* threadRoute = nullptr;
}  // namespace

int ShowMessage(const char* text, const char* caption) {
  messagesShown.fetch_add(1, std::memory_order_relaxed);
  if (MessageRoute* route = threadRoute) {
    route->shown.fetch_add(1, std::memory_order_relaxed);
    if (MessageSink sink = route->sink.load(std::memory_order_acquire)) return sink(text, caption);
  }
  if (MessageSink sink = messageSink.load(std::memory_order_acquire)) return sink(text, caption);
  return detail::ShowMessageNative(text, caption);
}
ScopedMessageRoute::ScopedMessageRoute(MessageRoute* route) noexcept : previous_(threadRoute) {
  threadRoute = route;
}
ScopedMessageRoute::~ScopedMessageRoute() {
  threadRoute = previous_;
}
MessageSink SetMessageSink(MessageSink sink) {
  return messageSink.exchange(sink);
}
uint32_t MessagesShown() {
  return messagesShown.load(std::memory_order_relaxed);
}

void SleepMs(uint32_t ms) {
  if (SleepHook hook = sleepHook.load(std::memory_order_acquire)) return hook(ms);
  detail::SleepNative(ms);
}
uint32_t TickCountMs() {
  if (TickHook hook = tickHook.load(std::memory_order_acquire)) return hook();
  return detail::TickCountNative();
}
void Beep(uint32_t frequencyHz, uint32_t durationMs) {
  if (BeepHook hook = beepHook.load(std::memory_order_acquire)) return hook(frequencyHz, durationMs);
  detail::BeepNative(frequencyHz, durationMs);
}
SleepHook SetSleepHook(SleepHook hook) {
  return sleepHook.exchange(hook);
}
TickHook SetTickHook(TickHook hook) {
  return tickHook.exchange(hook);
}
BeepHook SetBeepHook(BeepHook hook) {
  return beepHook.exchange(hook);
}

bool IsDBCSLeadByte(uint8_t byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool IsValidUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(text[i + k]) >> 6) != 2) return false;
    i += n;
  }
  return true;
}

bool IsRootDirectory(const char* dir) {
  if (dir == nullptr) return false;
  const size_t n = std::strlen(dir);
  if (n == 1 && (dir[0] == '/' || dir[0] == '\\')) return true;
  return n == 2 && dir[1] == ':';
}

}  // namespace chantera::platform
