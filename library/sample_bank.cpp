// The 1088 sample slots and "samples.txt": one line per WAV file of the voice folder,
// "fileName,alias,rootNote"; and, when the folder has one, oto.ini (voice_timing.h).
#include "library/sample_bank.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <string>

#include "library/pitch.h"
#include "library/text_lines.h"
#include "library/voice_timing.h"
#include "platform/platform.h"

namespace chantera {
namespace {

std::atomic<int32_t> liveBanks{0};

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string AsciiLowered(const char* text) {
  std::string lowered(text);
  for (char& c : lowered) c = AsciiLower(c);
  return lowered;
}

// Paths are composed into buffers of kMaxPath bytes on the platform the voice files
// come from; a longer one names no file there.
bool FitsPathBuffer(const std::string& path) {
  return path.size() < static_cast<size_t>(platform::kMaxPath);
}

}  // namespace

SampleBank::SampleBank() {
  liveBanks.fetch_add(1, std::memory_order_relaxed);
  AllocateSamples();
}

SampleBank::~SampleBank() {
  FreeSamples();
  liveBanks.fetch_sub(1, std::memory_order_relaxed);
}

int32_t SampleBank::LiveCount() noexcept {
  return liveBanks.load(std::memory_order_relaxed);
}

void SampleBank::AllocateSamples() {
  for (auto& slot : samples) slot.reset(new (std::nothrow) Sample);
  nameIndex.clear();
  sampleCount.store(0, std::memory_order_release);
}

void SampleBank::FreeSamples() {
  for (auto& slot : samples) slot.reset();
  nameIndex.clear();
}

int32_t SampleBank::LoadSampleList(const std::string& pluginDir, const std::string& voiceFolder, LoadReport* given) {
  LoadReportScope out(given);
  LoadReport* report = given;  // lines are noted only for a caller that asked
  const std::string folder = pluginDir + voiceFolder;
  const std::string listPath = folder + "samples.txt";
  const platform::File file = FitsPathBuffer(listPath) ? platform::OpenForReading(listPath.c_str()) : nullptr;
  nameIndex.clear();
  if (!file) {
    sampleCount.store(0, std::memory_order_release);
    return 0;
  }

  const platform::Folder opened(folder);
  int32_t n = 0;
  int32_t lineNumber = 0;
  std::string line;
  bool cut = false;
  while (n < kSampleSlots && text::ReadLine(file.get(), line, &cut)) {
    ++lineNumber;
    if (report != nullptr && cut) report->Add(LoadNoteKind::kLineCut, lineNumber, line);
    const auto fields = text::SplitFields(line, 3);
    if (fields.size() < 3) {  // no first or no third field: uses no slot
      if (report != nullptr && !line.empty()) report->Add(LoadNoteKind::kSampleLineSkipped, lineNumber, line);
      continue;
    }
    if (report != nullptr) {
      report->sampleLines.push_back(lineNumber);
      if (!text::HoldsNumber(fields[2], true))
        report->Add(LoadNoteKind::kRootNotANumber, lineNumber, std::string(fields[2]));
    }
    const std::string fileName(fields[0]);
    const std::string wavPath = folder + fileName;
    if (Sample* sample = samples[static_cast<size_t>(n)].get()) {
      if (FitsPathBuffer(wavPath)) {
        sample->LoadFromWav(wavPath, &opened, fileName, &*out);  // the slot counts either way
      } else {
        // Too long to open: the same case for the user as a file that is not there.
        out->Fail(LoadFailureKind::kWaveFile, wavPath);
      }
      sample->SetFileName(fileName.c_str());
      nameIndex.emplace(AsciiLowered(fileName.c_str()), n);  // the first slot of a name stays
      sample->SetAlias(std::string(fields[1]).c_str());
      sample->timing = {};
      const double r = text::ParseInt(fields[2]);
      sample->rootFrequency = NoteToHz(r);
    }
    ++n;
  }
  if (report != nullptr && n == kSampleSlots) {
    // Only lines that would have used a slot count as dropped.
    while (text::ReadLine(file.get(), line)) {
      ++lineNumber;
      if (text::SplitFields(line, 3).size() == 3) {
        report->Add(LoadNoteKind::kSamplesPastLimit, lineNumber, line);
        break;
      }
    }
  }
  // The recordings' timing, when the folder has an oto.ini: a folder without one reads
  // nothing more.
  OtoFile oto;
  if (ReadOtoFile(folder, oto, report)) ApplyTiming(oto, *this, n, report);
  sampleCount.store(n, std::memory_order_release);
  return 0;
}

int32_t SampleBank::FindSample(const char* name) const {
  const int32_t count = sampleCount.load(std::memory_order_acquire);
  if (count < 1 || name == nullptr) return -1;
  const auto found = nameIndex.find(AsciiLowered(name));
  return found != nameIndex.end() && found->second < count && found->second < kSampleSlots ? found->second : -1;
}

}  // namespace chantera
