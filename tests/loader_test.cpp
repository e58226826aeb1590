// The Chorus loader run over a bank: slot order, pacing by a quarter of the time each
// rebuild took, progress published only after a sample is complete, a stop request seen
// at the top of a pass, and the flags raised before the thread exists. The clock is
// fake; a scripted clock or a holding sleep stops the run at the point a test must see.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "library/chorus_builder.h"
#include "library/loader.h"
#include "library/sample_bank.h"
#include "platform/platform.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

constexpr uint32_t kRecordedBytes = 200;  // 100 values each

void FillBank(SampleBank& bank, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    auto data = std::make_unique<uint8_t[]>(kRecordedBytes);
    for (uint32_t b = 0; b < kRecordedBytes; ++b) data[b] = static_cast<uint8_t>(b * 7 + static_cast<uint32_t>(i));
    bank.samples[static_cast<size_t>(i)]->SetData(std::move(data), kRecordedBytes);
  }
  bank.sampleCount.store(count);
}

bool Rebuilt(const SampleBank& bank, int32_t i) {
  return bank.slot(i)->dataSize == ChorusLength(kRecordedBytes / 2) * 2;
}

// A clock the test scripts: what the n-th read (from 0) returns, and what it does meanwhile.
std::function<uint32_t(uint32_t)> tickScript;
std::atomic<uint32_t> tickReads{0};
uint32_t ScriptedTick() {
  return tickScript(tickReads.fetch_add(1));
}
void ScriptClock(std::function<uint32_t(uint32_t)> script) {
  tickScript = std::move(script);
  tickReads = 0;
  platform::SetTickHook(ScriptedTick);
}

