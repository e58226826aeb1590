// The Chorus loader thread: rebuilds every loaded sample of a bank in slot order, pacing
// itself, and publishes its progress for the renderer.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace chantera {

class SampleBank;

// Starts a loader run over the bank when effectOn. loaderBusy is raised and
// loaderProgress set to -1 before the thread starts, so a waiter always sees a run that
// has started; if no thread can be made the flags fall back at once. The thread keeps
// the bank alive until it ends.
// Thread: the reloading thread, while no other run works on this bank.
void StartLoader(const std::shared_ptr<SampleBank>& bank, bool effectOn);

// The thread body: rebuild, pause a quarter of the time taken, publish; until every
// loaded sample is done or loaderStop is seen at the top of a pass.
void LoaderThread(SampleBank& bank);

// Waits in sleeps of 100 ms while busy() holds. After the 601st sleep (about a minute) it
// calls beforeBeep(), sounds one beep of 1000 Hz for a second and gives up: returns false.
// Returns true as soon as busy() is false.
// Thread: a control thread (host thread, or the audio thread inside a bank select).
struct NothingToDo {
  void operator()() const {}
};
template <class Busy, class BeforeBeep = NothingToDo>
bool WaitWithGiveUp(Busy busy, BeforeBeep beforeBeep = {}) {
  int32_t sleeps = 0;
  while (busy()) {
    platform::SleepMs(100);
    if (++sleeps > 600) {
      beforeBeep();
      platform::Beep(1000, 1000);
      return false;
    }
  }
  return true;
}

}  // namespace chantera
