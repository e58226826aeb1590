// The operating-system layer: the plug-in's own directory, Shift-JIS text, messages, the
// doorbell the voice loader sleeps on.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace chantera::test {
namespace {

TEST(Platform, ShiftJisLeadBytes) {
  int leads = 0;
  for (int b = 0; b < 256; ++b) leads += platform::IsDBCSLeadByte(static_cast<uint8_t>(b)) ? 1 : 0;
  EXPECT_EQ(leads, (0x9F - 0x81 + 1) + (0xFC - 0xE0 + 1));
  EXPECT_TRUE(platform::IsDBCSLeadByte(0x82));
  EXPECT_FALSE(platform::IsDBCSLeadByte(0x80));
  EXPECT_FALSE(platform::IsDBCSLeadByte(0xA0));  // half-width katakana is a single byte
  EXPECT_FALSE(platform::IsDBCSLeadByte(' '));
}

TEST(Platform, ShiftJisToUtf8) {
  EXPECT_EQ(platform::ShiftJisToUtf8("\x95\x73\x96\xbe"), "不明");
  EXPECT_EQ(platform::ShiftJisToUtf8("plain.wav"), "plain.wav");
  // A lone lead byte at the end is kept rather than lost.
  EXPECT_EQ(platform::ShiftJisToUtf8("a\x82").size(), 2u);
}

TEST(Platform, RootDirectories) {
  for (const auto& [dir, root] :
       {std::pair<const char*, bool>{"C:", true}, {"/", true}, {"C:\\vst", false}, {"/usr", false}, {"", false}})
    EXPECT_EQ(platform::IsRootDirectory(dir), root) << dir;
}

TEST(Platform, MessageIsOneLineOnStandardErrorInUtf8) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(platform::ShowMessage("GetVoiceList\x82\xc5\x83\x47\x83\x89\x81\x5b", "Errr"), 1);
  platform::ShowMessage("Wave file load failed.", "Error");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Errr: GetVoiceListでエラー\nError: Wave file load failed.\n");
}

TEST(Platform, ModuleDirectoryOfTheTestProgram) {
  const std::string dir = platform::ModuleDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
#ifdef _WIN32
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir) / "chantera_tests.exe"));
#else
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir) / "chantera_tests"));
#endif
}

// A ring is never lost: one made while nobody waits is kept for the next Wait, and each
// of many rings from another thread, made at any moment of the waiter's loop, is answered
// (a lost one leaves the waiter asleep and the test hanging, as an instance's close did).
TEST(Platform, DoorbellKeepsARingForTheNextWaitAndMissesNone) {
  platform::Doorbell bell;
  bell.Ring();
  bell.Wait();  // returns: the ring was kept
  std::atomic<int> asked{0}, answered{0};
  std::thread waiter([&] {
    while (answered.load() < 2000) {
      bell.Wait();
      answered.store(asked.load());
    }
  });
  for (int i = 1; i <= 2000; ++i) {
    asked.store(i);
    bell.Ring();
    while (answered.load() < i) std::this_thread::yield();
  }
  waiter.join();
  EXPECT_EQ(answered.load(), 2000);
}

}  // namespace
}  // namespace chantera::test
