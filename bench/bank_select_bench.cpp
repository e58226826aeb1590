// What a bank select costs the audio thread: the longest process call of 512-frame blocks
// (44.1 kHz, a note sounding, one block every 11.6 ms) from the block that carries the bank select until the new
// voice sings, while the instance switches from a one-recording voice to the demo voice.
//
// BM_BankSelectLongestBlock/background:1 is a host playing live: the voice loads on the
// instance's loader thread and takes over at the start of a block. background:0 is an
// offline render (and a VST 2 host that does not say how it plays): the block of the bank
// select reads the whole voice, which is what every bank select cost before. cold:1 drops
// the demo voice's files from the page cache (posix_fadvise DONTNEED) before each select;
// every iteration is a fresh instance, so no sample data is shared from an earlier one.
//
// The iteration time is the longest block of that switch (manual time, wall clock: a
// dropout is wall time); the counter longest_block_ms is the longest of the whole run,
// longest_block_cpu_ms the most CPU time the thread spent in one block, blocks the blocks
// until the new voice sang, waits the times the thread gave up the processor inside a
// process call (0 when it never waits), preempted the times the scheduler put it aside
// for another thread there (a shared machine's doing, not the instrument's). Linux only
// (posix_fadvise, per-thread resource use).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/demo_files.h"
#include "engine/sampler.h"

