// What the RIFF walker and the sample loader make of well-formed, truncated, oversized and
// malformed WAV files; no claim in a header makes the loader allocate or read past the file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "library/sample.h"
#include "library/wave_reader.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

TEST(WaveReader, StatusDataSizeAndExtraSizeOfEachFileImage) {
  struct Row {
    const char* what;
    std::string bytes;
    uint32_t status, dataSize;
    int extraSize;
  };
  const std::string fmt = MakeWav("").substr(12, 24);  // the 24-byte fmt chunk
  const Row rows[] = {
      {"plain", MakeWav(Pcm16({1, 2, 3})), kWaveOk, 6, 0},  // a 16-byte fmt leaves the extra size 0
      {"LIST before data", MakeWav(Pcm16({7, 8}), {.listBeforeData = true}), kWaveOk, 4, 0},
      {"extensible", MakeWav(Pcm16({5}), {.formatTag = 0xFFFE, .fmtSize = 40}), kWaveOk, 2, 22},
      {"fmt of 18", MakeWav(Pcm16({5}), {.fmtSize = 18}), kWaveOk, 2, 0},
      {"fmt cut short", "RIFF" + Le32(30) + "WAVEfmt " + Le32(18) + std::string(10, '\1'), kWaveCannotRead, 0, 0},
      {"AVI form", MakeWav(Pcm16({1})).replace(8, 4, "AVI "), kWaveChunkNotFound, 0, 0},
      {"data before fmt", "RIFF" + Le32(38) + "WAVEdata" + Le32(2) + "ab" + fmt, kWaveChunkNotFound, 0, 0},
      // A junk chunk claiming 4 GB before "fmt ": skipping it would leave the file.
      {"junk of 4 GB", "RIFF" + Le32(100) + "WAVEjunk" + Le32(0xFFFFFFF0u) + std::string(20, 'x'), kWaveChunkNotFound,
       0, 0},
      {"RIFF size 4", MakeWav(Pcm16({1})).replace(4, 4, Le32(4)), kWaveChunkNotFound, 0, 0},
  };
  TempDir dir;
  for (const Row& row : rows) {
    const std::string path = dir.Write("t.wav", row.bytes).string();
    WaveReader reader;
    EXPECT_EQ(reader.Open(path.c_str()), row.status) << row.what;
    EXPECT_EQ(reader.dataSize, row.dataSize) << row.what;
    EXPECT_EQ(reader.format.extraSize, row.extraSize) << row.what;
    if (row.status == kWaveOk) {
      EXPECT_EQ(reader.BytesRemaining(), row.dataSize) << row.what;
      EXPECT_EQ(reader.format.channels, 1) << row.what;
    }
    EXPECT_TRUE(row.status != kWaveCannotRead || reader.handle != nullptr) << "stays open after a failing step";
  }
}

TEST(WaveReader, ReadsThePayloadAndRefusesASecondOpen) {
  TempDir dir;
  const std::string path = dir.Write("t.wav", MakeWav(Pcm16({1, 2, 3}), {.sampleRate = 22050})).string();
  WaveReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), 0u);
  EXPECT_EQ(reader.format.samplesPerSec, 22050u);
  int16_t first;
  ASSERT_EQ(reader.Read(&first, 2), 2);
  EXPECT_EQ(reader.Open(path.c_str()), 259u);  // holding a file: state left alone
  EXPECT_EQ(reader.dataSize, 6u);
  int16_t rest[3];
  EXPECT_EQ(reader.Read(rest, 6), 4);
  EXPECT_EQ(rest[1], 3);
  EXPECT_EQ(reader.Read(rest, 6), 0);
  EXPECT_EQ(reader.Close(), 0u);
  EXPECT_EQ(reader.Close(), 0u);

  EXPECT_EQ(reader.Open(""), 257u);
  EXPECT_EQ(reader.handle, nullptr);
  EXPECT_EQ(reader.Open((dir.str() + "/missing.wav").c_str()), kWaveOpenFailed);
  EXPECT_EQ(reader.Open(dir.str().c_str()), kWaveOpenFailed);  // a directory is no file
  EXPECT_EQ(reader.handle, nullptr);
  EXPECT_EQ(reader.BytesRemaining(), 0u);
}

// ---- Sample::LoadFromWav ---------------------------------------------------------------------

