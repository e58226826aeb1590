#include "tools/voice/voice_files.h"

#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/platform.h"
#include "tools/render/partial_file.h"
#include "tools/voice/utau.h"

namespace chantera::voice {

namespace fs = std::filesystem;

namespace {

// A file or folder name as the text oto.ini holds: UTF-8 as it stands, else read as
// Shift-JIS; composed, ASCII case folded.
std::string Comparable(const std::string& name) {
  return FoldAscii(ComposeKana(platform::IsValidUtf8(name) ? name : platform::ShiftJisToUtf8(name)));
}

fs::path AsideOf(const fs::path& target) {
  std::string name = ".";  // appended: GCC 12 warns wrongly about "." + std::string
  name += target.filename().string();
  name += ".replaced";
  return target.parent_path() / name;
}

// The files of a voice folder (it has no subfolders) and the folder itself, synced, so that
// the new voice is on the disk before it takes the old one's place.
void SyncFolder(const fs::path& folder) {
  std::error_code error;
  for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator(); it.increment(error))
    if (it->is_regular_file(error)) platform::SyncToDisk(it->path().string().c_str());
  platform::SyncToDisk(folder.string().c_str());
}

}  // namespace

bool ReadLimited(const fs::path& path, uint64_t limit, std::string& bytes, std::string& error) {
  std::error_code code;
  const uint64_t size = fs::file_size(path, code);
  if (code) {
    error = "cannot be read (" + code.message() + ")";
    return false;
  }
  if (size > limit) {
    error = "is too large (" + std::to_string(size >> 20) + " MB)";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), {});
  if (!in && !in.eof()) {
    error = "cannot be read";
    return false;
  }
  return true;
}

std::string FoldAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool Resolve(const fs::path& dir, const std::string& relative, fs::path& found) {
  fs::path at = dir;
  size_t start = 0;
  while (start <= relative.size()) {
    const size_t slash = relative.find('/', start);
    const std::string part = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    start = slash == std::string::npos ? relative.size() + 1 : slash + 1;
    if (part.empty() || part == ".") continue;
    std::error_code error;
    if (fs::exists(at / part, error)) {
      at /= part;
      continue;
    }
    const std::string want = Comparable(part);
    bool any = false;
    for (auto it = fs::directory_iterator(at, error); !error && it != fs::directory_iterator(); it.increment(error)) {
      if (Comparable(it->path().filename().string()) == want) {
        at = it->path();
        any = true;
        break;
      }
    }
    if (!any) return false;
  }
  found = at;
  return true;
}

bool LeadsOutsideBank(const std::string& otoFolder, const std::string& file) {
  if (file.starts_with('/') || (file.size() >= 2 && file[1] == ':')) return true;
  const fs::path joined = (fs::path(otoFolder) / file).lexically_normal();
  return !joined.empty() && *joined.begin() == "..";
}

bool ReplaceFolder(const fs::path& staging, const fs::path& target, std::string& error) {
  SyncFolder(staging);
  const fs::path aside = AsideOf(target);
  std::error_code code;
  const bool replacing = fs::exists(target, code);
  if (replacing) {
    // Left from an import that ended after the new folder was in place: the old one.
    fs::remove_all(aside, code);
    render::Rename(target, aside, code);
    if (code) {
      error = target.string() + ": cannot be moved aside for the new voice (" + code.message() + "); it is unchanged";
      return false;
    }
  }
  render::Rename(staging, target, code);
  if (code) {
    error = target.string() + ": cannot be written (" + code.message() + ")";
    if (replacing) {
      std::error_code back;
      render::Rename(aside, target, back);
      error += back ? "; the voice before it is in " + aside.string() : "; the voice before it is unchanged";
    }
    return false;
  }
  platform::SyncToDisk(target.parent_path().string().c_str());
  if (replacing) fs::remove_all(aside, code);
  return true;
}

void RecoverReplacedFolder(const fs::path& target) {
  std::error_code error;
  const fs::path aside = AsideOf(target);
  if (!fs::exists(target, error) && fs::is_directory(aside, error)) render::Rename(aside, target, error);
}

}  // namespace chantera::voice
