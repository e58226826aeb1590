// The Chorus loader thread. One run works through a bank's loaded samples in slot order:
// rebuild, pause a quarter of the time the rebuild took, publish the slot's index. The
// renderer reads only slots up to the published index while the run is busy, so a
// sample's new data must be complete before its index is stored (release), and the run's
// end is stored only after its last publication.
#include "library/loader.h"

#include <mutex>
#include <new>

#include "library/chorus_builder.h"
#include "library/sample_bank.h"

namespace chantera {

namespace {

// Makes "is a run active on this bank? then mark one" a single step, so two reloads of
// one bank on two threads can never start two runs over it. Held for a few stores.
std::mutex startGuard;

void RunDetached(void* arg) {
  // The thread's own reference: the bank outlives an instrument that gave up waiting.
  std::unique_ptr<std::shared_ptr<SampleBank>> bank(static_cast<std::shared_ptr<SampleBank>*>(arg));
  LoaderThread(**bank);
}

}  // namespace

void StartLoader(const std::shared_ptr<SampleBank>& bank, bool effectOn) {
  if (!effectOn || !bank) return;
  {
    std::lock_guard<std::mutex> lock(startGuard);
    if (bank->loaderBusy.load(std::memory_order_acquire)) return;  // a run still owns the bank
    // Raised here rather than by the thread, so that a waiter that looks right after this
    // call already sees the run, and a renderer that sees it busy sees no old progress.
    bank->loaderProgress.store(-1, std::memory_order_relaxed);
    bank->loaderBusy.store(true, std::memory_order_release);
  }
  auto* reference = new (std::nothrow) std::shared_ptr<SampleBank>(bank);
  if (reference != nullptr && platform::StartDetachedThread(RunDetached, reference)) return;
  delete reference;
  // No thread: no run. The samples keep their recorded data.
  bank->loaderBusy.store(false, std::memory_order_release);
}

void LoaderThread(SampleBank& bank) {
  bank.loaderProgress.store(-1, std::memory_order_relaxed);
  bank.loaderBusy.store(true, std::memory_order_release);
  std::vector<double> workspace;
  for (int32_t i = 0; i < bank.sampleCount.load(std::memory_order_acquire); ++i) {
    if (bank.loaderStop.load(std::memory_order_acquire)) break;
    const uint32_t before = platform::TickCountMs();
    if (Sample* sample = bank.slot(i)) RebuildSample(*sample, workspace);
    const uint32_t elapsed = platform::TickCountMs() - before;  // modular: the tick count wraps
    platform::SleepMs(elapsed / 4);
    bank.loaderProgress.store(i, std::memory_order_release);
  }
  bank.loaderBusy.store(false, std::memory_order_release);
}

}  // namespace chantera
