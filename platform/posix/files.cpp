// Opening voice files on POSIX, with the Windows file-name rules voice libraries rely on.
//
// Voice libraries are made on Windows: their text files name files in any letter case,
// in Shift-JIS, and with backslashes between folders. When the exact path does not
// exist, each missing component is looked up in its folder, ignoring ASCII letter case,
// also as the UTF-8 form of its Shift-JIS bytes (how an archive unpacked on Linux stores
// those names).
//
// Also the sync that makes a file the tools wrote durable before it replaces another.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace chantera::platform {
namespace {

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

// Opens a regular file only: fopen succeeds on a directory on Linux, and reading one
// would then fail later, far from the cause.
File OpenRegularFile(const char* path) {
  File file(std::fopen(path, "rb"));
  if (!file) return nullptr;
  struct stat info {};
  if (fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) {
    file.reset();
    errno = EISDIR;
  }
  return file;
}

bool Exists(const std::string& path, bool wantDirectory) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  return wantDirectory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode);
}

// Splits a path into components at '/' (never part of a Shift-JIS character) and at
// backslashes that are not the second byte of a Shift-JIS double-byte character (0x5C is
// a valid trail byte, as in "ソ").
std::vector<std::string> SplitComponents(const std::string& path) {
  std::vector<std::string> parts;
  std::string current;
  for (size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    if (IsDBCSLeadByte(static_cast<uint8_t>(c)) && i + 1 < path.size() && path[i + 1] != '/') {
      current.push_back(c);
      current.push_back(path[++i]);
    } else if (c == '/' || c == '\\') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

// The entry of folder that stands for component: equal under ASCII case folding, as
// written or converted from Shift-JIS to UTF-8. Of several, the smallest name wins, so
// the choice does not depend on the order the folder lists them in.
bool FindEntry(const std::string& folder, const std::string& component, bool wantDirectory, std::string& found) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return false;
  const std::string converted = ShiftJisToUtf8(component);
  bool any = false;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!EqualsIgnoringAsciiCase(name, component) && !EqualsIgnoringAsciiCase(name, converted)) continue;
    const std::string candidate = folder.empty() ? name : folder + (folder.back() == '/' ? "" : "/") + name;
    if (!Exists(candidate, wantDirectory)) continue;
    if (!any || name < found) {
      found = name;
      any = true;
    }
  }
  closedir(dir);
  return any;
}

}  // namespace

File OpenForReading(const char* path) {
  if (path == nullptr || *path == '\0') return nullptr;
  if (File file = OpenRegularFile(path)) return file;
  struct stat info {};
  if (stat(path, &info) == 0) return nullptr;  // there, but not a readable regular file

  const std::string text = path;
  std::string resolved = text[0] == '/' ? "/" : "";
  const std::vector<std::string> parts = SplitComponents(text);
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    const std::string& part = parts[i];
    std::string next = resolved.empty() ? part : resolved + (resolved.back() == '/' ? "" : "/") + part;
    if (part == "." || part == ".." || Exists(next, !last)) {
      resolved = next;
      continue;
    }
    std::string entry;
    if (!FindEntry(resolved, part, !last, entry)) return nullptr;
    resolved = resolved.empty() ? entry : resolved + (resolved.back() == '/' ? "" : "/") + entry;
  }
  return OpenRegularFile(resolved.c_str());
}

namespace {

bool Identity(const struct stat& info, FileIdentity& identity) {
  if (!S_ISREG(info.st_mode)) return false;
  struct timespec now {};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec - info.st_mtim.tv_sec <= kSettleSeconds) return false;
  identity.volume = static_cast<uint64_t>(info.st_dev);
  identity.file = static_cast<uint64_t>(info.st_ino);
  identity.size = static_cast<uint64_t>(info.st_size);
  identity.modified =
      static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(info.st_mtim.tv_nsec);
  identity.changed =
      static_cast<uint64_t>(info.st_ctim.tv_sec) * 1000000000u + static_cast<uint64_t>(info.st_ctim.tv_nsec);
  identity.links = static_cast<uint64_t>(info.st_nlink);
  return true;
}

#if defined(__linux__)
// The watched folders of this process, by path, on one inotify descriptor (a process may
// hold only a few of those). Finding out whether a folder changed is one read that finds
// nothing. Any change at all retires the folder's watch, and the next Folder of that path
// starts a new one (a new version, a new listing): changes are rare, and a fresh start
// needs no bookkeeping of which file changed.
struct FolderWatch {
  int id = -1;  // the descriptor's watch; folders reached by several paths share one
  uint64_t version = 0;
  std::shared_ptr<const std::vector<std::string>> plainFiles;
};
struct FolderWatches {
  std::mutex mutex;  // held for one look-up (and, for a new watch, one listing of the folder)
  int descriptor = -1;
  pid_t owner = 0;  // the process that made the descriptor
  std::unordered_map<std::string, FolderWatch> byPath;
  uint64_t lastVersion = 0;
};
FolderWatches& Watches() {
  // Destroyed when the library is unloaded (a host closing the plug-in) or the process ends.
  static struct Owned : FolderWatches {
    ~Owned() {
      if (descriptor >= 0) close(descriptor);
    }
  } watches;
  return watches;
}

