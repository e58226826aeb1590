// Files the tools write whole or not at all: a rendered song, a voice's text files,
// voice.csv. Each is written under a temporary name beside its place (NAME.partial) and
// renamed into place only once it is complete, so that a failed, interrupted or
// full-disk write never leaves a file that looks whole, and never spoils a good file
// that was there before.
// Thread: offline only (the tools' main thread, a batch's worker thread, or a render's
// process of its own); each file on one thread.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace chantera::render {

// One file on its way into place. Where the path names no regular file but a device or a
// pipe (-o /dev/null), the file is written in place: renaming over those would replace
// them. A symbolic link is followed: the file it points to is replaced, not the link.
class PartialFile {
 public:
  explicit PartialFile(const std::filesystem::path& path);
  ~PartialFile();  // removes the partial file unless it was put in place
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  // Where to write the bytes: the temporary name, or the path itself when written in place.
  const std::filesystem::path& WritePath() const { return writing_; }
  // The file that Commit replaces (the path, or the file its link points to).
  const std::filesystem::path& Target() const { return target_; }
  bool InPlace() const { return writing_ == target_; }
  // Puts the complete file in place. False with the error (naming the path) when the rename
  // fails; the partial file is then removed and what was at the path is unchanged.
  bool Commit(std::string& error);

 private:
  std::filesystem::path target_, writing_;
  bool pending_ = false;  // a partial file exists that is not in place yet
};

// Writes bytes to path whole: into a partial file that is flushed, synced to disk and
// closed (a full disk shows at the latest there) before it is renamed over path, and the
// folder synced after. False with the error (naming path) on failure: path is then
// unchanged and no partial file is left.
bool WriteWholeFile(const std::filesystem::path& path, const std::string& bytes, std::string& error);

// Every rename that puts a tool's file or folder in place (std::filesystem::rename).
// Tests replace it, to make one step of a replacement fail; null restores it. Replace it
// only while no other thread renames.
using RenameFunction = void (*)(const std::filesystem::path& from, const std::filesystem::path& to,
                                std::error_code& error);
RenameFunction SetRenameHook(RenameFunction hook);
void Rename(const std::filesystem::path& from, const std::filesystem::path& to, std::error_code& error);

}  // namespace chantera::render
