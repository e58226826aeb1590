// The sample bank reading "samples.txt": which lines take a slot, what each slot holds
// afterwards, how names are found, that limits (1088 slots, line and path lengths) hold
// without overrunning anything, and each recording's timing from the folder's oto.ini.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "library/chorus_builder.h"
#include "library/sample_bank.h"
#include "library/shared_wavs.h"
#include "library/voice_timing.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

using Bank = ::chantera::SampleBank;

// A folder, a bank and the messages it shows; named like the class it tests.
class SampleBank : public ::testing::Test {
 protected:
  // Writes samples.txt (bytes as given) into dir/v/ with the named WAV files and loads it.
  int32_t Load(const std::string& list, const std::vector<std::string>& wavs = {}, Bank* into = nullptr) {
    dir.Write("v/samples.txt", list);
    for (const auto& name : wavs) dir.Write("v/" + name, MakeWav(Pcm16({static_cast<int16_t>(name.size())})));
    Bank& target = into != nullptr ? *into : bank;
    target.LoadSampleList(dir.str().c_str(), "/v/");
    return target.sampleCount;
  }
  TempDir dir;
  Bank bank;
  MessageCounter messages;
};

TEST_F(SampleBank, AllocatesDefaults) {
  EXPECT_EQ(bank.sampleCount, 0);
  ASSERT_NE(bank.slot(1087), nullptr);
  EXPECT_EQ(bank.slot(1088), nullptr);
  EXPECT_EQ(bank.slot(0)->rootFrequency, 440.0);
  EXPECT_EQ(bank.slot(0)->sampleRate, 44100u);
  EXPECT_EQ(bank.FindSample(""), -1);
}

TEST_F(SampleBank, LoadsLinesWithRootFrequencies) {
  ASSERT_EQ(Load("a.wav,la,60\r\nb.wav,lb,69\nc.wav,lc,x\r\nd.wav,ld,+72,extra", {"a.wav", "b.wav", "c.wav", "d.wav"}),
            4);
  EXPECT_EQ(messages.count(), 0u);
  EXPECT_NEAR(bank.slot(0)->rootFrequency, 261.6256, 5e-5);
  EXPECT_EQ(bank.slot(0)->alias, "la");
  EXPECT_EQ(bank.slot(1)->rootFrequency, 440.0);
  EXPECT_NEAR(bank.slot(2)->rootFrequency, 8.1758, 5e-5);  // not a number: note 0
  EXPECT_NEAR(bank.slot(3)->rootFrequency, 523.2511, 5e-5);
  EXPECT_EQ(bank.slot(3)->fileName, "d.wav");  // last line without a line end counts whole
  EXPECT_EQ(bank.slot(3)->dataSize, 2u);
}

TEST_F(SampleBank, SkipsLinesWithoutThreeFields) {
  ASSERT_EQ(Load("\r\n,,,\r\nx.wav,,60\r\n,,a.wav,,la,,60\r\n b.wav ,l,1\r\n", {"a.wav"}), 2);
  EXPECT_EQ(bank.slot(0)->fileName, "a.wav");  // leading and doubled commas skipped
  EXPECT_EQ(bank.slot(0)->alias, "la");
  EXPECT_EQ(bank.slot(1)->fileName, " b.wav ");  // blanks are part of the name
  EXPECT_EQ(messages.count(), 1u);               // and " b.wav " is no file
}

// A missing WAV file still takes its slot.
TEST_F(SampleBank, SlotsAreReusedAndMissingListEmptiesTheCount) {
  ASSERT_EQ(Load("a.wav,a,60\r\nbb.wav,b,60\r\n", {"a.wav", "bb.wav"}), 2);
  Sample* second = bank.slot(1);
  ASSERT_EQ(Load("missing.wav,m,60\r\n"), 1);
  EXPECT_EQ(bank.slot(1), second);        // same object, untouched beyond the count
  EXPECT_EQ(bank.slot(0)->dataSize, 2u);  // old data stays when the new file fails
  EXPECT_EQ(bank.slot(0)->fileName, "missing.wav");
  EXPECT_EQ(bank.FindSample("bb.wav"), -1);  // beyond sampleCount
  bank.LoadSampleList((dir.str() + "/none").c_str(), "/v/");
  EXPECT_EQ(bank.sampleCount, 0);
  EXPECT_EQ(messages.messages(), std::vector<std::string>{"Error: Wave file load failed."});
}

TEST_F(SampleBank, FindSampleReturnsTheFirstOfSharedNames) {
  ASSERT_EQ(Load("X.wav,1,60\r\nx.WAV,2,60\r\n\xE3\x81\x82.wav,3,60\r\n"), 3);
  EXPECT_EQ(bank.FindSample("x.wav"), 0);
  EXPECT_EQ(bank.FindSample("\xE3\x81\x82.WAV"), 2);
  EXPECT_EQ(bank.FindSample("\xC3\x81\x82.wav"), -1);  // only ASCII letters fold
  EXPECT_EQ(bank.FindSample("x.wa"), -1);
}