// Network volumes do not report changes made by other machines: only local ones are watched.
bool ReportsEveryChange(int folder) {
  struct statfs info {};
  if (fstatfs(folder, &info) != 0) return false;
  switch (static_cast<unsigned long>(info.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

// The names of the plain files directly in the folder, sorted; null when it cannot be listed
// or its file system does not say which entries are plain files.
std::shared_ptr<const std::vector<std::string>> ListPlainFiles(int folder) {
  const int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return nullptr;
  DIR* dir = fdopendir(listing);
  if (dir == nullptr) {
    close(listing);
    return nullptr;
  }
  auto names = std::make_shared<std::vector<std::string>>();
  bool known = true;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_type == DT_UNKNOWN) known = false;
    if (entry->d_type == DT_REG) names->emplace_back(entry->d_name);
  }
  closedir(dir);
  if (!known) return nullptr;
  std::sort(names->begin(), names->end());
  return names;
}

// Retires every watch that has seen a change since the last call, and every watch when the
// descriptor cannot say (its queue overflowed, or it fails).
void RetireChanged(FolderWatches& watches) {
  const auto retire = [&watches](int id) {
    const bool any = std::erase_if(watches.byPath, [id](const auto& entry) { return id < 0 || entry.second.id == id; });
    if (any && id >= 0) inotify_rm_watch(watches.descriptor, id);
  };
  alignas(inotify_event) char events[4096];
  for (;;) {
    const ssize_t got = read(watches.descriptor, events, sizeof events);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) retire(-1);
      return;
    }
    for (ssize_t at = 0; at < got;) {
      inotify_event event{};
      std::memcpy(&event, events + at, sizeof event);
      retire(event.wd);  // -1 when the queue overflowed: every watch
      at += static_cast<ssize_t>(sizeof event + event.len);
    }
  }
}

// Watches path (open as folder) under a new version; false when it cannot be watched.
bool StartWatch(FolderWatches& watches, const std::string& path, int folder, FolderWatch& watch) {
  if (watches.byPath.size() >= Folder::kWatchedFolders || !ReportsEveryChange(folder)) return false;
  constexpr uint32_t kChanges = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
  const char* where = path.empty() ? "." : path.c_str();
  const int id = inotify_add_watch(watches.descriptor, where, kChanges);
  if (id < 0) return false;
  // The watch is in place before the folder is listed and before any of its files is
  // identified, so that no change after those looks goes unseen; and it is the folder
  // that was opened, not one put in its place since.
  struct stat watched {
  }, opened{};
  auto files = stat(where, &watched) == 0 && fstat(folder, &opened) == 0 && watched.st_dev == opened.st_dev &&
                       watched.st_ino == opened.st_ino
                   ? ListPlainFiles(folder)
                   : nullptr;
  if (files == nullptr) return false;
  watch = {id, ++watches.lastVersion, std::move(files)};
  return true;
}

void WatchFolder(const std::string& path, int folder, uint64_t& version,
                 std::shared_ptr<const std::vector<std::string>>& plainFiles) {
  FolderWatches& watches = Watches();
  const std::lock_guard<std::mutex> lock(watches.mutex);
  if (watches.owner == 0) {
    watches.descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    watches.owner = getpid();
  }
  // A child forked after the watching began (a batch renderer's song, say) shares the
  // parent's descriptor and must not take its events; it lives briefly, so rather than
  // set up watches of its own it looks its files up one by one.
  if (watches.descriptor < 0 || watches.owner != getpid()) return;
  RetireChanged(watches);
  auto found = watches.byPath.find(path);
  if (found == watches.byPath.end()) {
    FolderWatch watch;
    if (!StartWatch(watches, path, folder, watch)) return;
    found = watches.byPath.emplace(path, std::move(watch)).first;
  }
  version = found->second.version;
  plainFiles = found->second.plainFiles;
}
#endif

}  // namespace

bool SyncToDisk(const char* path) {
  if (path == nullptr || *path == '\0') return false;
  const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return false;
  const bool synced = fsync(descriptor) == 0;
  return close(descriptor) == 0 && synced;
}

bool IdentifyFile(const char* path, FileIdentity& identity) {
  struct stat info {};
  return path != nullptr && stat(path, &info) == 0 && Identity(info, identity);
}

bool SameFile(const char* a, const char* b) {
  struct stat first {
  }, second{};
  return a != nullptr && b != nullptr && stat(a, &first) == 0 && stat(b, &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

Folder::Folder(const std::string& path) : path_(path) {
  handle_ = open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#if defined(__linux__)
  if (handle_ >= 0) WatchFolder(path_, handle_, version_, plainFiles_);
#endif
}

bool Folder::Watches(const char* name) const {
  return name != nullptr && plainFiles_ != nullptr &&
         std::binary_search(plainFiles_->begin(), plainFiles_->end(), std::string_view(name));
}

Folder::~Folder() {
  if (handle_ >= 0) close(handle_);
}

bool Folder::Identify(const char* name, FileIdentity& identity) const {
  if (name == nullptr) return false;
  if (handle_ < 0) return IdentifyFile((path_ + name).c_str(), identity);
  struct stat info {};
  return fstatat(handle_, name, &info, 0) == 0 && Identity(info, identity);
}

uint64_t OpenFileSize(std::FILE* file) {
  struct stat info {};
  if (file == nullptr || fstat(fileno(file), &info) != 0 || info.st_size < 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}

bool IdentifyOpenFile(std::FILE* file, FileIdentity& identity) {
  struct stat info {};
  return file != nullptr && fstat(fileno(file), &info) == 0 && Identity(info, identity);
}

}  // namespace chantera::platform