TEST(SampleLoad, FramesAndValuesOfEachFileImage) {
  struct Row {
    const char* what;
    std::string bytes;
    bool complete;
    uint32_t dataSize, frames;
    std::vector<int16_t> values;  // frame by frame, channel by channel, one frame past the end
  };
  std::string oneShort = MakeWav(Pcm16({1, 2, 3}));
  oneShort.pop_back();
  std::string alignZero = MakeWav(Pcm16({1, 2}));
  alignZero[32] = alignZero[33] = 0;  // the blockAlign field
  const std::string bytes8("\x80\x00\xFF\x81", 4);
  // Wider integers are rounded to 16 bits (half a step up), floats scaled by 32768 and
  // clipped to full scale; 16-bit and 8-bit data are read as stored.
  const std::vector<int64_t> ints24 = {1234 << 8, 0x7FFFFF, -0x800000, 0x80, 0x7F, -0x81};
  const std::vector<int16_t> read24 = {1234, 1234, 32767, 32767, -32768, -32768, 1, 1, 0, 0, -1, -1, 0, 0};
  const std::vector<double> floats = {0.5, -1.0, 1.0, 2.0, std::nan(""), 1234 / 32768.0};
  const std::vector<int16_t> readFloats = {16384, 16384, -32768, -32768, 32767, 32767, 32767, 32767, 0, 0, 1234, 1234,
                                           0, 0};
  std::string cut24 = MakeWav(PcmBytes({5 << 8, 6 << 8, 7 << 8, 8 << 8}, 3), {.bitsPerSample = 24});
  cut24.pop_back();
  const Row rows[] = {
      {"mono", MakeWav(Pcm16({100, -200, 300})), true, 6, 3, {100, 100, -200, -200, 300, 300, 0, 0}},
      {"stereo", MakeWav(Pcm16({10, -10, 20, -20}), {.channels = 2}), true, 8, 2, {10, -10, 20, -20, 0, 0}},
      {"8-bit stereo", MakeWav(bytes8, {.channels = 2, .bitsPerSample = 8}), true, 4, 2, {0, -128, 127, 1, 0, 0}},
      {"empty data", MakeWav(""), true, 0, 0, {0, 0}},
      {"one byte short", oneShort, false, 5, 2, {1, 1, 2, 2, 0, 0}},  // what arrived, no message
      {"claims 4 GB", MakeWav(Pcm16({9, 8}), {.claimedDataSize = 0xFFFFFFF0u}), false, 4, 2, {9, 9, 8, 8, 0, 0}},
      {"block align 0", alignZero, true, 4, 0, {0, 0}},
      // Stereo 16-bit data that claims 1 byte a frame: 8 bytes are two frames, not eight.
      {"block align 1", MakeWav(Pcm16({1, 2, 3, 4}), {.channels = 2, .blockAlign = 1}), true, 8, 2, {1, 2, 3, 4, 0, 0}},
      {"24-bit", MakeWav(PcmBytes(ints24, 3), {.bitsPerSample = 24}), true, 12, 6, read24},
      {"24-bit stereo", MakeWav(PcmBytes({3 << 8, -3 << 8, 0x7FFFFF, 0}, 3), {.channels = 2, .bitsPerSample = 24}),
       true, 8, 2, {3, -3, 32767, 0, 0, 0}},
      {"24-bit, the last value cut", cut24, false, 6, 3, {5, 5, 6, 6, 7, 7, 0, 0}},
      {"32-bit", MakeWav(PcmBytes({-1234 << 16, 0x7FFFFFFF, -0x80000000LL, 0x8000, 0x7FFF}, 4), {.bitsPerSample = 32}),
       true, 10, 5, {-1234, -1234, 32767, 32767, -32768, -32768, 1, 1, 0, 0, 0, 0}},
      {"32-bit float", MakeWav(FloatBytes(floats, 4), {.formatTag = 3, .bitsPerSample = 32}), true, 12, 6, readFloats},
      {"64-bit float stereo", MakeWav(FloatBytes({0.25, -0.25}, 8), {.formatTag = 3, .channels = 2, .bitsPerSample = 64}),
       true, 4, 1, {8192, -8192, 0, 0}},
      {"extensible 24-bit", MakeWav(PcmBytes(ints24, 3), {.formatTag = 0xFFFE, .bitsPerSample = 24, .fmtSize = 40}),
       true, 12, 6, read24},
      {"extensible float", MakeWav(FloatBytes(floats, 4), {.formatTag = 0xFFFE, .bitsPerSample = 32, .fmtSize = 40,
                                                           .subFormat = 3}),
       true, 12, 6, readFloats},
      {"extensible 16-bit stereo", MakeWav(Pcm16({7, -7}), {.formatTag = 0xFFFE, .channels = 2, .fmtSize = 40}), true, 4,
       1, {7, -7, 0, 0}},
      {"extensible 8-bit", MakeWav("\x80\x81", {.formatTag = 0xFFFE, .bitsPerSample = 8, .fmtSize = 40}), true, 2, 2,
       {0, 0, 1, 1, 0, 0}},
      // G.711: the codes of 8 and of the largest positive value; mu-law's of the smallest and of 0.
      {"A-law", MakeWav("\xD5\xAA", {.formatTag = 6, .bitsPerSample = 8}), true, 4, 2, {8, 8, 32256, 32256, 0, 0}},
      {"mu-law", MakeWav(std::string("\x00\xFF", 2), {.formatTag = 7, .bitsPerSample = 8}), true, 4, 2,
       {-32124, -32124, 0, 0, 0, 0}},
  };
  TempDir dir;
  MessageCounter messages;
  for (const Row& row : rows) {
    Sample sample;
    EXPECT_EQ(sample.LoadFromWav(dir.Write("s.wav", row.bytes).string().c_str()), row.complete) << row.what;
    EXPECT_EQ(sample.dataSize, row.dataSize) << row.what;
    EXPECT_EQ(sample.ReadableFrames(), row.frames) << row.what;
    std::vector<int16_t> values;
    for (uint32_t f = 0; 2 * f < row.values.size(); ++f) {
      values.push_back(sample.GetValue(f, 0));
      values.push_back(sample.GetValue(f, 1));
    }
    EXPECT_EQ(values, row.values) << row.what;
  }
  EXPECT_EQ(messages.count(), 0u);
}

