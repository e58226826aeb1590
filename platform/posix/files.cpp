// Opening voice files on POSIX, with the Windows file-name rules voice libraries rely on.
//
// Voice libraries are made on Windows: their text files name files in any letter case,
// in Shift-JIS, and with backslashes between folders. When the exact path does not
// exist, each missing component is looked up in its folder, ignoring ASCII letter case,
// also as the UTF-8 form of its Shift-JIS bytes (how an archive unpacked on Linux stores
// those names).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
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
std::FILE* OpenRegularFile(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return nullptr;
  struct stat info {};
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
    std::fclose(file);
    errno = EISDIR;
    return nullptr;
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

std::FILE* OpenForReading(const char* path) {
  if (path == nullptr || *path == '\0') return nullptr;
  if (std::FILE* file = OpenRegularFile(path)) return file;
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
  return true;
}

}  // namespace

bool IdentifyFile(const char* path, FileIdentity& identity) {
  struct stat info {};
  return path != nullptr && stat(path, &info) == 0 && Identity(info, identity);
}

Folder::Folder(const std::string& path) : path_(path) {
  handle_ = open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

bool IdentifyOpenFile(std::FILE* file, FileIdentity& identity) {
  struct stat info {};
  return file != nullptr && fstat(fileno(file), &info) == 0 && Identity(info, identity);
}

}  // namespace chantera::platform
