// A voice library as it arrives from Windows (CR LF line ends, Shift-JIS display and file
// names, file names written in another letter case than on disk, backslashes between
// folders) loaded by a whole instrument on this platform: no message, every sample found,
// and program selection turning the ranges into the key map; and each instance choosing
// its voice on its own.
#include <gtest/gtest.h>

#include <cstdio>

#include "engine/sampler.h"
#include "params/parameters.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

// Paths in messages are composed with the platform's separator.
const std::string kSep(1, platform::kPathSeparator);

std::string Wav(int16_t value) {
  return MakeWav(Pcm16({value, value}));
}

// The key map the instrument plays with, once a frame has been rendered.
KeyTable CurrentKeyMap(Sampler& sampler) {
  float left = 0.0f, right = 0.0f;
  sampler.Process(&left, &right, 1);
  return sampler.KeyMap();
}

// voice.csv names the folder "voice1" and the display name "あ" (Shift-JIS); on disk the
// folder is "Voice1", its list files are "Samples.TXT" and "PROGRAMS.txt", one WAV file
// has a UTF-8 name, another lies in a sub-folder named with a backslash.
void WriteWindowsVoice(const TempDir& dir) {
  dir.Write("voice.csv", "\x82\xA0,voice1\r\nB,other\r\n");
  dir.Write("Voice1/Samples.TXT", "A.WAV,a,60\r\n\x82\xA0.wav,kana,69\r\nsub\\b.wav,b,72\r\nc.wav,c,48\r\n");
  dir.Write("Voice1/a.wav", Wav(100));
#ifdef _WIN32
  dir.WriteByAnsiName("Voice1/\x82\xA0.wav", Wav(200));  // "あ.wav" by the bytes the lists use
#else
  dir.Write("Voice1/\xE3\x81\x82.wav", Wav(200));  // "あ.wav" as an archive unpacks it here
#endif
  dir.Write("Voice1/Sub/B.Wav", Wav(300));
  dir.Write("Voice1/C.wav", Wav(400));
  dir.Write("Voice1/PROGRAMS.txt",
            "Program\r\nP,1.0,2,zero\r\nS,0,127,a.wav\r\nEnd\r\n"
            "Program\r\nP,0.5,7,one\r\n"
            "S,-10,5,C.WAV\r\n"  // below 0: clipped
            "S,60,64,c.wav\r\n"
            "S,62,70,SUB\\B.WAV\r\n"      // overlaps: the later range wins
            "S,100,90,a.wav\r\n"          // inverted: sets nothing
            "S,120,300,\x82\xA0.WAV\r\n"  // above 127: clipped
            "End\r\n");
  dir.Write("other/samples.txt", "x.wav,x,60\r\n");
  dir.Write("other/x.wav", Wav(500));
  dir.Write("other/programs.txt", "Program\r\nP,0.9,3,other\r\nEnd\r\n");
}

class VoiceSelection : public ::testing::Test {
 protected:
  TempDir dir;
  MessageCounter messages;
};

TEST_F(VoiceSelection, WindowsMadeVoiceLoadsWithoutMessageAndProgramsBuildTheKeyMap) {
  WriteWindowsVoice(dir);
  Sampler sampler(dir.str());
  EXPECT_EQ(sampler.Voices().voiceCount, 2);
  EXPECT_STREQ(sampler.Voices().voiceNames[0], "\x82\xA0");
  const SampleBank& bank = *sampler.Bank();
  ASSERT_EQ(bank.sampleCount, 4);
  EXPECT_EQ(bank.slot(0)->GetValue(0, 0), 100);
  EXPECT_EQ(bank.slot(1)->GetValue(0, 0), 200);
  EXPECT_EQ(bank.slot(1)->rootFrequency, 440.0);
  EXPECT_EQ(bank.slot(2)->GetValue(1, 0), 300);
  EXPECT_EQ(bank.slot(3)->GetValue(0, 0), 400);
  EXPECT_STREQ(sampler.Programs().records[1].name, "one");
  EXPECT_EQ(sampler.VoiceFolder(), kSep + "voice1" + kSep);

  KeyTable map = CurrentKeyMap(sampler);
  for (int k = 0; k < kKeyCount; ++k) ASSERT_EQ(map[k], 0) << k;  // program 0: all on a.wav

  sampler.SetProgram(1);
  EXPECT_EQ(sampler.Volume(), 0.5f);
  EXPECT_EQ(sampler.PitchBendRange(), 7);
  map = CurrentKeyMap(sampler);
  for (int k = 0; k < kKeyCount; ++k) {
    const int expected = k >= 120 ? 1 : (k >= 62 && k <= 70) ? 2 : (k <= 5 || k == 60 || k == 61) ? 3 : 0;
    EXPECT_EQ(map[k], expected) << "key " << k;
  }

  // Another voice: the current program applies to it at once. Program 1 keeps its record
  // (the new file lists only program 0), program 0 takes the new file's.
  sampler.SelectVoice(1);
  EXPECT_EQ(sampler.VoiceFolder(), kSep + "other" + kSep);
  EXPECT_EQ(sampler.Bank()->sampleCount, 1);
  EXPECT_EQ(sampler.Programs().records[1].rangeCount, 5);
  EXPECT_EQ(CurrentKeyMap(sampler)[62], 2);
  sampler.SetProgram(0);
  EXPECT_EQ(sampler.Volume(), 0.9f);
  sampler.SelectVoice(0);
  EXPECT_EQ(sampler.Volume(), 1.0f);
  EXPECT_EQ(sampler.PitchBendRange(), 2);
  EXPECT_EQ(messages.messages(), std::vector<std::string>{});
}

