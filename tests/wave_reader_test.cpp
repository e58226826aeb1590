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
    EXPECT_EQ(reader.hasExtension, row.extraSize == 22) << row.what;
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
      // Converted to 16 bits: the whole values that arrived.
      {"24-bit, the last value cut", cut24, false, 6, 3, {5, 5, 6, 6, 7, 7, 0, 0}},
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

// Every kind of data a recording may be exported as reads as it sounds: 8 and 16-bit data
// byte for byte as stored; wider integers rounded to 16 bits (half a step up), floats
// scaled by 32768 and clipped to full scale (NaN as 0), A-law and mu-law as G.711 decodes
// them, all into 16-bit data; the extensible format by its sub-format.
TEST(SampleLoad, EachSampleFormatReadsAsItSounds) {
  struct Row {
    const char* what;
    WavLayout layout;
    std::string data;
    std::vector<int16_t> values;  // frame by frame, channel by channel
  };
  const WavLayout extensible{.formatTag = 0xFFFE, .fmtSize = 40};
  const auto as = [](WavLayout layout, uint16_t channels, uint16_t bits, uint16_t tag = 1) {
    layout.channels = channels;
    layout.bitsPerSample = bits;
    (layout.formatTag == 0xFFFE ? layout.subFormat : layout.formatTag) = tag;
    return layout;
  };
  const std::vector<int64_t> ints24 = {1234 << 8, 0x7FFFFF, -0x800000, 0x80, 0x7F, -0x81};
  const std::vector<int16_t> read24 = {1234, 32767, -32768, 1, 0, -1};
  const std::vector<int64_t> ints32 = {-1234 << 16, 0x7FFFFFFF, -0x80000000LL, 0x8000, 0x7FFF};
  const std::vector<double> floats = {0.5, -1.0, 1.0, 2.0, std::nan(""), 1234 / 32768.0};
  const std::vector<int16_t> readFloats = {16384, -32768, 32767, 32767, 0, 1234};
  const Row rows[] = {
      {"8-bit", as({}, 1, 8), "\x80\xFF\x01", {0, 127, -127}},
      {"16-bit stereo", as({}, 2, 16), Pcm16({-32768, 32767, 5, -5}), {-32768, 32767, 5, -5}},
      {"24-bit", as({}, 1, 24), PcmBytes(ints24, 3), read24},
      {"24-bit stereo", as({}, 2, 24), PcmBytes({3 << 8, -3 << 8, 0x7FFFFF, 0}, 3), {3, -3, 32767, 0}},
      {"32-bit", as({}, 1, 32), PcmBytes(ints32, 4), {-1234, 32767, -32768, 1, 0}},
      {"32-bit float", as({}, 1, 32, 3), FloatBytes(floats, 4), readFloats},
      {"64-bit float stereo", as({}, 2, 64, 3), FloatBytes({0.25, -0.25, -0.5, 1.5}, 8), {8192, -8192, -16384, 32767}},
      {"A-law", as({}, 1, 8, 6), "\xD5\xAA\x2A", {8, 32256, -32256}},
      {"mu-law", as({}, 1, 8, 7), std::string("\x00\xFF\x80", 3), {-32124, 0, 32124}},
      {"extensible 8-bit", as(extensible, 1, 8), "\x80\x81", {0, 1}},
      {"extensible 16-bit stereo", as(extensible, 2, 16), Pcm16({7, -7}), {7, -7}},
      {"extensible 24-bit", as(extensible, 1, 24), PcmBytes(ints24, 3), read24},
      {"extensible 32-bit float", as(extensible, 1, 32, 3), FloatBytes(floats, 4), readFloats},
  };
  TempDir dir;
  MessageCounter messages;
  for (const Row& row : rows) {
    Sample sample;
    ASSERT_TRUE(sample.LoadFromWav(dir.Write("s.wav", MakeWav(row.data, row.layout)).string().c_str())) << row.what;
    const uint32_t channels = row.layout.channels;
    ASSERT_EQ(sample.ReadableFrames(), row.values.size() / channels) << row.what;
    std::vector<int16_t> values;
    for (uint32_t f = 0; f < sample.ReadableFrames(); ++f)
      for (uint32_t c = 0; c < channels; ++c) values.push_back(sample.GetValue(f, static_cast<int>(c)));
    EXPECT_EQ(values, row.values) << row.what;
    const bool g711 = row.layout.formatTag == 6 || row.layout.formatTag == 7;
    if (row.layout.bitsPerSample <= 16 && !g711)  // as stored
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(sample.pcm.get()), sample.dataSize), row.data) << row.what;
    else  // converted
      EXPECT_EQ(sample.blockAlign, 2 * channels) << row.what;
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
  std::string ambisonic = MakeWav(Pcm16({1, 2}), {.formatTag = 0xFFFE, .fmtSize = 40});
  ambisonic.replace(48, 4, "\x21\x07\xD3\x11");  // {00000001-0721-11D3-...}: B-format, not plain PCM
  const std::string unreadable[] = {
      ambisonic,
      MakeWav(std::string(256, '\x11'), {.formatTag = 2, .bitsPerSample = 4}),       // MS ADPCM
      MakeWav(std::string(256, '\x11'), {.formatTag = 0x55, .bitsPerSample = 0}),    // MP3
      MakeWav(std::string(256, '\x11'), {.bitsPerSample = 12}),                      // PCM of no size it has
      MakeWav(std::string(256, '\x11'), {.formatTag = 3, .bitsPerSample = 16}),      // half floats
      MakeWav(Pcm16({1, 2}), {.formatTag = 0xFFFE, .fmtSize = 40, .subFormat = 0}),  // unknown sub-format
      MakeWav(Pcm16({1, 2}), {.formatTag = 0xFFFE, .fmtSize = 18}),                  // no sub-format
      MakeWav(Pcm16({1, 2}), {.formatTag = 0xFFFE, .fmtSize = 40, .subFormat = 2}),  // extensible ADPCM
  };
  for (size_t i = 0; i < std::size(unreadable); ++i)
    EXPECT_FALSE(sample.LoadFromWav(dir.Write("no.wav", unreadable[i]).string().c_str())) << i;
  EXPECT_EQ(messages.messages(), std::vector<std::string>(2 + std::size(unreadable), "Error: Wave file load failed."));
  EXPECT_EQ(sample.dataSize, 2u);
  EXPECT_EQ(sample.GetValue(0, 0), 42);
}

}  // namespace
}  // namespace chantera::test
