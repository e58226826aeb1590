#include "tools/render/song_threads.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace chantera::render {

void RunOnThreads(size_t count, size_t workers, const std::function<void(size_t)>& run,
                  const std::function<void(size_t)>& finish) {
  std::mutex mutex;
  std::condition_variable doneChanged;
  std::vector<bool> done(count, false);  // under mutex
  size_t next = 0;                       // under mutex: the next song to take
  const auto work = [&] {
    for (;;) {
      size_t song = 0;
      {
        const std::lock_guard<std::mutex> lock(mutex);
        if (next >= count) return;
        song = next++;
      }
      run(song);
      {
        const std::lock_guard<std::mutex> lock(mutex);
        done[song] = true;
      }
      doneChanged.notify_all();
    }
  };
  workers = std::clamp<size_t>(workers, 1, std::max<size_t>(count, 1));
  std::vector<std::thread> threads;
  threads.reserve(workers);
  for (size_t i = 0; i < workers; ++i) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      // The system refused a thread: the ones started take the songs (none started:
      // this thread renders them all, below).
      break;
    }
  }
  if (threads.empty()) work();
  for (size_t song = 0; song < count; ++song) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      doneChanged.wait(lock, [&] { return done[song]; });
    }
    finish(song);
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace chantera::render
