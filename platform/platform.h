// The small layer that stands in for the operating-system calls the instrument needs:
// its own directory, path composition, message boxes, sleep, beep, a millisecond clock,
// threads, Shift-JIS lead bytes, the opening of voice files and the syncing of written ones.
//
// Sleep, clock, beep and the message sink are replaceable so that tests can run the
// long waits (100 ms sleeps, a 60 s give-up, a one-second beep) instantly and count
// what the user would have seen. Replace them only while no other thread uses them
// (before instances are created); reading them is lock-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace chantera::platform {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Paths are held in buffers of this many bytes (259 characters and the terminator).
inline constexpr int kMaxPath = 260;

// Directory of the module (plug-in library or executable) that contains this code,
// without a trailing separator. Found from an address inside the module, so a renamed
// plug-in file still finds the voices beside it. Empty when the platform yields nothing.
std::string ModuleDirectory();

// A path of the form "X:" or "/" alone: the root of a drive or of the file system.
// Composition adds no separator after a directory for which this is true, because the
// directory text already ends in (or, for "X:", stands for) the root.
bool IsRootDirectory(const char* dir);

// ---- User messages -------------------------------------------------------------------
// Shows a modal message (Windows) or writes one line "<caption>: <text>" in UTF-8 to
// standard error (elsewhere). text and caption are bytes in the ANSI code page
// (Shift-JIS for Japanese). Returns the message box result (1, IDOK).
int ShowMessage(const char* text, const char* caption);

using MessageSink = int (*)(const char* text, const char* caption);
// Routes every message to sink (null restores the default). Returns the previous sink.
// A thread's message route (below) with a sink of its own takes precedence.
MessageSink SetMessageSink(MessageSink sink);
// How many messages ShowMessage has shown or handed to the sink in this module so far:
// each stands for a voice file that could not be read, which an offline host reports.
uint32_t MessagesShown();

// The messages of one instrument instance: how many it has shown, and where they go
// (null: where the module's go). Several instances in one process, each loading on
// threads of its own or of its host, each count and route only their own.
struct MessageRoute {
  std::atomic<uint32_t> shown{0};
  std::atomic<MessageSink> sink{nullptr};
};
// While it lives, the messages shown on the calling thread belong to route (counted there,
// and sent to its sink when it has one). Nests: the route before is restored at its end.
class ScopedMessageRoute {
 public:
  explicit ScopedMessageRoute(MessageRoute* route) noexcept;
  ~ScopedMessageRoute();
  ScopedMessageRoute(const ScopedMessageRoute&) = delete;
  ScopedMessageRoute& operator=(const ScopedMessageRoute&) = delete;

 private:
  MessageRoute* previous_;
};

// ---- Time ----------------------------------------------------------------------------
void SleepMs(uint32_t ms);
uint32_t TickCountMs();
void Beep(uint32_t frequencyHz, uint32_t durationMs);

using SleepHook = void (*)(uint32_t ms);
using TickHook = uint32_t (*)();
using BeepHook = void (*)(uint32_t frequencyHz, uint32_t durationMs);
SleepHook SetSleepHook(SleepHook hook);  // null restores the real one
TickHook SetTickHook(TickHook hook);
BeepHook SetBeepHook(BeepHook hook);

// ---- Threads -------------------------------------------------------------------------
// Starts a detached thread running fn(arg). Returns false when no thread could be made.
bool StartDetachedThread(void (*fn)(void* arg), void* arg);

// Wakes the one thread that sleeps on it. Ring from any thread, the audio thread too (no
// lock, no allocation: a futex wake on Linux, SetEvent on Windows); Wait on the sleeping
// thread only. A ring while that thread is awake is kept for its next Wait, which then
// returns at once (an auto-reset event). Not std::atomic::wait: libstdc++ has no futex on
// Windows and falls back to a condition variable that a notify can miss, and whose
// notify_one can wake another instance's thread instead.
class Doorbell {
 public:
  Doorbell();
#ifdef _WIN32
  ~Doorbell();
#else
  ~Doorbell() = default;
#endif
  Doorbell(const Doorbell&) = delete;
  Doorbell& operator=(const Doorbell&) = delete;
  void Ring() noexcept;
  void Wait() noexcept;

 private:
#ifdef _WIN32
  void* event_;
#else
  std::atomic<uint32_t> rung_{0};  // 32 bits: a futex word
#endif
};

