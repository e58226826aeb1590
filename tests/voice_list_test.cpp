// "voice.csv" through the two-state machine: line ends of every kind, blank lines, stray
// commas, a last line without its end, and the bounds of the list.
#include <gtest/gtest.h>

#include <cstring>

#include "library/voice_list.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

VoiceList Read(const std::string& bytes) {
  TempDir dir;
  const std::string path = dir.Write("voice.csv", bytes).string();
  VoiceList list;
  VoiceListReader reader(path);
  reader.GetVoiceList(list);
  return list;
}

// The entries as "name|folder" lines.
std::vector<std::string> Entries(const VoiceList& list) {
  std::vector<std::string> entries;
  for (int i = 0; i < list.voiceCount; ++i)
    entries.push_back(std::string(list.voiceNames[i]) + "|" + list.voiceFolders[i]);
  return entries;
}

TEST(VoiceList, EntriesOfEachFile) {
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {"A,fa\r\nB,fb\r\nX,fx", {"A|fa", "B|fb"}},  // the last line without its end does not count
      {"A,fa\nB,fb\nX,fx", {"A|fa", "B|fb"}},
      {"A,fa\rB,fb\rX,fx", {"A|fa", "B|fb"}},
      {"A,fa,x\r\n", {"A|fa,x"}},  // only the first comma separates
      {",A,fa\r\n", {",A|fa"}},
      {"A,fa\r\n\r\nB,fb\r\n", {"A|fa", "B|fb"}},
      {"A,fa\n\nB,fb\n", {"A|fa", "B|fb"}},
      {"A,fa\r\n\r\n\r\nB,fb\r\n", {"A|fa", "\nB|fb"}},  // read as text: CR LF arrived as LF
      {"", {}},
      {"A,fa", {}},
      {"no comma at all\r\n", {}},
      {"A,fa\n" + std::string(70000, 'x') + ",fb\n", {"A|fa"}},  // only the first 64 KB count
  };
  for (const auto& [bytes, entries] : rows) EXPECT_EQ(Entries(Read(bytes)), entries) << bytes.substr(0, 40);
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
}

TEST(VoiceList, PathOfTheList) {
  const std::string sep(1, platform::kPathSeparator);
  const std::pair<std::string, std::string> rows[] = {
      {"/opt/chantera", "/opt/chantera" + sep + "voice.csv"},
      {"/", "/voice.csv"},
      {"C:", "C:" + sep + "voice.csv"},
      {std::string(300, 'd'), ""}};  // names no file rather than a truncated one
  for (const auto& [dir, path] : rows) {
    EXPECT_EQ(VoiceListPath(dir), path) << dir;
  }
}

}  // namespace
}  // namespace chantera::test
