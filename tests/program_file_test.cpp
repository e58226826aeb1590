// "programs.txt" into the 129 program records: headers, key ranges resolved by sample
// name, the pending list carried across "End" lines, and the limits of the records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "library/program_file.h"
#include "library/sample_bank.h"
#include "params/programs.h"
#include "support/fixtures.h"

namespace chantera {
namespace {

using test::MessageCounter;
using test::TempDir;

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
    dir_.Write("v/programs.txt", text);
    return LoadProgramFile(dir_.str().c_str(), "/v/", programs_, bank_);
  }
  const ProgramRecord& P(int i) const { return programs_.records[static_cast<size_t>(i)]; }

  TempDir dir_;
  SampleBank bank_;
  ProgramSet programs_;
};

TEST_F(ProgramFile, OneProgramFromFourLines) {
  EXPECT_EQ(Load("Program\r\nP,0.8,12,a\r\nS,0,127,three.WAV\r\nEnd\r\n"), 0);
  EXPECT_FLOAT_EQ(P(0).volume, 0.8f);
  EXPECT_EQ(P(0).pitchBendRange, 12);
  EXPECT_STREQ(P(0).name, "a");
  ASSERT_EQ(P(0).rangeCount, 1);
  EXPECT_EQ(P(0).ranges[0].lowKey, 0);
  EXPECT_EQ(P(0).ranges[0].highKey, 127);
  EXPECT_EQ(P(0).ranges[0].sampleIndex, 2);
  EXPECT_STREQ(P(1).name, "Default");
  EXPECT_EQ(P(1).rangeCount, 0);
}

TEST_F(ProgramFile, UnknownSampleAndEmptyProgram) {
  Load("Program\nS,60,64,nope.wav\nEnd\nProgram\nEnd\n");
  ASSERT_EQ(P(0).rangeCount, 1);
  EXPECT_EQ(P(0).ranges[0].sampleIndex, 0);
  EXPECT_EQ(P(1).rangeCount, 0);
  EXPECT_TRUE(P(1).ranges.empty());
}

TEST_F(ProgramFile, PendingRangesCarryOverWithoutProgramLine) {
  Load("Program\nS,0,10,one.wav\nEnd\nS,11,20,two.wav\nEnd\n");
  ASSERT_EQ(P(1).rangeCount, 2);
  EXPECT_EQ(P(1).ranges[0].sampleIndex, 0);
  EXPECT_EQ(P(1).ranges[1].sampleIndex, 1);
  EXPECT_EQ(P(0).rangeCount, 1);
}

TEST_F(ProgramFile, OnlyExactKeywordsAndFirstLetters) {
  Load("program\nP,0.5,3,x\nend\nEND\nProgram,1.5,7,y\nS,1,2,two.wav\n");
  // "program"/"end"/"END" are ignored; "Program,..." is a P line; no End: ranges untouched.
  EXPECT_FLOAT_EQ(P(0).volume, 1.5f);
  EXPECT_EQ(P(0).pitchBendRange, 7);
  EXPECT_STREQ(P(0).name, "y");
  EXPECT_EQ(P(0).rangeCount, 0);
}

TEST_F(ProgramFile, NameKeepsItsFirst24Bytes) {
  Load("P,1,2,abcdefghijklmnopqrstuvwxyz0123\n");
  EXPECT_STREQ(P(0).name, "abcdefghijklmnopqrstuvwx");
}

TEST_F(ProgramFile, NumbersAreReadAsTheCLibraryWould) {
  Load("P, -2.5e1x,  +9z,n\nEnd\nP,abc,,q\n");
  EXPECT_FLOAT_EQ(P(0).volume, -25.0f);
  EXPECT_EQ(P(0).pitchBendRange, 9);
  // Runs of commas are one separator: "q" is the pitch-bend field, no name field.
  EXPECT_FLOAT_EQ(P(1).volume, 0.0f);
  EXPECT_EQ(P(1).pitchBendRange, 0);
  EXPECT_STREQ(P(1).name, "Default");
  Load("P,1e999,99999999999,big\n");
  EXPECT_TRUE(std::isinf(P(0).volume));
  EXPECT_EQ(P(0).pitchBendRange, 2147483647);
}

TEST_F(ProgramFile, MissingFieldsKeepTheirValues) {
  Load("Program\nP,0.25\nS,5\nS,5,6\nS,5,6,two.wav\nEnd\n");
  EXPECT_FLOAT_EQ(P(0).volume, 0.25f);
  EXPECT_EQ(P(0).pitchBendRange, 2);
  EXPECT_STREQ(P(0).name, "Default");
  ASSERT_EQ(P(0).rangeCount, 1);  // S lines without a sample name are ignored
  EXPECT_EQ(P(0).ranges[0].sampleIndex, 1);
}

TEST_F(ProgramFile, MissingFileShowsThePathAndChangesNothing) {
  std::strcpy(programs_.records[0].name, "Kept");
  MessageCounter messages;
  EXPECT_EQ(LoadProgramFile(dir_.str().c_str(), "/none/", programs_, bank_), 1);
  EXPECT_EQ(messages.messages(),
            std::vector<std::string>{"Error: " + dir_.str() + "/none/programs.txt Program file load failed."});
  EXPECT_STREQ(P(0).name, "Kept");
}

TEST_F(ProgramFile, LongPathMessageIsCutToItsBuffer) {
  MessageCounter messages;
  const std::string folder = "/" + std::string(400, 'f') + "/";
  LoadProgramFile(dir_.str().c_str(), folder.c_str(), programs_, bank_);
  ASSERT_EQ(messages.count(), 1u);
  EXPECT_EQ(messages.messages()[0].size(), std::string("Error: ").size() + 255);
}

TEST_F(ProgramFile, EmptyFileChangesNothing) {
  EXPECT_EQ(Load(""), 0);
  EXPECT_STREQ(P(0).name, "Default");
}

TEST_F(ProgramFile, LimitsOfProgramsAndPendingRanges) {
  std::string text;
  for (int i = 0; i < 140; ++i) text += "Program\nP,1,2,p" + std::to_string(i) + "\nS,1,1,two.wav\nEnd\n";
  Load(text);
  EXPECT_STREQ(P(128).name, "p128");
  EXPECT_EQ(P(128).rangeCount, 1);

  std::string many = "Program\n";
  for (int i = 0; i < 200; ++i) many += "S," + std::to_string(i) + "," + std::to_string(i) + ",one.wav\n";
  Load(many + "End\n");
  ASSERT_EQ(P(0).rangeCount, 128);  // the excess is dropped
  EXPECT_EQ(P(0).ranges[127].lowKey, 127);
}

}  // namespace
}  // namespace chantera
