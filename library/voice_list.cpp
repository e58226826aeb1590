// "voice.csv": one voice per line, display name, comma, folder name.
//
// The list is read with a byte-level two-state machine whose quirks voice libraries in
// use rely on (see GetVoiceList): it is kept as it is, only bounded.
#include "library/voice_list.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace chantera {
namespace {

constexpr size_t kFileBuffer = 65536;  // bytes of the file considered; the rest is ignored
constexpr int kNameBytes = 63;
// A folder name becomes the module's voice folder between two separators, in a buffer
// of kMaxPath bytes: longer names are cut to what fits there.
constexpr int kFolderBytes = platform::kMaxPath - 3;

// "不明" ("unknown") in Shift-JIS.
constexpr char kUnknownName[] = "\x95\x73\x96\xBE";

void CopyBounded(char* dst, size_t capacity, const char* src) {
  const size_t n = std::min(std::strlen(src), capacity - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

}  // namespace

std::string VoiceListPath(const std::string& dir) {
  std::string path = dir;
  // A root that already ends in a separator ("/") takes none; "X:" takes one, so that the
  // list is looked for in the root of the drive and not in the drive's current folder.
  const bool endsInSeparator = !dir.empty() && (dir.back() == '/' || dir.back() == '\\');
  if (!(platform::IsRootDirectory(dir.c_str()) && endsInSeparator)) path += platform::kPathSeparator;
  path += "voice.csv";
  // A path that does not fit names no file: leave it empty, so the list fails to open and
  // the user sees why, instead of reading some other, truncated path.
  if (path.size() >= static_cast<size_t>(platform::kMaxPath)) path.clear();
  return path;
}

VoiceListReader::VoiceListReader(const std::string& p) : path(p.substr(0, platform::kMaxPath - 1)) {}

void VoiceListReader::GetVoiceList(VoiceList& list, LoadReport* given) {
  list.voiceCount = 0;
  LoadReportScope out(given);
  const platform::File file = !path.empty() ? platform::OpenForReading(path.c_str()) : nullptr;
  if (!file) {
    CopyBounded(list.voiceNames[0], sizeof list.voiceNames[0], kUnknownName);
    CopyBounded(list.voiceFolders[0], sizeof list.voiceFolders[0], "Undef");
    list.voiceCount = 1;
    out->Fail(LoadFailureKind::kVoiceList, path);
    return;
  }
  LoadReport* report = given;  // lines are noted only for a caller that asked

  // The file was read as text: CR LF arrives as LF, a CR that no LF follows stays.
  const std::unique_ptr<char[]> bytes(new char[kFileBuffer]());
  size_t size = 0;
  for (int c = std::getc(file.get()); c != EOF && size < kFileBuffer; c = std::getc(file.get())) {
    if (c == '\r') {
      const int next = std::getc(file.get());
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        std::ungetc(next, file.get());
      }
    }
    bytes[size++] = static_cast<char>(c);
  }
  const bool fileCut = size == kFileBuffer && std::getc(file.get()) != EOF;

  // Name state: a comma other than the very first byte ends the name; every other byte,
  // CR and LF included, is part of it (so the line ends of a second blank line start the
  // next display name). Folder state: CR or LF ends the entry, and an LF right after it
  // is skipped; commas belong to the folder name. An entry without its line end is
  // dropped. Bytes past a field's limit are dropped; entries past the 24th are ignored.
  bool inFolder = false;
  int write = 0;
  int32_t line = 1;       // for the report: the line of byte i
  int32_t entryLine = 1;  // the line on which the current entry's folder name starts
  bool nameLineEnds = false, nameCut = false, folderCut = false;
  std::string lineText;  // for the report: the current line's bytes while reading a name
  size_t i = 0;
  for (; i < size && list.voiceCount < kMaxVoices; ++i) {
    const char c = bytes[i];
    char* name = list.voiceNames[list.voiceCount];
    char* folder = list.voiceFolders[list.voiceCount];
    if (!inFolder) {
      const bool lineEnd = c == '\r' || c == '\n';
      if (report != nullptr) {
        if (lineEnd && !lineText.empty()) {
          // A line with text and no comma: no voice of its own; its bytes open the next name.
          report->Add(LoadNoteKind::kVoiceLineWithoutComma, line, lineText);
        } else {
          nameLineEnds |= lineEnd;  // a blank line's
        }
        if (lineEnd || (c == ',' && i != 0)) {
          lineText.clear();
        } else {
          lineText.push_back(c);
        }
      }
      if (c == ',' && i != 0) {
        name[write] = '\0';
        inFolder = true;
        write = 0;
        entryLine = line;
      } else if (write < kNameBytes) {
        name[write++] = c;
      } else {
        nameCut = true;
      }
    } else if (c == '\r' || c == '\n') {
      folder[write] = '\0';
      inFolder = false;
      write = 0;
      ++list.voiceCount;
      if (i + 1 < size && bytes[i + 1] == '\n') {
        ++i;
        ++line;
      }
      if (report != nullptr) {
        report->voiceLines.push_back(entryLine);
        const std::string folderName = folder;
        if (nameLineEnds) report->Add(LoadNoteKind::kVoiceNameLineEnds, entryLine, name);
        if (nameCut) report->Add(LoadNoteKind::kVoiceNameCut, entryLine, name);
        if (folderCut) report->Add(LoadNoteKind::kVoiceFolderCut, entryLine, folderName);
      }
      nameLineEnds = nameCut = folderCut = false;
      ++line;
      continue;
    } else if (write < kFolderBytes) {
      folder[write++] = c;
    } else {
      folderCut = true;
    }
    if (c == '\r' || c == '\n') ++line;
  }
  if (report == nullptr) return;
  if (inFolder) report->Add(LoadNoteKind::kVoiceWithoutLineEnd, entryLine);
  if (!inFolder && !lineText.empty() && i == size) report->Add(LoadNoteKind::kVoiceLineWithoutComma, line, lineText);
  if (list.voiceCount == kMaxVoices) {
    // Another entry (a comma on a later line) would have been read: the list is full.
    for (; i < size; ++i) {
      if (bytes[i] == ',') {
        report->Add(LoadNoteKind::kVoicesPastLimit, line);
        break;
      }
      if (bytes[i] == '\r' || bytes[i] == '\n') ++line;
    }
  }
  if (fileCut) report->Add(LoadNoteKind::kVoiceFileCut, line);
}

}  // namespace chantera
