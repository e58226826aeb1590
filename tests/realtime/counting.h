// The counters of the real-time test program (alloc_test.cpp): what a thread that has
// switched counting on allocates, frees, waits for and opens. counting.cpp replaces the
// allocation functions and interposes the C library's locks, waits, sleeps and file calls
// to count them.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

extern std::atomic<long> allocations;
extern std::atomic<long> frees;
extern std::atomic<long> waits;  // locks, condition and semaphore waits, sleeps
extern std::atomic<long> opens;  // files opened or looked up
extern thread_local bool countThisThread;

// Counts what the calling thread does while it lives.
struct CountingScope {
  CountingScope() {
    allocations = frees = waits = opens = 0;
    countThisThread = true;
  }
  ~CountingScope() { countThisThread = false; }
};
// The test's own pauses inside a counting scope (time for the voice loader) do not count.
struct Pause {
  explicit Pause(int ms) {
    countThisThread = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    countThisThread = true;
  }
};