// ---- Shared libraries ----------------------------------------------------------------
// A shared library (a plug-in) loaded by its path, as a host loads one: dlopen with
// RTLD_NOW | RTLD_LOCAL on POSIX, LoadLibrary on Windows; unloaded with this object.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const std::string& path);
  ~LoadedLibrary();
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  bool Ok() const { return handle_ != nullptr; }
  // Why it could not be loaded (the system's words), when it could not.
  const std::string& Error() const { return error_; }
  // The address of an exported symbol; null when there is none.
  void* Symbol(const char* name) const;

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// ---- Text ----------------------------------------------------------------------------
// True for a byte that starts a double-byte character in code page 932 (Shift-JIS):
// 0x81..0x9F and 0xE0..0xFC.
bool IsDBCSLeadByte(uint8_t byte);

// True when the bytes are well-formed UTF-8 (what tells a UTF-8 text from a Shift-JIS one).
bool IsValidUtf8(const std::string& text);

// Shift-JIS (code page 932) bytes to UTF-8. Bytes that do not convert are kept as they are.
std::string ShiftJisToUtf8(const std::string& sjis);
// UTF-8 to Shift-JIS; a character that Shift-JIS lacks becomes a question mark.
std::string Utf8ToShiftJis(const std::string& utf8);

// ---- Files ---------------------------------------------------------------------------
// Opens a file of a voice library for reading in binary mode. Voice libraries are made
// on Windows, whose file names ignore letter case and are stored in Shift-JIS: when the
// exact path does not exist, each missing component is looked up case-insensitively in
// its folder, and a component in Shift-JIS bytes is also tried as its UTF-8 equivalent.
// Returns null when nothing matches.
struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
// An open C file, closed with its owner. Close it through CloseFile where the result of
// the close matters (data written, or a read that must have reached the end cleanly).
using File = std::unique_ptr<std::FILE, FileCloser>;
File OpenForReading(const char* path);
// Closes file now; fclose's result (0 on success). A file already closed gives 0.
inline int CloseFile(File& file) noexcept {
  return file ? std::fclose(file.release()) : 0;
}

// The size of an open file, from its descriptor (seeking to the end and back costs three
// seeks, and the C library reads the file's last block on the way). 0 when unknown.
uint64_t OpenFileSize(std::FILE* file);

// Makes what was written to the file or folder at path durable: a file's data, a
// folder's names (after a file was created or renamed in it). Call it before a rename
// puts a new file in the place of a good one, so that a power cut does not leave a
// renamed but empty file. True when it is done, or when the system has nothing to do
// (Windows keeps no folder data to flush); false when the file cannot be opened or the
// disk reports an error.
bool SyncToDisk(const char* path);

// What tells one version of a file from another: the volume and the file's number on it,
// its size, and the times of its last write and last change. The same identity means the
// same file, unchanged; an edit, a replacement or a copy gives another.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t file = 0;
  uint64_t size = 0;
  uint64_t modified = 0;
  uint64_t changed = 0;
  uint64_t links = 0;  // names the file has: a change through another of them is seen only in its folder
  bool operator==(const FileIdentity&) const = default;
};
// The identity of the regular file at path as written (no letter-case search), or of an
// open file. False when there is no such file, when the system does not number its files,
// or when the file was written less than kSettleSeconds ago: file times advance in coarse
// steps, so a file rewritten within one step of its last write (same size) could keep
// its identity. Such a file is simply not identified until it has settled.
inline constexpr int kSettleSeconds = 2;
bool IdentifyFile(const char* path, FileIdentity& identity);
bool IdentifyOpenFile(std::FILE* file, FileIdentity& identity);

// True when both paths name one existing file (the same volume and file number), by
// whatever names: a link, another spelling of the folder, a second hard link. For a
// tool that must not write over one of its inputs. False when either does not exist.
bool SameFile(const char* a, const char* b);

// A folder held open while the files in it are identified one after another (a voice's
// samples): each look-up then starts at the folder rather than at the root.
//
// Where the system can report changes (Linux, on a local volume), the process also
// watches the folders it opens this way, so that a voice's files need not be looked up
// one by one again while nothing in their folder has changed: Version() then stays the
// same from one Folder of that path to the next until a file directly in it is written,
// touched, created, renamed or removed (or the folder itself moves). Elsewhere, and for
// more than kWatchedFolders folders, Version() is 0: nothing is known unchanged.
class Folder {
 public:
  explicit Folder(const std::string& path);  // path ends with a separator, or is empty
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  // IdentifyFile of path + name.
  bool Identify(const char* name, FileIdentity& identity) const;
  uint64_t Version() const { return version_; }
  // True when name is a plain file directly in the folder (no link, no subfolder) as the
  // watch found it: only for such a file does a change move Version().
  bool Watches(const char* name) const;

  static constexpr size_t kWatchedFolders = 64;

 private:
  std::string path_;
  int handle_ = -1;
  uint64_t version_ = 0;
  std::shared_ptr<const std::vector<std::string>> plainFiles_;  // sorted
};

}  // namespace chantera::platform
