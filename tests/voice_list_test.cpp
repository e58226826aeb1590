// "voice.csv" through the two-state machine: line ends of every kind, blank lines, stray
// commas, a last line without its end, the failure entry, and the bounds of the list.
#include <gtest/gtest.h>

#include <cstring>

#include "library/voice_list.h"
#include "support/fixtures.h"

namespace chantera {
namespace {

using test::MessageCounter;
using test::TempDir;

VoiceList Read(const std::string& bytes) {
  TempDir dir;
  const std::string path = dir.Write("voice.csv", bytes).string();
  VoiceList list;
  VoiceListReader reader(path.c_str());
  reader.GetVoiceList(list);
  return list;
}

TEST(VoiceList, SameListForCrLfLfAndCr) {
  for (const std::string end : {"\r\n", "\n", "\r"}) {
    const VoiceList list = Read("A,fa" + end + "B,fb" + end + "X,fx");
    ASSERT_EQ(list.voiceCount, 2) << "line end " << end.size();
    EXPECT_STREQ(list.voiceNames[0], "A");
    EXPECT_STREQ(list.voiceFolders[0], "fa");
    EXPECT_STREQ(list.voiceNames[1], "B");
    EXPECT_STREQ(list.voiceFolders[1], "fb");
  }
}

TEST(VoiceList, OnlyTheFirstCommaSeparates) {
  const VoiceList list = Read("A,fa,x\r\n");
  ASSERT_EQ(list.voiceCount, 1);
  EXPECT_STREQ(list.voiceFolders[0], "fa,x");
}

TEST(VoiceList, BlankLines) {
  for (const std::string end : {"\r\n", "\n"}) {
    const VoiceList one = Read("A,fa" + end + end + "B,fb" + end);
    ASSERT_EQ(one.voiceCount, 2);
    EXPECT_STREQ(one.voiceNames[1], "B");
    const VoiceList two = Read("A,fa" + end + end + end + "B,fb" + end);
    ASSERT_EQ(two.voiceCount, 2);
    EXPECT_STREQ(two.voiceNames[1], "\nB");  // read as text: CR LF arrived as LF
    EXPECT_STREQ(two.voiceFolders[1], "fb");
  }
}

TEST(VoiceList, LeadingCommaStaysInTheName) {
  const VoiceList list = Read(",A,fa\r\n");
  ASSERT_EQ(list.voiceCount, 1);
  EXPECT_STREQ(list.voiceNames[0], ",A");
  EXPECT_STREQ(list.voiceFolders[0], "fa");
}

TEST(VoiceList, EmptyFileOrUnendedLineGivesNoEntry) {
  EXPECT_EQ(Read("").voiceCount, 0);
  EXPECT_EQ(Read("A,fa").voiceCount, 0);
  EXPECT_EQ(Read("no comma at all\r\n").voiceCount, 0);
}

TEST(VoiceList, MissingFileGivesTheFailureEntryAndOneMessage) {
  TempDir dir;
  VoiceList list;
  list.voiceCount = 7;
  MessageCounter messages;
  VoiceListReader reader((dir.str() + "/voice.csv").c_str());
  reader.GetVoiceList(list);
  ASSERT_EQ(list.voiceCount, 1);
  EXPECT_STREQ(list.voiceNames[0], "\x95\x73\x96\xBE");
  EXPECT_STREQ(list.voiceFolders[0], "Undef");
  EXPECT_EQ(messages.messages(), std::vector<std::string>{"Errr: GetVoiceList\x82\xC5\x83\x47\x83\x89\x81\x5B"});
}

TEST(VoiceList, LimitsOfEntriesAndFields) {
  std::string csv;
  for (int i = 0; i < 30; ++i) csv += "n" + std::to_string(i) + ",f" + std::to_string(i) + "\r\n";
  const VoiceList many = Read(csv);
  EXPECT_EQ(many.voiceCount, kMaxVoices);
  EXPECT_STREQ(many.voiceFolders[23], "f23");

  const VoiceList longFields = Read(std::string(100, 'N') + "," + std::string(400, 'F') + "\r\nB,fb\r\n");
  ASSERT_EQ(longFields.voiceCount, 2);
  EXPECT_EQ(std::strlen(longFields.voiceNames[0]), 63u);
  // Cut so that a separator, the name and a separator still fit in 259 bytes.
  EXPECT_EQ(std::strlen(longFields.voiceFolders[0]), 257u);
  EXPECT_STREQ(longFields.voiceFolders[1], "fb");

  // Only the first 64 KB count: a line crossing that point is dropped.
  const VoiceList big = Read("A,fa\n" + std::string(70000, 'x') + ",fb\n");
  EXPECT_EQ(big.voiceCount, 1);
}

TEST(VoiceList, PathOfTheList) {
  char out[platform::kMaxPath];
  BuildVoiceListPath("/opt/chantera", out);
  EXPECT_EQ(std::string(out), std::string("/opt/chantera") + platform::kPathSeparator + "voice.csv");
  BuildVoiceListPath("/", out);
  EXPECT_STREQ(out, "/voice.csv");
  BuildVoiceListPath("C:", out);
  EXPECT_EQ(std::string(out), std::string("C:") + platform::kPathSeparator + "voice.csv");
  BuildVoiceListPath(std::string(300, 'd').c_str(), out);
  EXPECT_STREQ(out, "");  // names no file rather than a truncated one
}

}  // namespace
}  // namespace chantera
