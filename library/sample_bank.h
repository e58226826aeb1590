// The samples of the selected voice: 1088 slots, the count that the current
// "samples.txt" filled, and the flags by which the Chorus loader thread publishes its
// progress.
//
// Ownership and threads: a bank is shared (std::shared_ptr) between its instrument and a
// running loader thread, so that an instrument destroyed while a loader still works
// (the destructor gives up after a minute) never frees storage the loader uses. The
// bank is reloaded or freed only while no loader runs and no render reads it (the
// instrument's reload guard); the loader replaces one sample's data after another and
// publishes its index in loaderProgress with release ordering; the audio thread reads
// only samples up to loaderProgress (acquire) while loaderBusy is set.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "library/load_report.h"
#include "library/sample.h"

namespace chantera {

inline constexpr int kSampleSlots = 1088;

class SampleBank {
 public:
  SampleBank();  // allocates the 1088 samples
  ~SampleBank();
  SampleBank(const SampleBank&) = delete;
  SampleBank& operator=(const SampleBank&) = delete;

  // A default Sample in every slot (null where one cannot be made); sampleCount 0.
  void AllocateSamples();
  // Destroys every slot's Sample.
  void FreeSamples();
  // Reads pluginDir + voiceFolder + "samples.txt" and loads its WAV files into slots
  // 0, 1, ... in list order, reusing the slots' Sample objects. Missing list (or a path
  // over 259 characters): sampleCount 0, silently. Lines past the 1088th slot are
  // ignored. Then gives each loaded sample its timing from the folder's oto.ini, when it
  // has one (library/voice_timing.h; none otherwise). Returns 0. A WAV file that cannot
  // be read is a failure (load_report.h): shown as this returns, or by the caller that
  // gives a report. report, when given, also receives each slot's line and what was
  // skipped or cut (the voice check tool); the load is the same with or without it.
  // Thread: the reloading thread, with no loader running and no render reading the bank.
  int32_t LoadSampleList(const std::string& pluginDir, const std::string& voiceFolder, LoadReport* report = nullptr);
  // Index of the first loaded sample whose file name matches (ASCII case ignored), or -1.
  // Looked up in an index that LoadSampleList makes (a program file names every sample),
  // so the names are those LoadSampleList gave.
  int32_t FindSample(const char* name) const;

  Sample* slot(int32_t index) const noexcept {
    return index >= 0 && index < kSampleSlots ? samples[static_cast<size_t>(index)].get() : nullptr;
  }

  std::array<std::unique_ptr<Sample>, kSampleSlots> samples;
  // The loaded samples' file names in ASCII lower case, each with its first slot.
  std::unordered_map<std::string, int32_t> nameIndex;
  std::atomic<int32_t> sampleCount{0};

  // Chorus loader: 1 while a run is active; the last sample it finished (-1 before the
  // first); 1 asks it to stop before its next sample.
  std::atomic<bool> loaderBusy{false};
  std::atomic<int32_t> loaderProgress{-1};
  std::atomic<bool> loaderStop{false};

  // Number of banks alive in the process (tests check that every bank is freed, also
  // those a loader thread outlived its instrument with).
  static int32_t LiveCount() noexcept;
};

}  // namespace chantera