namespace {

namespace fs = std::filesystem;
using chantera::Sampler;

constexpr int32_t kBlock = 512;
constexpr auto kBlockPeriod = std::chrono::microseconds(11610);  // 512 frames at 44.1 kHz
constexpr int kBlockLimit = 2600;                                // half a minute: a switch that never comes

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Le(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

// One second of a 440 Hz tone, 16-bit mono at 44.1 kHz.
std::string ToneWav() {
  std::string data;
  for (int i = 0; i < 44100; ++i)
    data += Le(static_cast<uint16_t>(static_cast<int16_t>(8000.0 * std::sin(2.0 * M_PI * 440.0 * i / 44100.0))), 2);
  return "RIFF" + Le(static_cast<uint32_t>(36 + data.size()), 4) + "WAVEfmt " + Le(16, 4) + Le(1, 2) + Le(1, 2) +
         Le(44100, 4) + Le(88200, 4) + Le(2, 2) + Le(16, 2) + "data" + Le(static_cast<uint32_t>(data.size()), 4) + data;
}

// A plug-in folder of two voices: a one-recording voice first, the build's demo voice
// (linked, not copied, so that its files are the ones dropped from the page cache) second.
class TwoVoiceFolder {
 public:
  TwoVoiceFolder() {
    char pattern[] = "/tmp/chantera-bank-select-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    fs::create_directories(dir_ / "tone");
    WriteFile(dir_ / "voice.csv", "Tone,tone\r\nChantera Demo,demo\r\n");
    WriteFile(dir_ / "tone" / "samples.txt", "t.wav,t,69\r\n");
    WriteFile(dir_ / "tone" / "programs.txt", "Program\r\nP,1.0,2,t\r\nS,0,127,t.wav\r\nEnd\r\n");
    WriteFile(dir_ / "tone" / "t.wav", ToneWav());
    std::error_code error;
    fs::create_directory_symlink(fs::absolute(chantera::bench::PluginDir() + "/demo"), dir_ / "demo", error);
  }
  ~TwoVoiceFolder() {
    std::error_code error;
    if (!dir_.empty()) fs::remove_all(dir_, error);
  }
  TwoVoiceFolder(const TwoVoiceFolder&) = delete;
  TwoVoiceFolder& operator=(const TwoVoiceFolder&) = delete;
  std::string str() const { return dir_.string(); }

 private:
  fs::path dir_;
};

void DropFromPageCache(const std::vector<chantera::bench::DemoFile>& files) {
  for (const auto& file : files) {
    const int fd = open(file.path.c_str(), O_RDONLY);
    if (fd < 0) continue;
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
}

// What one process call cost: wall time, the thread's own CPU time, and whether the
// thread gave up the processor on its own (a wait: a lock, a file, a page read from disk)
// or was put aside by the scheduler for another thread (the machine is shared).
struct BlockCost {
  double wall = 0.0, cpu = 0.0;
  long waits = 0, preempted = 0;
};

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

BlockCost TimedBlock(Sampler& sampler, std::vector<float>& left, std::vector<float>& right) {
  rusage before{}, after{};
  getrusage(RUSAGE_THREAD, &before);
  const double cpu = ThreadCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  sampler.Process(left.data(), right.data(), kBlock);
  BlockCost cost;
  cost.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cost.cpu = ThreadCpuSeconds() - cpu;
  getrusage(RUSAGE_THREAD, &after);
  cost.waits = after.ru_nvcsw - before.ru_nvcsw;
  cost.preempted = after.ru_nivcsw - before.ru_nivcsw;
  return cost;
}

void Queue(Sampler& sampler, std::initializer_list<chantera::MidiEvent> events) {
  sampler.BeginEvents();
  for (const auto& event : events) sampler.QueueEvent(event);
}

void BM_BankSelectLongestBlock(benchmark::State& state) {
  const bool background = state.range(0) != 0, cold = state.range(1) != 0;
  const std::vector<chantera::bench::DemoFile> files = chantera::bench::DemoFiles();
  if (files.empty()) {
    state.SkipWithError("no demo voice (build the plug-in folder, or set CHANTERA_PLUGIN_DIR)");
    return;
  }
  const TwoVoiceFolder folder;
  // A live host runs its audio thread at a real-time priority, above every ordinary
  // thread; where the system allows it, so does this one (the counter says).
  sched_param priority{};
  priority.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
  const bool realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
  std::vector<float> left(kBlock), right(kBlock);
  double longestOfRun = 0.0, longestCpu = 0.0;
  int64_t waits = 0, preempted = 0;
  int64_t blocks = 0;
  while (state.KeepRunning()) {
    auto sampler = std::make_unique<Sampler>(folder.str());
    sampler->SetHostSampleRate(44100.0f);
    sampler->SetBankSelectSwitching(background ? Sampler::Switching::kInBackground : Sampler::Switching::kAtOnce);
    Queue(*sampler, {{0, 0x90, 60, 100}});
    for (int b = 0; b < 4; ++b) sampler->Process(left.data(), right.data(), kBlock);
    if (cold) DropFromPageCache(files);
    Queue(*sampler, {{0, 0xB0, 0, 100}, {0, 0xB0, 32, 1}, {kBlock / 2, 0x90, 64, 100}});
    BlockCost worst;
    int b = 0;
    const auto add = [&worst](const BlockCost& cost) {
      worst.wall = std::max(worst.wall, cost.wall);
      worst.cpu = std::max(worst.cpu, cost.cpu);
      worst.waits += cost.waits;
      worst.preempted += cost.preempted;
    };
    // Blocks come as a live host asks for them, one every 11.6 ms (the thread rests
    // between two), not back to back.
    auto next = std::chrono::steady_clock::now();
    do {
      std::this_thread::sleep_until(next);
      next += kBlockPeriod;
      add(TimedBlock(*sampler, left, right));
      ++b;
    } while (sampler->SwitchPending() && b < kBlockLimit);
    // The demo voice sings from here on: the block after the switch counts too.
    std::this_thread::sleep_until(next);
    add(TimedBlock(*sampler, left, right));
    blocks += b;
    longestOfRun = std::max(longestOfRun, worst.wall);
    longestCpu = std::max(longestCpu, worst.cpu);
    waits += worst.waits;
    preempted += worst.preempted;
    state.SetIterationTime(worst.wall);
    const bool switched = sampler->Bank()->sampleCount.load() > 1;
    sampler->Shutdown();
    if (!switched) {
      state.SkipWithError("the bank select did not load the demo voice");
      break;
    }
  }
  if (realTime) {
    priority.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &priority);
  }
  state.counters["real_time_priority"] = realTime ? 1 : 0;
  state.counters["longest_block_ms"] = longestOfRun * 1e3;
  state.counters["longest_block_cpu_ms"] = longestCpu * 1e3;
  state.counters["waits"] = static_cast<double>(waits);
  state.counters["preempted"] = static_cast<double>(preempted);
  state.counters["blocks"] = benchmark::Counter(static_cast<double>(blocks), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_BankSelectLongestBlock)
    ->ArgNames({"background", "cold"})
    ->ArgsProduct({{1, 0}, {1, 0}})
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

}  // namespace
