// POSIX side of the platform layer.
#include <dlfcn.h>
#include <iconv.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/platform_impl.h"

namespace chantera::platform {

std::string ModuleDirectory() {
  // dladdr on an address inside this module names the file the loader mapped it from,
  // whatever that file is called.
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleDirectory), &info) == 0 || info.dli_fname == nullptr) return {};
  std::string path = info.dli_fname;
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";  // loaded by bare name: the working directory
  if (slash == 0) return "/";
  path.resize(slash);
  return path;
}

std::string ShiftJisToUtf8(const std::string& sjis) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return sjis;
  std::string out;
  out.reserve(sjis.size() * 3 / 2 + 4);
  char buffer[256];
  char* in = const_cast<char*>(sjis.data());
  size_t inLeft = sjis.size();
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    const size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<size_t>(outPtr - buffer));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // A byte that is not Shift-JIS (or a lone lead byte at the end): keep it as it is.
      out.push_back(*in++);
      --inLeft;
    }
  }
  iconv_close(cd);
  return out;
}

std::string Utf8ToShiftJis(const std::string& utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return utf8;
  std::string out(utf8.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* o = out.data();
  size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) break;
    // A character that Shift-JIS lacks: a question mark, and on past its bytes.
    *o++ = '?';
    --outLeft;
    ++in;
    --inLeft;
    while (inLeft > 0 && (static_cast<unsigned char>(*in) >> 6) == 2) ++in, --inLeft;
  }
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

LoadedLibrary::LoadedLibrary(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ == nullptr) {
    const char* why = dlerror();
    error_ = why != nullptr ? why : "unknown error";
  }
}

LoadedLibrary::~LoadedLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* LoadedLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

namespace {
// A detached thread runs this library's code to its last instruction, which may come
// after the host has closed the instance that started it and unloaded the library
// (hosts dlclose right after effClose). Once such a thread has been started, the library
// stays mapped for the life of the process.
void PinThisModule() {
  static std::once_flag once;
  std::call_once(once, [] {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&PinThisModule), &info) != 0 && info.dli_fname != nullptr)
      dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  });
}
}  // namespace

bool StartDetachedThread(void (*fn)(void* arg), void* arg) {
  PinThisModule();
  try {
    std::thread(fn, arg).detach();
    return true;
  } catch (...) {
    return false;
  }
}

Doorbell::Doorbell() = default;

void Doorbell::Ring() noexcept {
  rung_.store(1, std::memory_order_release);
  rung_.notify_one();
}

void Doorbell::Wait() noexcept {
  while (rung_.exchange(0, std::memory_order_acquire) == 0) rung_.wait(0, std::memory_order_acquire);
}

namespace detail {

int ShowMessageNative(const char* text, const char* caption) {
  const std::string line = ShiftJisToUtf8(caption ? caption : "") + ": " + ShiftJisToUtf8(text ? text : "") + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  return 1;  // IDOK
}

void SleepNative(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

uint32_t TickCountNative() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void BeepNative(uint32_t frequencyHz, uint32_t durationMs) {
  // No speaker to drive here: the bell character and a line on standard error, for as
  // long as the beep would last.
  std::fprintf(stderr, "\aBeep: %u Hz, %u ms\n", frequencyHz, durationMs);
  std::fflush(stderr);
  SleepNative(durationMs);
}

}  // namespace detail
}  // namespace chantera::platform
