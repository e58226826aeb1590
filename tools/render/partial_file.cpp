#include "tools/render/partial_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace chantera::render {

namespace fs = std::filesystem;

namespace {

void SystemRename(const fs::path& from, const fs::path& to, std::error_code& error) {
  fs::rename(from, to, error);
}

RenameFunction renameHook = &SystemRename;

}  // namespace

RenameFunction SetRenameHook(RenameFunction hook) {
  const RenameFunction previous = renameHook;
  renameHook = hook != nullptr ? hook : &SystemRename;
  return previous;
}

void Rename(const fs::path& from, const fs::path& to, std::error_code& error) {
  error.clear();
  renameHook(from, to, error);
}

PartialFile::PartialFile(const fs::path& path) : target_(path) {
  std::error_code error;
  if (fs::is_symlink(path, error)) {
    const fs::path resolved = fs::weakly_canonical(path, error);
    if (!error) target_ = resolved;
  }
  writing_ = target_;
  const fs::file_status status = fs::status(target_, error);
  if (fs::exists(status) && !fs::is_regular_file(status)) return;  // a device or a pipe: written in place
  writing_ += ".partial";
  pending_ = true;
}

PartialFile::~PartialFile() {
  if (!pending_) return;
  std::error_code ignored;
  fs::remove(writing_, ignored);
}

bool PartialFile::Commit(std::string& error) {
  if (!pending_) return true;
  std::error_code failed;
  Rename(writing_, target_, failed);
  if (failed) {
    error = target_.string() + ": cannot be put in place (" + failed.message() + ")";
    return false;  // the destructor removes the partial file
  }
  pending_ = false;
  return true;
}

bool WriteWholeFile(const fs::path& path, const std::string& bytes, std::string& error) {
  PartialFile file(path);
  const std::string writing = file.WritePath().string();
  platform::File out(std::fopen(writing.c_str(), "wb"));
  if (out == nullptr) {
    error = path.string() + ": cannot be written (" + std::strerror(errno) + ")";
    return false;
  }
  // Each step is checked: a full disk may show only when the buffer is flushed or the
  // file closed, and a file that was not all written must not take path's place.
  int failure = 0;
  const auto note = [&failure] {
    if (failure == 0) failure = errno != 0 ? errno : EIO;
  };
  if (std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size() || std::fflush(out.get()) != 0) note();
  if (failure == 0 && !file.InPlace() && !platform::SyncToDisk(writing.c_str())) note();
  if (platform::CloseFile(out) != 0) note();
  if (failure != 0) {
    error = path.string() + ": cannot be written (" + std::strerror(failure) + ")";
    return false;
  }
  if (!file.Commit(error)) return false;
  // The new name itself, so that after a power cut path is the old file or the new one.
  if (!file.InPlace()) platform::SyncToDisk(fs::absolute(file.Target()).parent_path().string().c_str());
  return true;
}

}  // namespace chantera::render