// Banks (instances) that load the same unchanged file share its data: read once, counted
// once, freed with the last holder. A Chorus rebuild gives its bank data of its own; an
// edited file, or one written a moment ago, is read again.
TEST_F(SampleBank, UnchangedFilesAreSharedBetweenBanks) {
  const auto settle = [&](const std::string& name, std::chrono::hours age) {
    std::filesystem::last_write_time(dir.path() / "v" / name, std::filesystem::file_time_type::clock::now() - age);
  };
  const std::string tone = Pcm16(Sine(4000, 0.01));
  dir.Write("v/a.wav", MakeWav(tone));
  dir.Write("v/fresh.wav", MakeWav(tone));
  settle("a.wav", std::chrono::hours(1));
  const std::string list = "a.wav,a,60\r\nfresh.wav,f,60\r\n";
  const uint64_t before = LiveDataBytes();
  Bank first, second;
  ASSERT_EQ(Load(list, {}, &first), 2);
  const uint64_t one = LiveDataBytes() - before;
  ASSERT_EQ(Load(list, {}, &second), 2);
  EXPECT_EQ(second.slot(0)->pcm, first.slot(0)->pcm);
  EXPECT_NE(second.slot(1)->pcm, first.slot(1)->pcm);  // written just now: not trusted yet
  EXPECT_EQ(LiveDataBytes() - before, one + second.slot(1)->dataSize);
  EXPECT_EQ(second.slot(0)->dataSize, tone.size());

  RebuildSample(*second.slot(0));
  EXPECT_NE(second.slot(0)->pcm, first.slot(0)->pcm);
  EXPECT_EQ(0, std::memcmp(first.slot(0)->pcm.get(), tone.data(), tone.size()));

  // Data converted at load (24-bit here) are shared as converted, with their 16-bit layout.
  dir.Write("v/deep.wav", MakeWav(PcmBytes({300 << 8, -300 << 8}, 3), {.bitsPerSample = 24}));
  settle("deep.wav", std::chrono::hours(1));
  Bank deep, deeper;
  ASSERT_EQ(Load("deep.wav,d,60\r\n", {}, &deep), 1);
  ASSERT_EQ(Load("deep.wav,d,60\r\n", {}, &deeper), 1);
  EXPECT_EQ(deeper.slot(0)->pcm, deep.slot(0)->pcm);
  EXPECT_EQ(deeper.slot(0)->dataSize, 4u);
  EXPECT_EQ(deeper.slot(0)->GetValue(1, 0), -300);

  // The same size, other values, another time: read again.
  const std::string other = Pcm16(Sine(4000, 0.02));
  dir.Write("v/a.wav", MakeWav(other));
  settle("a.wav", std::chrono::hours(2));
  Bank third;
  ASSERT_EQ(Load(list, {}, &third), 2);
  EXPECT_NE(third.slot(0)->pcm, first.slot(0)->pcm);
  EXPECT_EQ(0, std::memcmp(third.slot(0)->pcm.get(), other.data(), other.size()));

#if !defined(_WIN32)  // links and folder watches are this part's subject: POSIX only
  // Files that can change without a word in the voice's folder: a link to a file elsewhere,
  // and a second name of a file, each written through the other name. The list is written
  // once, so the folder itself is quiet from the second load on.
  dir.Write("elsewhere/t.wav", MakeWav(tone));
  dir.Write("elsewhere/h.wav", MakeWav(tone));
  std::filesystem::create_symlink(dir.path() / "elsewhere/t.wav", dir.path() / "v/link.wav");
  std::filesystem::create_hard_link(dir.path() / "elsewhere/h.wav", dir.path() / "v/hard.wav");
  const auto age = [&](std::chrono::hours hours) {
    for (const char* name : {"elsewhere/t.wav", "elsewhere/h.wav"})
      std::filesystem::last_write_time(dir.path() / name, std::filesystem::file_time_type::clock::now() - hours);
  };
  age(std::chrono::hours(3));
  Bank fourth, fifth, sixth;
  ASSERT_EQ(Load("link.wav,l,60\r\nhard.wav,h,60\r\na.wav,a,60\r\n", {}, &fourth), 3);
  fifth.LoadSampleList(dir.str().c_str(), "/v/");
  for (int slot = 0; slot < 3; ++slot) EXPECT_EQ(fifth.slot(slot)->pcm, fourth.slot(slot)->pcm) << slot;
  dir.Write("elsewhere/t.wav", MakeWav(other));
  dir.Write("elsewhere/h.wav", MakeWav(other));
  age(std::chrono::hours(4));
  sixth.LoadSampleList(dir.str().c_str(), "/v/");
  for (int slot = 0; slot < 2; ++slot)
    EXPECT_EQ(0, std::memcmp(sixth.slot(slot)->pcm.get(), other.data(), other.size())) << slot;
#endif
}

TEST_F(SampleBank, StopsAtTheLastSlot) {
  std::string list;
  for (int i = 0; i < kSampleSlots + 5; ++i) list += "s" + std::to_string(i) + ".wav,a,60\n";
  ASSERT_EQ(Load(list), kSampleSlots);
  EXPECT_EQ(bank.slot(kSampleSlots - 1)->fileName, "s1087.wav");
  EXPECT_EQ(messages.count(), static_cast<size_t>(kSampleSlots));
}

