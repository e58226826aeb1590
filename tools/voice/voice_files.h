// The files of the voice import: reading a bank's text files within a limit, finding the
// files its oto.ini names however the bank's maker's system stored their names, and
// putting a finished voice folder in place without ever losing the voice it replaces.
// Thread: offline only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace chantera::voice {

// The bytes of a file of at most limit bytes; false with error ("is too large (20 MB)").
bool ReadLimited(const std::filesystem::path& path, uint64_t limit, std::string& bytes, std::string& error);

// ASCII letters in lower case, other bytes as they are.
std::string FoldAscii(std::string s);

// A relative path of oto.ini (UTF-8, NFC, '/' between folders) inside dir: each component
// as written, else the entry whose name, composed and with ASCII case folded, is the same.
// Names made on macOS are decomposed; Windows ignores case; and a bank unpacked without
// converting its names keeps them in Shift-JIS bytes.
bool Resolve(const std::filesystem::path& dir, const std::string& relative, std::filesystem::path& found);

// Whether the file of an oto.ini entry (relative to the folder of its oto.ini, itself
// relative to the bank; '/' between folders) lies outside the bank: an absolute path, a
// Windows drive, or more ".." than folders ("..\..\x.wav").
bool LeadsOutsideBank(const std::string& otoFolder, const std::string& file);

// Puts the finished voice folder staging (beside target) in target's place, synced to disk
// first. A folder already there (the voice imported before) is moved aside and deleted
// only once the new one is in place; when the new one cannot be put there, the old one
// goes back. False with error when target is not the new folder.
bool ReplaceFolder(const std::filesystem::path& staging, const std::filesystem::path& target, std::string& error);

// Where ReplaceFolder keeps the folder it replaces until the new one is in place. When an
// import ended between the two renames (a crash, a power cut), target is missing and the
// old voice is there: this puts it back. Call it before looking at target.
void RecoverReplacedFolder(const std::filesystem::path& target);

}  // namespace chantera::voice