TEST(SampleLoad, FailedOpenShowsOneMessageAndKeepsTheSample) {
  TempDir dir;
  Sample sample;
  ASSERT_TRUE(sample.LoadFromWav(dir.Write("ok.wav", MakeWav(Pcm16({42}), {.sampleRate = 22050})).string().c_str()));
  EXPECT_EQ(sample.sampleRate, 22050u);
  MessageCounter messages;
  EXPECT_FALSE(sample.LoadFromWav((dir.str() + "/nothing.wav").c_str()));
  EXPECT_FALSE(sample.LoadFromWav(dir.Write("bad.wav", "RIFF").string().c_str()));
  EXPECT_FALSE(sample.LoadFromWav(""));  // no message for an empty path
  // Data that are no plain samples are as unreadable: played, they would be noise.
  const std::string unreadable[] = {
      MakeWav(std::string(256, '\x11'), {.formatTag = 2, .bitsPerSample = 4}),                // MS ADPCM
      MakeWav(std::string(256, '\x11'), {.formatTag = 0x55, .bitsPerSample = 0}),             // MP3
      MakeWav(std::string(256, '\x11'), {.bitsPerSample = 12}),                               // PCM of no size it has
      MakeWav(std::string(256, '\x11'), {.formatTag = 3, .bitsPerSample = 16}),               // half floats
      MakeWav(Pcm16({1, 2}), {.formatTag = 0xFFFE, .fmtSize = 40, .subFormat = 0}),           // unknown sub-format
      MakeWav(Pcm16({1, 2}), {.formatTag = 0xFFFE, .fmtSize = 18}),                           // no sub-format
      MakeWav(Pcm16({1, 2}), {.formatTag = 0xFFFE, .fmtSize = 40, .subFormat = 2}),           // extensible ADPCM
  };
  for (size_t i = 0; i < std::size(unreadable); ++i)
    EXPECT_FALSE(sample.LoadFromWav(dir.Write("no.wav", unreadable[i]).string().c_str())) << i;
  EXPECT_EQ(messages.messages(), std::vector<std::string>(2 + std::size(unreadable), "Error: Wave file load failed."));
  EXPECT_EQ(sample.dataSize, 2u);
  EXPECT_EQ(sample.GetValue(0, 0), 42);
}

}  // namespace
}  // namespace chantera::test
