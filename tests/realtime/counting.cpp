// The counting side of the real-time test program (see counting.h): operator new and
// delete replaced, the C allocators, the POSIX locks, waits and sleeps and the calls that
// open files interposed, each counted on a thread that has switched counting on and
// forwarded to the C library's own.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "counting.h"

std::atomic<long> allocations{0};
std::atomic<long> frees{0};
std::atomic<long> waits{0};
std::atomic<long> opens{0};
thread_local bool countThisThread = false;

namespace {

inline void CountAllocation() {
  if (countThisThread) allocations.fetch_add(1, std::memory_order_relaxed);
}
inline void CountFree(void* p) {
  if (countThisThread && p != nullptr) frees.fetch_add(1, std::memory_order_relaxed);
}
inline void CountWait() {
  if (countThisThread) waits.fetch_add(1, std::memory_order_relaxed);
}
inline void CountOpen() {
  if (countThisThread) opens.fetch_add(1, std::memory_order_relaxed);
}

// The next definition of an interposed function (the C library's), found once.
template <class F>
F Next(std::atomic<F>& slot, const char* name) {
  F f = slot.load(std::memory_order_relaxed);
  if (f == nullptr) {
    f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    slot.store(f, std::memory_order_relaxed);
  }
  return f;
}

void* OrThrow(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

// Every allocator counts and forwards to the C library's; every delete goes through free.
#define CHANTERA_COUNTED(signature, call) \
  signature {                             \
    CountAllocation();                    \
    return call;                          \
  }
#define CHANTERA_DELETES(...)                                           \
  void operator delete(void* p __VA_OPT__(, ) __VA_ARGS__) noexcept {   \
    free(p);                                                            \
  }                                                                     \
  void operator delete[](void* p __VA_OPT__(, ) __VA_ARGS__) noexcept { \
    free(p);                                                            \
  }

extern "C" {
CHANTERA_COUNTED(void* malloc(size_t size), __libc_malloc(size))
CHANTERA_COUNTED(void* calloc(size_t count, size_t size), __libc_calloc(count, size))
CHANTERA_COUNTED(void* realloc(void* p, size_t size), __libc_realloc(p, size))
CHANTERA_COUNTED(void* aligned_alloc(size_t alignment, size_t size), __libc_memalign(alignment, size))
CHANTERA_COUNTED(void* memalign(size_t alignment, size_t size), __libc_memalign(alignment, size))
void free(void* p) {
  CountFree(p);
  __libc_free(p);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  CountAllocation();
  void* p = __libc_memalign(alignment, size);
  if (p != nullptr) *out = p;
  return p != nullptr ? 0 : ENOMEM;
}
}

CHANTERA_COUNTED(void* operator new(size_t size), OrThrow(__libc_malloc(size == 0 ? 1 : size)))
CHANTERA_COUNTED(void* operator new[](size_t size), OrThrow(__libc_malloc(size == 0 ? 1 : size)))
CHANTERA_COUNTED(void* operator new(size_t size, const std::nothrow_t&) noexcept, __libc_malloc(size == 0 ? 1 : size))
CHANTERA_COUNTED(void* operator new[](size_t size, const std::nothrow_t&) noexcept, __libc_malloc(size == 0 ? 1 : size))
CHANTERA_COUNTED(void* operator new(size_t size, std::align_val_t alignment),
                 OrThrow(__libc_memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size)))
CHANTERA_COUNTED(void* operator new[](size_t size, std::align_val_t alignment),
                 OrThrow(__libc_memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size)))
CHANTERA_DELETES()
CHANTERA_DELETES(size_t)
CHANTERA_DELETES(std::align_val_t)
CHANTERA_DELETES(size_t, std::align_val_t)

// Every way to wait for another thread, or to sleep, counts and goes on to the C library.
#define CHANTERA_WAITS(result, name, parameters, arguments) \
  result name parameters {                                  \
    static std::atomic<result(*) parameters> next{nullptr}; \
    CountWait();                                            \
    return Next(next, #name) arguments;                     \
  }
// And every way to open a file, or to look one up.
#define CHANTERA_OPENS(result, name, parameters, arguments) \
  result name parameters {                                  \
    static std::atomic<result(*) parameters> next{nullptr}; \
    CountOpen();                                            \
    return Next(next, #name) arguments;                     \
  }

extern "C" {
CHANTERA_WAITS(int, pthread_mutex_lock, (pthread_mutex_t * m), (m))
CHANTERA_WAITS(int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l))
CHANTERA_WAITS(int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l))
CHANTERA_WAITS(int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m))
CHANTERA_WAITS(int, pthread_cond_timedwait, (pthread_cond_t * c, pthread_mutex_t* m, const timespec* t), (c, m, t))
CHANTERA_WAITS(int, sem_wait, (sem_t * s), (s))
CHANTERA_WAITS(int, sem_timedwait, (sem_t * s, const timespec* t), (s, t))
CHANTERA_WAITS(int, nanosleep, (const timespec* t, timespec* rest), (t, rest))
CHANTERA_WAITS(int, clock_nanosleep, (clockid_t c, int flags, const timespec* t, timespec* rest), (c, flags, t, rest))
CHANTERA_WAITS(int, usleep, (useconds_t us), (us))
CHANTERA_OPENS(FILE*, fopen, (const char* path, const char* mode), (path, mode))
CHANTERA_OPENS(FILE*, fopen64, (const char* path, const char* mode), (path, mode))
CHANTERA_OPENS(int, stat, (const char* path, struct stat* info), (path, info))
int open(const char* path, int flags, ...) {
  static std::atomic<int (*)(const char*, int, ...)> next{nullptr};
  CountOpen();
  va_list rest;
  va_start(rest, flags);
  const mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  return Next(next, "open")(path, flags, mode);
}
int openat(int folder, const char* path, int flags, ...) {
  static std::atomic<int (*)(int, const char*, int, ...)> next{nullptr};
  CountOpen();
  va_list rest;
  va_start(rest, flags);
  const mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  return Next(next, "openat")(folder, path, flags, mode);
}
}
