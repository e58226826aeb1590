// Loading a voice and constructing an instance, against a plain read of the same bytes.
//
// BM_LoadDemoVoice reads the demo voice the build made (build/Chantera/demo: its
// samples.txt and every WAV file it names) through SampleBank::LoadSampleList, as voice
// selection does. BM_PlainReadDemoVoice is its floor: the same files opened and read whole
// with fread into a fresh buffer each, with no parsing at all (the list of files and
// their sizes is made once, outside the timing). Both run with a warm page cache, so the
// ratio shows what the loader adds to the reading itself: the list parsing, the RIFF walk,
// the seeks and the allocations.
//
// BM_ConstructSamplerDemoVoice is the instrument's whole start-up as a host sees it: the
// voice list, the demo voice's samples and programs, the key map of program 0. A second
// instance beside a first (BM_ConstructSecondInstanceDemoVoice) shares the first one's
// sample data, and BM_EightInstancesSampleMemory counts the data eight instances hold.
//
// The plug-in folder is found beside the benchmark's own folder (build/bench/../Chantera);
// CHANTERA_PLUGIN_DIR overrides it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/demo_files.h"
#include "engine/sampler.h"
#include "library/sample.h"
#include "library/sample_bank.h"
#include "library/shared_wavs.h"
#include "platform/platform.h"

namespace {

using chantera::bench::DemoFile;
using chantera::bench::DemoFiles;
using chantera::bench::PluginDir;

void BM_LoadDemoVoice(benchmark::State& state) {
  const std::string dir = PluginDir();
  const std::string voiceFolder =
      std::string(1, chantera::platform::kPathSeparator) + "demo" + std::string(1, chantera::platform::kPathSeparator);
  chantera::SampleBank bank;
  bank.LoadSampleList(dir.c_str(), voiceFolder.c_str());  // warm the page cache
  if (bank.sampleCount.load() == 0) {
    state.SkipWithError("no demo voice (build the plug-in folder, or set CHANTERA_PLUGIN_DIR)");
    return;
  }
  int64_t bytes = 0;
  for (int32_t i = 0; i < bank.sampleCount.load(); ++i) bytes += bank.slot(i)->dataSize;
  while (state.KeepRunning()) {
    // Fresh samples: with the old ones alive the files' data would be shared, not read.
    state.PauseTiming();
    bank.FreeSamples();
    bank.AllocateSamples();
    state.ResumeTiming();
    bank.LoadSampleList(dir.c_str(), voiceFolder.c_str());
    benchmark::DoNotOptimize(bank.slot(0)->pcm.get());
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["files"] = bank.sampleCount.load();
}
BENCHMARK(BM_LoadDemoVoice)->Unit(benchmark::kMillisecond);

void BM_PlainReadDemoVoice(benchmark::State& state) {
  const std::vector<DemoFile> files = DemoFiles();
  if (files.empty()) {
    state.SkipWithError("no demo voice (build the plug-in folder, or set CHANTERA_PLUGIN_DIR)");
    return;
  }
  std::vector<std::unique_ptr<uint8_t[]>> buffers(files.size());
  int64_t bytes = 0;
  for (const DemoFile& file : files) bytes += static_cast<int64_t>(file.size);
  while (state.KeepRunning()) {
    for (size_t i = 0; i < files.size(); ++i) {
      const chantera::platform::File f(std::fopen(files[i].path.c_str(), "rb"));
      if (!f) continue;
      buffers[i].reset(new uint8_t[files[i].size]);
      const size_t got = std::fread(buffers[i].get(), 1, files[i].size, f.get());
      benchmark::DoNotOptimize(got);
    }
    benchmark::DoNotOptimize(buffers.data());
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["files"] = static_cast<double>(files.size());
}
BENCHMARK(BM_PlainReadDemoVoice)->Unit(benchmark::kMillisecond);

void BM_ConstructSamplerDemoVoice(benchmark::State& state) {
  const std::string dir = PluginDir();
  while (state.KeepRunning()) {
    chantera::Sampler sampler(dir);
    benchmark::DoNotOptimize(&sampler);
    if (sampler.Bank()->sampleCount.load() == 0) {
      state.SkipWithError("no demo voice (build the plug-in folder, or set CHANTERA_PLUGIN_DIR)");
      break;
    }
    sampler.Shutdown();
  }
}
BENCHMARK(BM_ConstructSamplerDemoVoice)->Unit(benchmark::kMillisecond);

// A further instance while one with the demo voice is up, as in a host with several
// tracks: its samples share the first instance's data instead of reading the files.
void BM_ConstructSecondInstanceDemoVoice(benchmark::State& state) {
  const std::string dir = PluginDir();
  chantera::Sampler first(dir);
  if (first.Bank()->sampleCount.load() == 0) {
    state.SkipWithError("no demo voice (build the plug-in folder, or set CHANTERA_PLUGIN_DIR)");
    return;
  }
  while (state.KeepRunning()) {
    chantera::Sampler sampler(dir);
    benchmark::DoNotOptimize(&sampler);
    sampler.Shutdown();
  }
  first.Shutdown();
}
BENCHMARK(BM_ConstructSecondInstanceDemoVoice)->Unit(benchmark::kMillisecond);

// The sample data held by one instance with the demo voice and by eight (every copy of
// shared data counted once), as counters; the time is that of making the eight.
void BM_EightInstancesSampleMemory(benchmark::State& state) {
  const std::string dir = PluginDir();
  while (state.KeepRunning()) {
    const uint64_t before = chantera::LiveDataBytes();
    std::vector<std::unique_ptr<chantera::Sampler>> instances;
    instances.push_back(std::make_unique<chantera::Sampler>(dir));
    const uint64_t one = chantera::LiveDataBytes() - before;
    while (instances.size() < 8) instances.push_back(std::make_unique<chantera::Sampler>(dir));
    const uint64_t eight = chantera::LiveDataBytes() - before;
    if (one == 0) {
      state.SkipWithError("no demo voice (build the plug-in folder, or set CHANTERA_PLUGIN_DIR)");
      break;
    }
    state.counters["one_instance_bytes"] = static_cast<double>(one);
    state.counters["eight_instances_bytes"] = static_cast<double>(eight);
    for (auto& instance : instances) instance->Shutdown();
  }
}
BENCHMARK(BM_EightInstancesSampleMemory)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
