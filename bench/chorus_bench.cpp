// The Chorus rebuild of a one-second recording (44100 values, 382198 out), in values
// written per second, beside a floor that streams the same number of values through
// memory the way the rebuild's last stage must (read 32-bit, write 16-bit).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "library/chorus_builder.h"
#include "library/sample.h"

namespace {

constexpr uint32_t kOneSecond = 44100;

std::vector<int16_t> Recording() {
  std::vector<int16_t> values(kOneSecond);
  for (uint32_t i = 0; i < kOneSecond; ++i)
    values[i] = static_cast<int16_t>(12000.0 * std::sin(i * 2.0 * 3.141592653589793 * 220.0 / 44100.0));
  return values;
}

void BM_BuildChorusOneSecond(benchmark::State& state) {
  const auto values = Recording();
  std::vector<int16_t> out;
  for (auto _ : state) {
    chantera::BuildChorus(values, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * chantera::ChorusLength(kOneSecond));
}
BENCHMARK(BM_BuildChorusOneSecond)->Unit(benchmark::kMillisecond);

// As the loader runs it: a fresh output buffer each time, the old data freed, the working
// memory kept from one sample to the next.
void BM_RebuildSampleOneSecond(benchmark::State& state) {
  const auto values = Recording();
  chantera::Sample sample;
  std::vector<double> workspace;
  for (auto _ : state) {
    state.PauseTiming();
    auto data = std::make_unique<uint8_t[]>(kOneSecond * 2);
    for (uint32_t i = 0; i < kOneSecond; ++i) {
      data[2 * i] = static_cast<uint8_t>(values[i] & 0xFF);
      data[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(values[i]) >> 8);
    }
    sample.SetData(std::move(data), kOneSecond * 2);
    state.ResumeTiming();
    chantera::RebuildSample(sample, workspace);
    benchmark::DoNotOptimize(sample.pcm.get());
  }
  state.SetItemsProcessed(state.iterations() * chantera::ChorusLength(kOneSecond));
}
BENCHMARK(BM_RebuildSampleOneSecond)->Unit(benchmark::kMillisecond);

void BM_StreamFloorOneSecond(benchmark::State& state) {
  const uint32_t total = chantera::ChorusLength(kOneSecond);
  std::vector<int32_t> work(total, 1);
  std::vector<int16_t> out(total);
  for (auto _ : state) {
    for (uint32_t k = 0; k < total; ++k) out[k] = static_cast<int16_t>(work[k] >> 1);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * total);
}
BENCHMARK(BM_StreamFloorOneSecond)->Unit(benchmark::kMillisecond);

}  // namespace
