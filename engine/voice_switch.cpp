#include "engine/voice_switch.h"

#include <utility>

namespace chantera {

namespace {
// Raises value to at least n; lock-free (the audio thread calls it).
void StoreMax(std::atomic<uint64_t>& value, uint64_t n) noexcept {
  uint64_t seen = value.load(std::memory_order_relaxed);
  while (seen < n && !value.compare_exchange_weak(seen, n, std::memory_order_acq_rel, std::memory_order_relaxed)) {
  }
}
}  // namespace

VoiceSwitch::VoiceSwitch(std::string pluginDir, platform::MessageSink messageSink) : pluginDir_(std::move(pluginDir)) {
  messages_.sink.store(messageSink, std::memory_order_release);
  loader_ = std::thread([this] { LoaderThread(); });
}

VoiceSwitch::~VoiceSwitch() {
  Stop();
  delete mailbox_.exchange(nullptr, std::memory_order_acq_rel);
  FreeHandedBack();
}

void VoiceSwitch::Stop() {
  if (!loader_.joinable()) return;
  stopping_.store(true, std::memory_order_release);
  wake_.Ring();
  loader_.join();
  FreeHandedBack();
}

void VoiceSwitch::Request() noexcept {
  requested_.fetch_add(1, std::memory_order_acq_rel);
}

void VoiceSwitch::SelectVoice(int32_t index) noexcept {
  targetVoice_.store(index, std::memory_order_release);
  selectionAsked_.store(true, std::memory_order_release);
  Request();
}

bool VoiceSwitch::SetEffect(bool on) noexcept {
  if (targetEffect_.exchange(on, std::memory_order_acq_rel) == on) return false;
  Request();
  return true;
}

void VoiceSwitch::BuildNow() {
  std::lock_guard<std::mutex> lock(buildMutex_);
  Build();
}

void VoiceSwitch::BuildInBackground() noexcept {
  backgroundAsked_.store(true, std::memory_order_release);
  wake_.Ring();
}

void VoiceSwitch::Build() {
  const uint64_t request = requested_.load(std::memory_order_acquire);
  // Another build answered this request already (an at-once build while the loader was
  // asked too, or the loader woken twice).
  if (newest_ != nullptr && built_.load(std::memory_order_relaxed) == request) return;
  const int32_t asked = targetVoice_.load(std::memory_order_acquire);
  const bool effectOn = targetEffect_.load(std::memory_order_acquire);
  const bool selection = selectionAsked_.exchange(false, std::memory_order_acq_rel);
  std::unique_ptr<Voice> voice;
  try {
    // The records the instrument has now: a program the new voice's file does not list
    // keeps its record, as when the file is read again over the old one.
    ProgramSet programs;
    {
      std::lock_guard<std::mutex> lock(newestMutex_);
      if (newest_ != nullptr) programs = newest_->programs;
    }
    const platform::ScopedMessageRoute route(&messages_);
    voice = LoadVoice(pluginDir_, asked, effectOn, programs);
  } catch (...) {
    // Out of memory: the voice stays as it is, and the request counts as answered.
    if (selection) selectionAsked_.store(true, std::memory_order_release);
    built_.store(request, std::memory_order_release);
    StoreMax(taken_, request);
    throw;
  }
  voice->request = request;
  voice->selection = selection;
  const int32_t loaded = voice->index;
  Voice* displaced = nullptr;
  {
    std::lock_guard<std::mutex> lock(newestMutex_);
    // A voice left here before and not taken was never sung: this one replaces it, and
    // answers its selection too.
    displaced = mailbox_.exchange(nullptr, std::memory_order_acq_rel);
    if (displaced != nullptr) voice->selection = voice->selection || displaced->selection;
    newest_ = voice.get();
    mailbox_.store(voice.release(), std::memory_order_release);
  }
  // The entry that was loaded (0 for one not listed), unless a newer selection came.
  int32_t expected = asked;
  targetVoice_.compare_exchange_strong(expected, loaded, std::memory_order_acq_rel);
  built_.store(request, std::memory_order_release);
  delete displaced;
}

Voice* VoiceSwitch::Take() noexcept {
  Voice* voice = mailbox_.exchange(nullptr, std::memory_order_acq_rel);
  if (voice != nullptr) StoreMax(taken_, voice->request);
  return voice;
}

void VoiceSwitch::HandBack(Voice* voice) noexcept {
  if (voice == nullptr) return;
  Voice* head = handedBack_.load(std::memory_order_relaxed);
  do {
    voice->nextRetired = head;
  } while (!handedBack_.compare_exchange_weak(head, voice, std::memory_order_release, std::memory_order_relaxed));
  wake_.Ring();
}

void VoiceSwitch::FreeHandedBack() noexcept {
  Voice* voice = handedBack_.exchange(nullptr, std::memory_order_acquire);
  while (voice != nullptr) {
    Voice* next = voice->nextRetired;
    delete voice;
    voice = next;
  }
}

bool VoiceSwitch::Pending() const noexcept {
  return taken_.load(std::memory_order_acquire) != requested_.load(std::memory_order_acquire);
}

bool VoiceSwitch::Busy() const {
  if (built_.load(std::memory_order_acquire) != requested_.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> lock(newestMutex_);
  return newest_ != nullptr && newest_->bank->loaderBusy.load(std::memory_order_acquire);
}

void VoiceSwitch::LoaderThread() {
  for (;;) {
    FreeHandedBack();
    if (stopping_.load(std::memory_order_acquire)) return;
    if (backgroundAsked_.exchange(false, std::memory_order_acq_rel)) {
      try {
        BuildNow();
      } catch (...) {
        // Out of memory: the old voice sings on.
      }
      continue;
    }
    wake_.Wait();
  }
}

}  // namespace chantera
