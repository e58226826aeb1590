// How an instrument's voice changes hands between threads without the audio thread ever
// waiting: a new voice is built whole on some other thread, then left in a mailbox that
// the audio thread empties at the start of a block; the voice it gave up comes back
// through a second mailbox to be freed off the audio thread.
//
// Requests. A voice selection (bank select, the Voice parameter, a restored project) or
// an Effect switch sets what the next voice is to be (entry of voice.csv, Chorus on or
// off) and is then built either
// - at once, on the calling thread (a control thread, or the audio thread of a host that
//   renders offline, where the switch must fall on its exact frame), or
// - in the background, on the instrument's own voice loader thread: the request itself
//   only stores a few atomics and wakes the loader, so it is safe on a real-time thread.
// Builds run one at a time, each from the latest request, so a burst of requests ends in
// one voice that answers them all. A build that has not been taken yet is replaced by a
// newer one (and freed by its builder: the audio thread never saw it).
//
// Ownership: every voice belongs to exactly one place at a time: the mailbox, the audio
// thread (the voice it sings and those its fading notes still play), or the list of
// voices handed back. Control threads reach the newest voice built, only under the lock
// of WithNewest; a voice handed back is never the newest, so the loader frees it without
// that lock.
//
// Messages: every build runs under the instance's own message route, on whatever thread
// builds it, so that what one instance could not read is counted and routed as its own
// however many instances share the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "library/voice.h"
#include "platform/platform.h"

namespace chantera {

class VoiceSwitch {
 public:
  // Starts the voice loader thread; the builds' messages go to messageSink (null: where
  // the module's go) until Messages() says otherwise. Control thread.
  explicit VoiceSwitch(std::string pluginDir, platform::MessageSink messageSink = nullptr);
  // Stops the loader (Stop) and frees every voice still here. Control thread.
  ~VoiceSwitch();
  VoiceSwitch(const VoiceSwitch&) = delete;
  VoiceSwitch& operator=(const VoiceSwitch&) = delete;

  // Lets a build under way finish, then ends the loader thread and frees what was handed
  // back. Control thread, while no audio operation runs; called once, before destruction.
  void Stop();

  // ---- Requests -------------------------------------------------------------------------
  // The next voice is entry index of voice.csv (entry 0 when the list has none such), and
  // it answers a selection: the instrument applies its current program to it.
  void SelectVoice(int32_t index) noexcept;
  // The next voice is loaded for the Chorus (on) or as recorded (off). False when that is
  // already what the next voice will be: nothing is to be built.
  bool SetEffect(bool on) noexcept;
  // Builds the voice requested last on the calling thread and leaves it for Take. May
  // throw (out of memory): the voice stays as it was. Any thread that may wait and read
  // files; waits for a build under way on another thread.
  void BuildNow();
  // Has the loader build it. Never waits, allocates nothing. Thread: any.
  void BuildInBackground() noexcept;

  // ---- The audio thread ------------------------------------------------------------------
  // The newest complete voice not yet taken, or null. Audio thread (or a control thread
  // while no audio runs).
  Voice* Take() noexcept;
  // Hands a voice the audio thread no longer reads back, to be freed on the loader thread.
  // Lock-free and allocation-free. Thread: audio thread.
  void HandBack(Voice* voice) noexcept;

  // ---- What a control thread sees ---------------------------------------------------------
  // Calls f(voice) with the newest voice built, under the lock that keeps it alive and
  // its program names steady. Control threads only (never the audio thread).
  template <class F>
  decltype(auto) WithNewest(F&& f) const {
    std::lock_guard<std::mutex> lock(newestMutex_);
    return f(*newest_);
  }
  // The entry requested last (the one loaded, once a build has settled it).
  int32_t RequestedVoice() const noexcept { return targetVoice_.load(std::memory_order_relaxed); }
  // The Chorus state requested last.
  bool EffectRequested() const noexcept { return targetEffect_.load(std::memory_order_relaxed); }
  // A request the audio thread has not taken over yet (built or not).
  bool Pending() const noexcept;
  // A request not built yet, or a Chorus run still rebuilding the newest voice. Control thread.
  bool Busy() const;
  // The messages the builds have shown, and where they go. Thread: any.
  platform::MessageRoute& Messages() noexcept { return messages_; }

 private:
  void Request() noexcept;
  // Caller holds buildMutex_.
  void Build();
  void LoaderThread();
  void FreeHandedBack() noexcept;

  const std::string pluginDir_;
  platform::MessageRoute messages_;
  std::atomic<int32_t> targetVoice_{0};
  std::atomic<bool> targetEffect_{false};
  std::atomic<bool> selectionAsked_{false};  // a selection since the last build began
  std::atomic<uint64_t> requested_{0};       // counts the requests
  std::atomic<uint64_t> built_{0};           // the request the newest build answers
  std::atomic<uint64_t> taken_{0};           // the request of the voice taken last
  std::atomic<bool> backgroundAsked_{false};

  std::atomic<Voice*> mailbox_{nullptr};
  std::atomic<Voice*> handedBack_{nullptr};

  std::mutex buildMutex_;
  mutable std::mutex newestMutex_;
  Voice* newest_ = nullptr;  // under newestMutex_; owned elsewhere (see above)

  platform::Doorbell wake_;  // the loader sleeps on it
  std::atomic<bool> stopping_{false};
  std::thread loader_;
};

}  // namespace chantera
