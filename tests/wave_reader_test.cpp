// What the RIFF walker and the sample loader make of well-formed, truncated, oversized
// and malformed WAV files: status codes, positions, the format fields a Sample takes over,
// and that no claim in a header makes the loader allocate or read past what the file holds.
#include <gtest/gtest.h>

#include <cstring>

#include "library/sample.h"
#include "library/wave_reader.h"
#include "support/fixtures.h"

namespace chantera {
namespace {

using test::MakeWav;
using test::MessageCounter;
using test::Pcm16;
using test::TempDir;
using test::WavSpec;

std::string Le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

std::string Write(const TempDir& dir, const std::string& bytes, const std::string& name = "t.wav") {
  return dir.Write(name, bytes).string();
}

TEST(WaveReader, OpensPlainPcmAtTheDataPayload) {
  TempDir dir;
  const std::string path = Write(dir, MakeWav(Pcm16({1, 2, 3})));
  WaveReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_EQ(reader.dataSize, 6u);
  EXPECT_EQ(reader.format.channels, 1);
  EXPECT_EQ(reader.format.samplesPerSec, 44100u);
  EXPECT_EQ(reader.format.extraSize, 0);  // a 16-byte fmt leaves the extra size 0
  EXPECT_EQ(reader.BytesRemaining(), 6u);
  uint8_t bytes[6];
  EXPECT_EQ(reader.Read(bytes, 6), 6);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(bytes[4], 3);
  EXPECT_EQ(reader.Read(bytes, 6), 0);
  EXPECT_EQ(reader.Close(), 0u);
  EXPECT_EQ(reader.Close(), 0u);
}

TEST(WaveReader, SkipsListChunkBetweenFmtAndData) {
  TempDir dir;
  WavSpec layout;
  layout.listBeforeData = true;
  const std::string path = Write(dir, MakeWav(Pcm16({7, 8}), layout));
  WaveReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_EQ(reader.dataSize, 4u);
  int16_t values[2];
  EXPECT_EQ(reader.Read(values, 4), 4);
  EXPECT_EQ(values[1], 8);
}

TEST(WaveReader, ExtensibleFmtContributesItsFirst18Bytes) {
  TempDir dir;
  WavSpec layout;
  layout.fmtSize = 40;
  layout.formatTag = 0xFFFE;
  const std::string path = Write(dir, MakeWav(Pcm16({5}), layout));
  WaveReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_EQ(reader.format.formatTag, 0xFFFE);
  EXPECT_EQ(reader.format.extraSize, 22);
  EXPECT_EQ(reader.dataSize, 2u);

  layout.fmtSize = 18;
  layout.formatTag = 1;
  const std::string path18 = Write(dir, MakeWav(Pcm16({5}), layout), "t18.wav");
  WaveReader reader18;
  ASSERT_EQ(reader18.Open(path18.c_str()), 0u);
  EXPECT_EQ(reader18.dataSize, 2u);
}

TEST(WaveReader, FmtEndingBeforeItsDeclaredSizeIsCannotRead) {
  TempDir dir;
  std::string file = "RIFF" + Le32(4 + 8 + 18) + "WAVE" + "fmt " + Le32(18) + std::string(10, '\1');
  const std::string path = Write(dir, file);
  WaveReader reader;
  EXPECT_EQ(reader.Open(path.c_str()), 261u);
  EXPECT_EQ(reader.dataSize, 0u);
  EXPECT_NE(reader.handle, nullptr);  // stays open after a failing step
  EXPECT_EQ(reader.Open(path.c_str()), 259u);
}

TEST(WaveReader, OtherFormTypeIsChunkNotFound) {
  TempDir dir;
  std::string file = MakeWav(Pcm16({1}));
  file.replace(8, 4, "AVI ");
  const std::string path = Write(dir, file);
  WaveReader reader;
  EXPECT_EQ(reader.Open(path.c_str()), 265u);
}

TEST(WaveReader, DataBeforeFmtIsChunkNotFound) {
  TempDir dir;
  const std::string fmt = MakeWav("").substr(12, 24);  // the 24-byte fmt chunk
  const std::string file = "RIFF" + Le32(4 + 8 + 2 + 24) + "WAVE" + "data" + Le32(2) + "ab" + fmt;
  WaveReader reader;
  EXPECT_EQ(reader.Open(Write(dir, file).c_str()), 265u);
}

TEST(WaveReader, ChunkClaimingToRunPastTheFileEndsTheSearch) {
  TempDir dir;
  // A junk chunk that claims 4 GB before "fmt ": skipping it would leave the file.
  const std::string file = "RIFF" + Le32(100) + "WAVE" + "junk" + Le32(0xFFFFFFF0u) + std::string(20, 'x');
  WaveReader reader;
  EXPECT_EQ(reader.Open(Write(dir, file).c_str()), 265u);
  // A RIFF size of 0 leaves no room for any sub-chunk.
  std::string zero = MakeWav(Pcm16({1}));
  zero.replace(4, 4, Le32(4));
  WaveReader reader2;
  EXPECT_EQ(reader2.Open(Write(dir, zero, "z.wav").c_str()), 265u);
}

TEST(WaveReader, OpenWhileHoldingAFileLeavesItsStateAlone) {
  TempDir dir;
  const std::string path = Write(dir, MakeWav(Pcm16({1, 2})));
  WaveReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  int16_t first;
  ASSERT_EQ(reader.Read(&first, 2), 2);
  EXPECT_EQ(reader.Open(path.c_str()), 259u);
  EXPECT_EQ(reader.dataSize, 4u);
  int16_t second;
  ASSERT_EQ(reader.Read(&second, 2), 2);  // position untouched
  EXPECT_EQ(second, 2);
}

TEST(WaveReader, EmptyNameAndMissingFile) {
  WaveReader reader;
  EXPECT_EQ(reader.Open(""), 257u);
  EXPECT_EQ(reader.handle, nullptr);
  TempDir dir;
  const uint32_t status = reader.Open((dir.str() + "/missing.wav").c_str());
  EXPECT_NE(status, 0u);
  EXPECT_EQ(reader.handle, nullptr);
  EXPECT_EQ(reader.Open(dir.str().c_str()), kWaveOpenFailed);  // a directory is no file
  EXPECT_EQ(reader.BytesRemaining(), 0u);
  EXPECT_EQ(reader.Close(), 0u);
}

// ---- Sample::LoadFromWav ---------------------------------------------------------------------

TEST(SampleLoad, TakesFormatAndDataExactlyFull) {
  TempDir dir;
  WavSpec layout;
  layout.sampleRate = 22050;
  const std::string path = Write(dir, MakeWav(Pcm16({100, -200, 300}), layout));
  Sample sample;
  MessageCounter messages;
  ASSERT_TRUE(sample.LoadFromWav(path.c_str()));
  EXPECT_EQ(messages.count(), 0u);
  EXPECT_EQ(sample.sampleRate, 22050u);
  EXPECT_EQ(sample.dataSize, 6u);
  EXPECT_EQ(sample.ReadableFrames(), 3u);
  EXPECT_EQ(sample.GetValue(1, 0), -200);
  EXPECT_EQ(sample.GetValue(3, 0), 0);
}

TEST(SampleLoad, StereoAndEightBitReadBack) {
  TempDir dir;
  WavSpec stereo;
  stereo.channels = 2;
  Sample s16;
  ASSERT_TRUE(s16.LoadFromWav(Write(dir, MakeWav(Pcm16({10, -10, 20, -20}), stereo)).c_str()));
  EXPECT_EQ(s16.ReadableFrames(), 2u);
  EXPECT_EQ(s16.GetValue(1, 0), 20);
  EXPECT_EQ(s16.GetValue(1, 1), -20);

  WavSpec eight;
  eight.bitsPerSample = 8;
  eight.channels = 2;
  Sample s8;
  ASSERT_TRUE(s8.LoadFromWav(Write(dir, MakeWav(std::string("\x80\x00\xFF\x81", 4), eight), "e.wav").c_str()));
  EXPECT_EQ(s8.bitsPerSample, 8u);
  EXPECT_EQ(s8.ReadableFrames(), 2u);
  EXPECT_EQ(s8.GetValue(0, 0), 0);
  EXPECT_EQ(s8.GetValue(0, 1), -128);
  EXPECT_EQ(s8.GetValue(1, 0), 127);
}

TEST(SampleLoad, EmptyDataChunkLoads) {
  TempDir dir;
  Sample sample;
  EXPECT_TRUE(sample.LoadFromWav(Write(dir, MakeWav("")).c_str()));
  EXPECT_EQ(sample.dataSize, 0u);
  EXPECT_EQ(sample.ReadableFrames(), 0u);
  EXPECT_EQ(sample.GetValue(0, 0), 0);
}

TEST(SampleLoad, OneByteShortKeepsWhatArrivedWithoutMessage) {
  TempDir dir;
  std::string file = MakeWav(Pcm16({1, 2, 3}));
  file.pop_back();
  Sample sample;
  MessageCounter messages;
  EXPECT_FALSE(sample.LoadFromWav(Write(dir, file).c_str()));
  EXPECT_EQ(messages.count(), 0u);
  EXPECT_EQ(sample.dataSize, 5u);
  EXPECT_EQ(sample.ReadableFrames(), 2u);
  EXPECT_EQ(sample.GetValue(1, 0), 2);
  EXPECT_EQ(sample.GetValue(2, 0), 0);
}

TEST(SampleLoad, OversizedDataClaimAllocatesOnlyWhatTheFileHolds) {
  TempDir dir;
  WavSpec layout;
  layout.claimedDataSize = 0xFFFFFFF0u;  // ~4 GB claimed, 4 bytes present
  Sample sample;
  MessageCounter messages;
  EXPECT_FALSE(sample.LoadFromWav(Write(dir, MakeWav(Pcm16({9, 8}), layout)).c_str()));
  EXPECT_EQ(messages.count(), 0u);
  EXPECT_EQ(sample.dataSize, 4u);
  EXPECT_EQ(sample.ReadableFrames(), 2u);
  EXPECT_EQ(sample.GetValue(1, 0), 8);
}

TEST(SampleLoad, FailedOpenShowsOneMessageAndKeepsTheSample) {
  TempDir dir;
  Sample sample;
  ASSERT_TRUE(sample.LoadFromWav(Write(dir, MakeWav(Pcm16({42}))).c_str()));
  MessageCounter messages;
  EXPECT_FALSE(sample.LoadFromWav((dir.str() + "/nothing.wav").c_str()));
  EXPECT_FALSE(sample.LoadFromWav(Write(dir, "RIFF", "bad.wav").c_str()));
  EXPECT_FALSE(sample.LoadFromWav(""));  // no message for an empty path
  EXPECT_EQ(messages.messages(),
            (std::vector<std::string>{"Error: Wave file load failed.", "Error: Wave file load failed."}));
  EXPECT_EQ(sample.dataSize, 2u);
  EXPECT_EQ(sample.GetValue(0, 0), 42);
}

TEST(SampleLoad, BlockAlignZeroOrTooSmallNeverReadsPastTheData) {
  TempDir dir;
  WavSpec zero;
  zero.blockAlign = 0xFFFF;  // replaced below by 0 in the file image
  std::string file = MakeWav(Pcm16({1, 2}), zero);
  file[32] = 0;  // blockAlign field
  file[33] = 0;
  Sample sample;
  ASSERT_TRUE(sample.LoadFromWav(Write(dir, file).c_str()));
  EXPECT_EQ(sample.blockAlign, 0u);
  EXPECT_EQ(sample.ReadableFrames(), 0u);
  EXPECT_EQ(sample.GetValue(0, 0), 0);

  WavSpec small;  // stereo 16-bit data that claims 1 byte per frame: 8 bytes, not 8 frames
  small.channels = 2;
  small.blockAlign = 1;
  Sample stereo;
  ASSERT_TRUE(stereo.LoadFromWav(Write(dir, MakeWav(Pcm16({1, 2, 3, 4}), small), "s.wav").c_str()));
  EXPECT_EQ(stereo.ReadableFrames(), 2u);
  EXPECT_EQ(stereo.GetValue(1, 1), 4);
  EXPECT_EQ(stereo.GetValue(2, 1), 0);
}

}  // namespace
}  // namespace chantera
