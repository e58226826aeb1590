// "programs.txt" into the 129 program records: headers, key ranges resolved by sample
// name, the pending list carried across "End" lines, and the limits of the records.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "library/program_file.h"
#include "library/sample_bank.h"
#include "params/programs.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

class ProgramFile : public ::testing::Test {
 protected:
  void SetUp() override {
    // Three samples without WAV files (one message each, silenced here).
    MessageCounter quiet;
    dir_.Write("v/samples.txt", "one.wav,1,60\r\ntwo.wav,2,60\r\nThree.wav,3,60\r\n");
    bank_.LoadSampleList(dir_.str().c_str(), "/v/");
    ASSERT_EQ(bank_.sampleCount, 3);
  }
  int32_t Load(const std::string& text) {
    programs_.records.fill(ProgramRecord{});
    dir_.Write("v/programs.txt", text);
    return LoadProgramFile(dir_.str().c_str(), "/v/", programs_, bank_);
  }
  // A record as "volume,pitch-bend range,name" and its ranges as " low-high=sample".
  std::string P(int i) const {
    const ProgramRecord& r = programs_.records[static_cast<size_t>(i)];
    std::ostringstream s;
    s << r.volume << "," << r.pitchBendRange << "," << r.name;
    for (int32_t k = 0; k < r.rangeCount; ++k)
      s << " " << r.ranges[k].lowKey << "-" << r.ranges[k].highKey << "=" << r.ranges[k].sampleIndex;
    return s.str();
  }

  TempDir dir_;
  SampleBank bank_;
  ProgramSet programs_;
};

TEST_F(ProgramFile, RecordsOfEachFile) {
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {"Program\r\nP,0.8,12,a\r\nS,0,127,three.WAV\r\nEnd\r\n", "0.8,12,a 0-127=2", "1,2,Default"},
      {"Program\nS,60,64,nope.wav\nEnd\nProgram\nEnd\n", "1,2,Default 60-64=0", "1,2,Default"},  // unknown: sample 0
      // Pending ranges carry over an "End" without its "Program" line.
      {"Program\nS,0,10,one.wav\nEnd\nS,11,20,two.wav\nEnd\n", "1,2,Default 0-10=0", "1,2,Default 0-10=0 11-20=1"},
      // "program", "end", "END" are ignored; "Program,..." is a P line; no End: no ranges.
      {"program\nP,0.5,3,x\nend\nEND\nProgram,1.5,7,y\nS,1,2,two.wav\n", "1.5,7,y", "1,2,Default"},
      {"P,1,2,abcdefghijklmnopqrstuvwxyz0123\n", "1,2,abcdefghijklmnopqrstuvwx", "1,2,Default"},  // 24 bytes
      // Numbers as the C library reads them; runs of commas are one separator.
      {"P, -2.5e1x,  +9z,n\nEnd\nP,abc,,q\n", "-25,9,n", "0,0,Default"},
      {"P,1e999,99999999999,big\n", "inf,2147483647,big", "1,2,Default"},
      {"P,1e-999,7,tiny\n", "0,7,tiny", "1,2,Default"},
      // Missing fields keep their values; S lines without a sample name are ignored.
      {"Program\nP,0.25\nS,5\nS,5,6\nS,5,6,two.wav\nEnd\n", "0.25,2,Default 5-6=1", "1,2,Default"},
      {"", "1,2,Default", "1,2,Default"},
  };
  for (const auto& [text, first, second] : rows) {
    EXPECT_EQ(Load(text), 0);
    EXPECT_EQ(P(0), first) << text;
    EXPECT_EQ(P(1), second) << text;
  }
}

TEST_F(ProgramFile, LimitsOfProgramsAndPendingRanges) {
  std::string text;
  for (int i = 0; i < 140; ++i) text += "Program\nP,1,2,p" + std::to_string(i) + "\nS,1,1,two.wav\nEnd\n";
  Load(text);
  EXPECT_EQ(P(128), "1,2,p128 1-1=1");

  std::string many = "Program\n";
  for (int i = 0; i < 200; ++i) many += "S," + std::to_string(i) + "," + std::to_string(i) + ",one.wav\n";
  Load(many + "End\n");
  ASSERT_EQ(programs_.records[0].rangeCount, 128);  // the excess is dropped
  EXPECT_EQ(programs_.records[0].ranges[127].lowKey, 127);
}

TEST_F(ProgramFile, MissingFileShowsThePathCutToItsBufferAndChangesNothing) {
  std::strcpy(programs_.records[0].name, "Kept");
  MessageCounter messages;
  EXPECT_EQ(LoadProgramFile(dir_.str().c_str(), "/none/", programs_, bank_), 1);
  EXPECT_STREQ(programs_.records[0].name, "Kept");
  LoadProgramFile(dir_.str().c_str(), ("/" + std::string(400, 'f') + "/").c_str(), programs_, bank_);
  ASSERT_EQ(messages.count(), 2u);
  EXPECT_EQ(messages.messages()[0], "Error: " + dir_.str() + "/none/programs.txt Program file load failed.");
  EXPECT_EQ(messages.messages()[1].size(), std::string("Error: ").size() + 255);
}

}  // namespace
}  // namespace chantera::test
