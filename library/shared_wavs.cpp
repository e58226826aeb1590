#include "library/shared_wavs.h"

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

namespace chantera {
namespace {

std::atomic<uint64_t> liveDataBytes{0};

// Frees sample data and keeps the count of live bytes.
struct CountedDelete {
  uint64_t bytes;
  void operator()(uint8_t* data) const noexcept {
    liveDataBytes.fetch_sub(bytes, std::memory_order_relaxed);
    delete[] data;
  }
};

// A file as noted: its data only while some sample holds them.
struct Noted {
  SharedWav wav;  // data left empty
  std::weak_ptr<uint8_t[]> data;
};

struct Files {
  std::mutex mutex;                               // held only to look up or note one file, never while reading one
  std::unordered_map<std::string, Noted> byPath;  // by the path as the loader gave it
  size_t notedSincePurge = 0;
};

Files& Shared() {
  static Files files;
  return files;
}

}  // namespace

namespace shared_wavs {

bool Find(const char* path, SharedWav& wav) {
  Files& files = Shared();
  const std::lock_guard<std::mutex> lock(files.mutex);
  const auto found = files.byPath.find(path);
  if (found == files.byPath.end()) return false;
  wav = found->second.wav;
  wav.data = found->second.data.lock();
  return wav.data != nullptr;
}

void Publish(const char* path, const SharedWav& wav) {
  if (!wav.data) return;
  Files& files = Shared();
  const std::lock_guard<std::mutex> lock(files.mutex);
  // Now and then the files whose data nobody holds any more are forgotten.
  if (++files.notedSincePurge > 4096) {
    std::erase_if(files.byPath, [](const auto& entry) { return entry.second.data.expired(); });
    files.notedSincePurge = 0;
  }
  Noted& noted = files.byPath[path];
  noted.wav = wav;
  noted.wav.data = nullptr;
  noted.data = wav.data;
}

void Confirm(const char* path, const platform::FileIdentity& identity, uint64_t folderVersion) {
  if (folderVersion == 0) return;
  Files& files = Shared();
  const std::lock_guard<std::mutex> lock(files.mutex);
  const auto found = files.byPath.find(path);
  if (found != files.byPath.end() && found->second.wav.identity == identity)
    found->second.wav.folderVersion = folderVersion;
}

}  // namespace shared_wavs

std::shared_ptr<uint8_t[]> CountedData(std::unique_ptr<uint8_t[]> data, uint64_t bytes) noexcept {
  if (!data) return nullptr;
  liveDataBytes.fetch_add(bytes, std::memory_order_relaxed);
  try {
    return std::shared_ptr<uint8_t[]>(data.release(), CountedDelete{bytes});
  } catch (const std::bad_alloc&) {
    return nullptr;  // the deleter has freed the data and taken back the count
  }
}

uint64_t LiveDataBytes() noexcept {
  return liveDataBytes.load(std::memory_order_relaxed);
}

}  // namespace chantera
