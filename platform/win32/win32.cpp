// Win32 side of the platform layer: the real system calls.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/platform_impl.h"

namespace chantera::platform {

std::string ModuleDirectory() {
  // The module that holds this function, found by address: a renamed plug-in file
  // still finds its voices.
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&ModuleDirectory), &module))
    return {};
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::string dir(path, n);
  const size_t sep = dir.find_last_of("\\/");
  if (sep == std::string::npos) return {};
  dir.resize(sep);
  return dir;
}

namespace {
// Converts bytes of code page 932 to UTF-8 when every byte belongs to a character;
// false when one does not (a byte outside the code page, a lone lead byte).
bool ConvertStrictly(const char* bytes, int size, std::string& out) {
  const int wide = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes, size, nullptr, 0);
  if (wide <= 0) return false;
  std::wstring w(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes, size, w.data(), wide);
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(n));
  WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, out.data() + at, n, nullptr, nullptr);
  return true;
}
}  // namespace

std::string ShiftJisToUtf8(const std::string& sjis) {
  std::string out;
  if (sjis.empty() || ConvertStrictly(sjis.data(), static_cast<int>(sjis.size()), out)) return out;
  // Some byte does not convert: go character by character and keep such bytes as they
  // are (Windows would otherwise put a replacement character in their place).
  out.clear();
  for (size_t i = 0; i < sjis.size();) {
    const size_t length = platform::IsDBCSLeadByte(static_cast<uint8_t>(sjis[i])) && i + 1 < sjis.size() ? 2 : 1;
    if (ConvertStrictly(sjis.data() + i, static_cast<int>(length), out)) {
      i += length;
    } else {
      out.push_back(sjis[i]);
      ++i;
    }
  }
  return out;
}

std::string Utf8ToShiftJis(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int wide = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (wide <= 0) return utf8;
  std::wstring w(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), wide);
  const int n = WideCharToMultiByte(932, 0, w.data(), wide, nullptr, 0, "?", nullptr);
  if (n <= 0) return utf8;
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(932, 0, w.data(), wide, out.data(), n, "?", nullptr);
  return out;
}

LoadedLibrary::LoadedLibrary(const std::string& path) : handle_(reinterpret_cast<void*>(LoadLibraryA(path.c_str()))) {
  if (handle_ == nullptr) error_ = "LoadLibrary failed with error " + std::to_string(GetLastError());
}

LoadedLibrary::~LoadedLibrary() {
  if (handle_ != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(handle_));
}

void* LoadedLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
}

namespace {
struct ThreadStart {
  void (*fn)(void*);
  void* arg;
};
DWORD WINAPI ThreadEntry(LPVOID param) {
  ThreadStart start = *static_cast<ThreadStart*>(param);
  delete static_cast<ThreadStart*>(param);
  start.fn(start.arg);
  return 1;
}
}  // namespace

// A detached thread runs this DLL's code to its last instruction, which may come after
// the host has closed the instance that started it and called FreeLibrary. Once such a
// thread has been started, the DLL stays loaded for the life of the process.
void PinThisModule() {
  static bool pinned = false;
  if (pinned) return;
  HMODULE module = nullptr;
  pinned = GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCSTR>(&PinThisModule), &module) != 0;
}

bool StartDetachedThread(void (*fn)(void* arg), void* arg) {
  PinThisModule();
  auto* start = new (std::nothrow) ThreadStart{fn, arg};
  if (start == nullptr) return false;
  HANDLE thread = CreateThread(nullptr, 0, ThreadEntry, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  CloseHandle(thread);
  return true;
}

File OpenForReading(const char* path) {
  if (path == nullptr || *path == '\0') return nullptr;
  return File(std::fopen(path, "rb"));
}

namespace {

bool IdentifyHandle(HANDLE handle, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return false;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const uint64_t nowTicks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const uint64_t written =
      (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
  if (nowTicks < written || nowTicks - written <= kSettleSeconds * 10000000ull) return false;  // 100 ns ticks
  identity.volume = info.dwVolumeSerialNumber;
  identity.file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  identity.modified =
      (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
  identity.changed =
      (static_cast<uint64_t>(info.ftCreationTime.dwHighDateTime) << 32) | info.ftCreationTime.dwLowDateTime;
  identity.links = info.nNumberOfLinks;
  return identity.file != 0;
}

}  // namespace

bool IdentifyFile(const char* path, FileIdentity& identity) {
  if (path == nullptr || *path == '\0') return false;
  const HANDLE handle = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool identified = IdentifyHandle(handle, identity);
  CloseHandle(handle);
  return identified;
}

bool SameFile(const char* a, const char* b) {
  if (a == nullptr || b == nullptr || *a == '\0' || *b == '\0') return false;
  BY_HANDLE_FILE_INFORMATION info[2]{};
  const char* paths[2] = {a, b};
  for (int i = 0; i < 2; ++i) {
    // FILE_FLAG_BACKUP_SEMANTICS opens folders too.
    const HANDLE handle =
        CreateFileA(paths[i], FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool got = GetFileInformationByHandle(handle, &info[i]) != 0;
    CloseHandle(handle);
    if (!got) return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

bool SyncToDisk(const char* path) {
  if (path == nullptr || *path == '\0') return false;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;  // names are written with the folder's entries
  const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(handle) != 0;
  CloseHandle(handle);
  return flushed;
}

Folder::Folder(const std::string& path) : path_(path) {}

Folder::~Folder() = default;

bool Folder::Identify(const char* name, FileIdentity& identity) const {
  return name != nullptr && IdentifyFile((path_ + name).c_str(), identity);
}

bool Folder::Watches(const char*) const {
  return false;  // Version() stays 0: every file is identified
}

bool IdentifyOpenFile(std::FILE* file, FileIdentity& identity) {
  if (file == nullptr) return false;
  return IdentifyHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), identity);
}

uint64_t OpenFileSize(std::FILE* file) {
  struct _stat64 info {};
  if (file == nullptr || _fstat64(_fileno(file), &info) != 0 || info.st_size < 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}

Doorbell::Doorbell() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  if (event_ == nullptr) throw std::bad_alloc();
}

Doorbell::~Doorbell() {
  CloseHandle(event_);
}

void Doorbell::Ring() noexcept {
  SetEvent(event_);
}

void Doorbell::Wait() noexcept {
  WaitForSingleObject(event_, INFINITE);
}

namespace detail {

int ShowMessageNative(const char* text, const char* caption) {
  // Unattended runs (CI, batch renders) set CHANTERA_MESSAGES=stderr: a modal box would
  // wait for a click that never comes.
  const char* route = std::getenv("CHANTERA_MESSAGES");
  if (route != nullptr && std::string(route) == "stderr") {
    std::fprintf(stderr, "%s: %s\n", ShiftJisToUtf8(caption ? caption : "").c_str(),
                 ShiftJisToUtf8(text ? text : "").c_str());
    std::fflush(stderr);
    return IDOK;
  }
  return MessageBoxA(nullptr, text, caption, MB_OK);
}

void SleepNative(uint32_t ms) {
  ::Sleep(ms);
}
uint32_t TickCountNative() {
  return static_cast<uint32_t>(GetTickCount());
}
void BeepNative(uint32_t frequencyHz, uint32_t durationMs) {
  ::Beep(frequencyHz, durationMs);
}

}  // namespace detail
}  // namespace chantera::platform
