// The batch renderer's threads: the songs of a batch rendered on a few threads of this
// process, each song on a fresh instance of its own. Only for an instrument that keeps
// its state per instance (Chantera): one loaded module serves every thread, and sharing
// the process costs no fork and no copy of the loaded voice. Other plug-ins may keep
// state for the whole library, and are rendered in processes (song_processes.h).
// Thread: the program's main thread (it starts and joins the workers).
#pragma once

#include <cstddef>
#include <functional>

namespace chantera::render {

// Runs run(i) for each song i < count on at most workers threads, songs taken in order,
// and calls finish(i) on the calling thread for each song in song order, as soon as run(i)
// and every song before it are done: what a song has to say is told in the batch's order,
// however the threads interleave. run must not throw; every song started is finished.
void RunOnThreads(size_t count, size_t workers, const std::function<void(size_t)>& run,
                  const std::function<void(size_t)>& finish);

}  // namespace chantera::render