TEST_F(SampleBank, OverlongLinesAndPathsAreCutOrRefused) {
  // A 272-byte line keeps its first 253 bytes; its rest (which looks like a line of its
  // own) is dropped, and so is the 254th byte of "...,a,61": root note 6. A name that
  // makes the WAV path longer than 259 is not opened.
  const std::string tail(250, 'q');
  const std::string longName(230, 'n');
  ASSERT_EQ(Load("a.wav,a,60," + tail + ",c.wav,c,61\r\n" + longName + ",l,60\r\nb.wav,b,60\r\n" +
                     std::string(249, 'm') + ",a,61\r\n",
                 {"b.wav"}),
            4);
  EXPECT_NEAR(bank.slot(0)->rootFrequency, 261.6256, 5e-5);
  EXPECT_EQ(bank.slot(1)->fileName, longName);
  EXPECT_EQ(bank.slot(2)->fileName, "b.wav");
  EXPECT_NEAR(bank.slot(3)->rootFrequency, 11.5623, 5e-5);
  EXPECT_EQ(bank.FindSample("c.wav"), -1);
  EXPECT_EQ(messages.count(), 3u);  // a.wav does not exist; the long paths cannot be opened
}

// Milliseconds become frames at the recording's own rate (10 frames a millisecond here);
// a recording takes the entry of its file and alias, else its file's first; names match
// whatever their case or encoding; numbers that point outside the recording are made safe;
// and a folder without oto.ini (or a recording without an entry) has no timing.
TEST_F(SampleBank, TimingComesFromTheFoldersOtoIni) {
  const std::string sjisA = "\x82\xA0.wav", utf8A = "\xE3\x81\x82.wav";  // あ.wav
  const std::string list =
      "a.wav,a,60\r\nb.wav,ka,60\r\nC.WAV,c,60\r\nd.wav,d,60\r\ne.wav,e,60\r\n"
      "f.wav,f,60\r\ng.wav,g,60\r\n" +
      sjisA + ",\x82\xA0,60\r\n";
  for (const std::string name : {"a.wav", "b.wav", "C.WAV", "d.wav", "e.wav", "f.wav", "g.wav", sjisA.c_str()})
    dir.WriteByAnsiName("v/" + name, MakeWav(Pcm16(std::vector<int16_t>(1000, 100)), {.sampleRate = 10000}));
  dir.Write("v/oto.ini",
            "a.wav=a,10,0,0,20,5\r\nb.wav=x,0,0,0,1,1\r\nb.wav=ka,5,0,0,30,10\r\nc.wav=,0,0,0,12.34,0\r\n"
            "broken line\r\ne.wav=e,90,0,0,20,0\r\nf.wav=f,-5,0,0,10,30\r\ng.wav=g,0,0,0,10,-10\r\n" +
                utf8A + "=\xE3\x81\x82,1,0,0,2,0\r\n");
  ASSERT_EQ(Load(list), 8);
  EXPECT_EQ(messages.count(), 0u);
  const SampleTiming expected[] = {
      {true, 100, 200, 50},  // a
      {true, 50, 300, 100},  // b: the entry of its alias
      {true, 0, 123, 0},     // C.WAV: its alias is the file's name; 12.34 ms
      {},                    // d: no entry
      {true, 900, 100, 0},   // e: the vowel lies past the end: at the end
      {true, 0, 100, 100},   // f: a negative offset is 0; the overlap goes no further than the vowel
      {true, 0, 100, -100},  // g: the note before ends before this one starts
      {true, 10, 20, 0},     // あ.wav: Shift-JIS in samples.txt, UTF-8 in oto.ini
  };
  for (int32_t slot = 0; slot < 8; ++slot) {
    const SampleTiming& t = bank.slot(slot)->timing;
    EXPECT_TRUE(t == expected[slot]) << slot << ": " << t.known << " " << t.offset << " " << t.preutterance << " "
                                     << t.overlap;
  }
  VoiceList library;  // the latency of Timing "beat": the longest preutterance of any voice
  library.voiceCount = 2;
  std::strcpy(library.voiceFolders[0], "none");
  std::strcpy(library.voiceFolders[1], "v");
  EXPECT_DOUBLE_EQ(LargestPreutteranceSeconds(dir.str(), library), 0.03);
  // An overlap an hour long at a rate a header may claim stays negative, and within the vowel.
  const SampleTiming far = TimingOf({"x.wav", "x", 0, 0, 0, 10, -3.6e6}, 4'000'000'000u, 1000);
  EXPECT_TRUE(far.overlap < 0 && far.preutterance == 1000) << far.overlap;

  std::filesystem::remove(dir.path() / "v" / "oto.ini");
  ASSERT_EQ(Load(list), 8);
  for (int32_t slot = 0; slot < 8; ++slot) EXPECT_FALSE(bank.slot(slot)->timing.known) << slot;
  EXPECT_EQ(LargestPreutteranceSeconds(dir.str(), library), 0.0);
}

}  // namespace
}  // namespace chantera::test