// Holds the loader in its first pause until released.
std::atomic<bool> pauseEntered{false};
std::atomic<bool> pauseReleased{false};
void HoldingSleep(uint32_t) {
  pauseEntered.store(true);
  while (!pauseReleased.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

struct Loader : ::testing::Test {
  FakeClock clock;  // restores every hook when the test ends
};

// With no loaded sample the run publishes nothing; otherwise the last index it rebuilt.
TEST_F(Loader, RebuildsEveryLoadedSampleInSlotOrderAndPublishesTheLast) {
  for (const int32_t count : {0, 4}) {
    SampleBank bank;
    FillBank(bank, count);
    LoaderThread(bank);
    for (int32_t i = 0; i < count; ++i) EXPECT_TRUE(Rebuilt(bank, i)) << i;
    EXPECT_EQ(bank.slot(count)->dataSize, 0u);  // beyond sampleCount: not touched
    EXPECT_EQ(bank.loaderProgress.load(), count - 1);
    EXPECT_FALSE(bank.loaderBusy.load());
    EXPECT_EQ(FakeClock::sleeps(), uint32_t(count));  // one pause after each sample
  }
}

TEST_F(Loader, PausesAQuarterOfTheTimeEachRebuildTook) {
  ScriptClock([](uint32_t n) { return 40 * (n + 1); });  // 40 ms between any two reads
  SampleBank bank;
  FillBank(bank, 3);
  LoaderThread(bank);
  EXPECT_EQ(tickReads.load(), 6u);  // once before and once after each rebuild
  EXPECT_EQ(FakeClock::sleeps(), 3u);
  EXPECT_EQ(FakeClock::sleptMs(), 30u);  // 40 ms each, a quarter of it
}

TEST_F(Loader, PauseRoundsDownAndSurvivesTheTickCountWrapping) {
  // 0xFFFFFFF0 then 0x00000005: 21 ms passed across the wrap; the pause is 5 ms.
  ScriptClock([](uint32_t n) { return n == 0 ? 0xFFFFFFF0u : 5u; });
  SampleBank bank;
  FillBank(bank, 1);
  LoaderThread(bank);
  EXPECT_EQ(FakeClock::sleptMs(), 5u);
}

TEST_F(Loader, StopDuringSampleFiveFinishesItAndLeavesTheRestRecorded) {
  SampleBank bank;
  FillBank(bank, 10);
  ScriptClock([&bank](uint32_t n) {
    if (n == 10) bank.loaderStop.store(true);  // the read just before sample 5 is rebuilt
    return 0u;
  });
  LoaderThread(bank);
  EXPECT_EQ(bank.loaderProgress.load(), 5);
  EXPECT_EQ(FakeClock::sleeps(), 6u);  // sample 5 still gets its pause
  for (int32_t i = 0; i <= 5; ++i) EXPECT_TRUE(Rebuilt(bank, i)) << i;
  for (int32_t i = 6; i < 10; ++i) EXPECT_EQ(bank.slot(i)->dataSize, kRecordedBytes) << i;
  EXPECT_FALSE(bank.loaderBusy.load());
}

TEST_F(Loader, StopAlreadySetEndsTheRunBeforeAnySample) {
  SampleBank bank;
  FillBank(bank, 3);
  bank.loaderStop.store(true);
  LoaderThread(bank);
  EXPECT_EQ(bank.loaderProgress.load(), -1);
  EXPECT_EQ(bank.slot(0)->dataSize, kRecordedBytes);
}

TEST_F(Loader, SampleCountIsReadAnewBeforeEverySample) {
  // The count falls to 2 while sample 0 is rebuilt: the run ends after sample 1.
  SampleBank bank;
  FillBank(bank, 5);
  ScriptClock([&bank](uint32_t n) {
    if (n == 0) bank.sampleCount.store(2);
    return 0u;
  });
  LoaderThread(bank);
  EXPECT_EQ(bank.loaderProgress.load(), 1);
  EXPECT_EQ(bank.slot(2)->dataSize, kRecordedBytes);
}

// The flags are raised before the thread exists, progress is published only once a sample
// is complete, and the thread holds the bank after the instrument has let go of it.
TEST_F(Loader, RunIsVisibleBeforeItsThreadPublishesAnythingAndKeepsTheBankAlive) {
  const int32_t before = SampleBank::LiveCount();
  pauseEntered = false;
  pauseReleased = false;
  platform::SetSleepHook(HoldingSleep);
  auto bank = std::make_shared<SampleBank>();
  FillBank(*bank, 2);
  bank->loaderProgress.store(9);  // what an earlier run left
  StartLoader(bank, true);
  EXPECT_TRUE(bank->loaderBusy.load(std::memory_order_acquire));
  ASSERT_TRUE(WaitUntil([] { return pauseEntered.load(); }));
  // Sample 0 is rebuilt and the run pauses: its index is not published yet.
  EXPECT_EQ(bank->loaderProgress.load(std::memory_order_acquire), -1);
  bank.reset();
  EXPECT_EQ(SampleBank::LiveCount(), before + 1);  // the instrument let go; the run did not
  pauseReleased = true;
  EXPECT_TRUE(WaitUntil([before] { return SampleBank::LiveCount() == before; }));
}

TEST_F(Loader, EffectOffOrABusyBankStartsNothing) {
  auto off = std::make_shared<SampleBank>();
  FillBank(*off, 2);
  off->loaderProgress.store(7);
  StartLoader(off, false);
  EXPECT_FALSE(off->loaderBusy.load());
  auto busy = std::make_shared<SampleBank>();
  FillBank(*busy, 2);
  busy->loaderBusy.store(true);  // a run that is still working
  busy->loaderProgress.store(0);
  StartLoader(busy, true);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // what a started run would do by now
  EXPECT_EQ(off->loaderProgress.load(), 7);
  EXPECT_EQ(off->slot(0)->dataSize, kRecordedBytes);
  EXPECT_EQ(busy->loaderProgress.load(), 0);
  EXPECT_EQ(busy->slot(1)->dataSize, kRecordedBytes);
  busy->loaderBusy.store(false);
}

}  // namespace
}  // namespace chantera::test