// Without voice.csv, or with one that lists no complete line, the instrument loads the
// folder "Undef"; only a missing list is worth a message of its own.
TEST(VoiceList, MissingOrEmptyFallsBackToUndef) {
  for (const bool missing : {true, false}) {
    TempDir dir;
    if (!missing) dir.Write("voice.csv", "A,unended");
    MessageCounter messages;
    Sampler sampler(dir.str());
    EXPECT_EQ(sampler.Voices().voiceCount, missing ? 1 : 0);
    if (missing) {
      EXPECT_STREQ(sampler.Voices().voiceNames[0], "\x95\x73\x96\xBE");  // the failure entry
    }
    std::vector<std::string> expected = {"Error: " + dir.str() + kSep + "Undef" + kSep +
                                         "programs.txt Program file load failed."};
    if (missing) expected.insert(expected.begin(), "Errr: GetVoiceList\x82\xC5\x83\x47\x83\x89\x81\x5B");
    EXPECT_EQ(messages.messages(), expected) << missing;
    EXPECT_EQ(sampler.Bank()->sampleCount, 0);
  }
}

TEST_F(VoiceSelection, DirectoryNamedLikeAFileIsNotOpened) {
  std::filesystem::create_directories(dir.path() / "v" / "samples.txt");
  dir.Write("voice.csv", "V,v\r\n");
  dir.Write("v/programs.txt", "");
  Sampler sampler(dir.str());
  EXPECT_EQ(sampler.Bank()->sampleCount, 0);
  EXPECT_EQ(messages.count(), 0u);
}

// One instance per track: nothing one track does reaches another. A new instance leaves the
// first one's release constants as they are; a bank select's 100 on one track and its
// voice number on another switch neither; a voice one track chose last neither stops
// another from choosing it nor is what another's Effect switch reloads.
TEST(Instances, WhatOneTrackDoesNeverReachesAnother) {
  TempDir dir;
  WriteTwoToneVoices(dir);
  Sampler first(dir.str());
  first.SetParameter(kParamReleaseFactor, 0.25f);
  first.SetParameter(kParamReleaseLimit, 0.75f);
  const double factor = first.ReleaseFactor(), limit = first.ReleaseLimit();
  Sampler second(dir.str());
  EXPECT_EQ(first.ReleaseFactor(), factor);
  EXPECT_EQ(first.ReleaseLimit(), limit);
  EXPECT_EQ(second.ReleaseFactor(), kDefaultReleaseFactor);

  const auto send = [](Sampler& instance, int32_t controller, int32_t value) {
    instance.HandleMidiMessage(0xB0, controller, value);
    float left = 0.0f, right = 0.0f;
    instance.Process(&left, &right, 1);  // a switch takes over at the start of a block
  };
  send(first, 0, 100);
  send(second, 32, 1);
  EXPECT_EQ(second.VoiceFolder(), kSep + "v0" + kSep);
  send(first, 32, 1);
  EXPECT_EQ(first.VoiceFolder(), kSep + "v1" + kSep);
  second.SetEffect(1.0f, Sampler::Switching::kAtOnce);
  EXPECT_EQ(second.VoiceFolder(), kSep + "v0" + kSep);
  send(second, 0, 100);
  send(second, 32, 1);
  EXPECT_EQ(second.VoiceFolder(), kSep + "v1" + kSep);
}
}  // namespace
}  // namespace chantera::test
