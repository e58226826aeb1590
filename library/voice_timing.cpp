// The timing of a voice's recordings from its oto.ini (see voice_timing.h).
#include "library/voice_timing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "library/sample_bank.h"
#include "platform/platform.h"

namespace chantera {
namespace {

constexpr double kLongestMs = 3600e3;  // an hour: numbers beyond it are no recording's

// A file name as the instrument finds files: one separator, ASCII letters in one case,
// Shift-JIS read as the UTF-8 it stands for.
std::string FileKey(const std::string& name) {
  std::string key = DecodeText(name);
  for (char& c : key) {
    if (c == '\\') c = '/';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

int64_t ToFrames(double ms, uint32_t sampleRate) {
  return std::llround(std::clamp(ms, -kLongestMs, kLongestMs) * sampleRate / 1000.0);
}

void Note(LoadReport* report, LoadNoteKind kind, int32_t line, std::string detail) {
  if (report != nullptr) report->otoNotes.push_back({kind, line, std::move(detail)});
}

}  // namespace

bool ReadOtoFile(const std::string& folder, OtoFile& oto, LoadReport* report) {
  oto = {};
  const std::string path = folder + "oto.ini";
  const platform::File file =
      path.size() < static_cast<size_t>(platform::kMaxPath) ? platform::OpenForReading(path.c_str()) : nullptr;
  if (!file) return false;
  if (report != nullptr) report->otoRead = true;
  std::string bytes;
  std::vector<char> buffer(size_t{1} << 16);
  size_t got = 0;
  while (bytes.size() < kLargestOtoBytes &&
         (got = std::fread(buffer.data(), 1, std::min(buffer.size(), kLargestOtoBytes - bytes.size()), file.get())) > 0)
    bytes.append(buffer.data(), got);
  if (bytes.size() == kLargestOtoBytes && std::fgetc(file.get()) != EOF) Note(report, LoadNoteKind::kOtoFileCut, 0, {});
  oto = ParseOto(bytes);
  return true;
}

SampleTiming TimingOf(const OtoEntry& e, uint32_t sampleRate, uint32_t frames, TimingFaults* faults) {
  TimingFaults found;
  found.negative = e.offset < 0 || e.preutterance < 0;
  found.overlapPastVowel = e.overlap > std::max(e.preutterance, 0.0);
  const int64_t total = frames;
  const int64_t offset = std::max<int64_t>(ToFrames(e.offset, sampleRate), 0);
  int64_t preutterance = std::max<int64_t>(ToFrames(e.preutterance, sampleRate), 0);
  const int64_t end = e.cutoff > 0   ? total - ToFrames(e.cutoff, sampleRate)
                      : e.cutoff < 0 ? offset + ToFrames(-e.cutoff, sampleRate)
                                     : total;
  found.vowelPastEnd = offset + preutterance > std::clamp<int64_t>(end, 0, total);
  SampleTiming timing;
  timing.known = true;
  timing.offset = static_cast<uint32_t>(std::min(offset, total));
  preutterance = std::min<int64_t>(preutterance, total - timing.offset);
  timing.preutterance = static_cast<uint32_t>(preutterance);
  // A WAV header may claim any rate: a long negative overlap is held to what the field holds
  // rather than wrapped.
  timing.overlap = static_cast<int32_t>(
      std::clamp<int64_t>(ToFrames(e.overlap, sampleRate), std::numeric_limits<int32_t>::min(), preutterance));
  if (faults != nullptr) *faults = found;
  return timing;
}

void ApplyTiming(const OtoFile& oto, SampleBank& bank, int32_t count, LoadReport* report) {
  // The entries of each file, in the order oto.ini lists them.
  std::unordered_map<std::string, std::vector<const OtoEntry*>> byFile;
  for (const OtoEntry& e : oto.entries) byFile[FileKey(e.file)].push_back(&e);

  std::unordered_set<std::string> listed;
  std::unordered_set<int32_t> judged;  // entries whose numbers were noted (a file listed twice)
  for (int32_t i = 0; i < count; ++i) {
    Sample* sample = bank.slot(i);
    if (sample == nullptr) continue;
    sample->timing = {};
    const std::string key = FileKey(sample->fileName);
    listed.insert(key);
    const auto found = byFile.find(key);
    if (found == byFile.end()) continue;
    const std::string alias = DecodeText(sample->alias);
    const OtoEntry* entry = found->second.front();
    for (const OtoEntry* e : found->second) {
      if (e->alias == alias) {
        entry = e;
        break;
      }
    }
    TimingFaults faults;
    sample->timing = TimingOf(*entry, sample->sampleRate, sample->ReadableFrames(), &faults);
    // A recording that did not load has no frames to judge against: its own finding says why.
    if (report == nullptr || sample->ReadableFrames() == 0 || !judged.insert(entry->line).second) continue;
    if (faults.negative) Note(report, LoadNoteKind::kOtoNegative, entry->line, entry->file);
    if (faults.vowelPastEnd) Note(report, LoadNoteKind::kOtoVowelPastEnd, entry->line, entry->file);
    if (faults.overlapPastVowel) Note(report, LoadNoteKind::kOtoOverlapPastVowel, entry->line, entry->file);
  }
  if (report == nullptr) return;

  for (const OtoSkipped& s : oto.skipped) {
    if (s.fault == OtoFault::kNotANumber) {
      Note(report, LoadNoteKind::kOtoNotANumber, s.line, s.field);
    } else {
      Note(report, LoadNoteKind::kOtoLineSkipped, s.line, s.text);
    }
  }
  for (const auto& [key, entries] : byFile) {
    if (listed.count(key) == 0)
      Note(report, LoadNoteKind::kOtoFileNotListed, entries.front()->line, entries.front()->file);
    std::unordered_map<std::string, int32_t> aliases;  // alias, its first line
    for (const OtoEntry* e : entries) {
      const auto [first, isNew] = aliases.emplace(e->alias, e->line);
      if (!isNew) Note(report, LoadNoteKind::kOtoDuplicate, e->line, std::to_string(first->second));
    }
  }
  std::stable_sort(report->otoNotes.begin(), report->otoNotes.end(),
                   [](const LoadNote& a, const LoadNote& b) { return a.line < b.line; });
}

double LargestPreutteranceSeconds(const std::string& pluginDir, const VoiceList& list) {
  double largestMs = 0.0;
  OtoFile oto;
  for (int32_t v = 0; v < list.voiceCount; ++v) {
    const std::string folder = pluginDir + platform::kPathSeparator + list.voiceFolders[v] + platform::kPathSeparator;
    if (!ReadOtoFile(folder, oto)) continue;
    for (const OtoEntry& entry : oto.entries)
      if (std::isfinite(entry.preutterance)) largestMs = std::max(largestMs, entry.preutterance);
  }
  return largestMs / 1000.0;
}

}  // namespace chantera
