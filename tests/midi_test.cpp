// MIDI interpretation through the instrument, the phonetic protocol and its release 500 ms
// after the commit, each instance with its own MIDI and phonetic state.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/sampler.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

class MidiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A constant sample long enough for every test: the output is flat while a note is
    // held and falls from the first released frame on.
    WriteSingleSampleVoice(dir, std::vector<int16_t>(60000, 8192), 69);
    sampler = std::make_unique<Sampler>(dir.str());
  }
  void Send(uint8_t status, uint8_t data1, uint8_t data2) {
    // The bytes arrive widened from signed 8 bits, as the block loop hands them on.
    sampler->HandleMidiMessage(static_cast<int8_t>(status), static_cast<int8_t>(data1), static_cast<int8_t>(data2));
  }
  void Send(const std::vector<Midi3>& messages) {
    for (const Midi3& m : messages) Send(m.status, m.data1, m.data2);
  }
  // Queues messages at one frame of a new block and renders frames of audio (in blocks of
  // 512 after the first), returning the left channel.
  std::vector<float> Play(const std::vector<Midi3>& messages, int32_t frame, int32_t frames) {
    std::vector<float> left(static_cast<size_t>(frames)), right(left.size());
    sampler->BeginEvents();
    for (const Midi3& m : messages) sampler->QueueEvent({frame, m.status, m.data1, m.data2});
    for (int32_t done = 0; done < frames;) {
      const int32_t n = std::min(512, frames - done);
      sampler->Process(left.data() + done, right.data() + done, n);
      done += n;
    }
    return left;
  }
  const NoteSlot& SlotOf(int32_t key) {
    for (const NoteSlot& slot : sampler->Slots().slots)
      if (slot.Sounding() && slot.key == key) return slot;
    static const NoteSlot none{};
    return none;
  }
  static int32_t FirstFall(const std::vector<float>& left, size_t from) {
    for (size_t f = from + 1; f < left.size(); ++f)
      if (left[f] < left[from]) return static_cast<int32_t>(f);
    return -1;
  }

  TempDir dir;
  std::unique_ptr<Sampler> sampler;
};

TEST_F(MidiTest, NotesOnAnyChannelAndVelocityZeroIsANoteOff) {
  Send(0x99, 60, 100);  // channel 10
  EXPECT_TRUE(SlotOf(60).Held());
  EXPECT_EQ(SlotOf(60).velocity, 100);
  EXPECT_TRUE(sampler->Midi().noteHeld.load());
  Send(0x90, 60, 0);
  EXPECT_TRUE(SlotOf(60).Releasing());
  EXPECT_FALSE(sampler->Midi().noteHeld.load());
  Send({{0x90, 61, 1}, {0x85, 61, 64}});
  EXPECT_TRUE(SlotOf(61).Releasing());
  // A note-on sets the held key to the phonetic key and advances the timer's generation.
  sampler->Midi().phoneticKey = 70;
  const int32_t generation = sampler->Midi().timerGeneration;
  Send(0x90, 62, 100);
  EXPECT_EQ(sampler->Midi().heldKey.load(), 70);
  EXPECT_EQ(sampler->Midi().timerGeneration, generation + 1);
}

TEST_F(MidiTest, ProgramChangePressureAndStrayBytesChangeNothing) {
  Send({{0xC0, 16, 0}, {0xA0, 60, 100}, {0xD0, 100, 0}, {0xF0, 60, 100}, {0x40, 60, 100}});
  EXPECT_EQ(sampler->GetProgram(), 0);
  for (const NoteSlot& slot : sampler->Slots().slots) EXPECT_FALSE(slot.Held());
}

TEST_F(MidiTest, VolumeExpressionAndPitchBend) {
  Send(0xB0, 7, 0);
  EXPECT_EQ(sampler->Volume(), 0.0f);
  Send(0xB0, 7, 127);
  EXPECT_EQ(sampler->Volume(), 1.0f);
  Send(0xB0, 11, 64);
  EXPECT_EQ(sampler->Expression(), static_cast<float>(64 * (1.0 / 127.0)));
  for (const auto& [lsb, msb, bend] : {std::tuple{0, 64, 0}, {127, 127, 8191}, {0, 0, -8192}}) {
    Send(0xE0, uint8_t(lsb), uint8_t(msb));
    EXPECT_EQ(sampler->PitchBend(), bend);
  }
}

TEST_F(MidiTest, AllNotesOffEndsHeldSlotsAndLetsFadesRun) {
  Send({{0x90, 60, 100}, {0x90, 62, 100}, {0x80, 62, 0}, {0xB0, 123, 0}});
  EXPECT_FALSE(SlotOf(60).Held());
  EXPECT_TRUE(SlotOf(62).Releasing());
}

TEST_F(MidiTest, RegisteredParameterZeroSetsTheRangeOnEveryLaterController) {
  Send({{0xB0, 101, 0}, {0xB0, 100, 0}, {0xB0, 6, 12}});
  EXPECT_EQ(sampler->PitchBendRange(), 2);  // controller 38 not seen yet
  Send(0xB0, 38, 99);
  EXPECT_EQ(sampler->PitchBendRange(), 12);
  sampler->SetProgram(0);
  EXPECT_EQ(sampler->PitchBendRange(), 2);
  Send(0xB0, 7, 100);
  EXPECT_EQ(sampler->PitchBendRange(), 12);
  sampler->SetProgram(0);
  Send({{0x90, 60, 100}, {0xE0, 0, 64}});  // notes and bends leave it alone
  EXPECT_EQ(sampler->PitchBendRange(), 2);

  // A non-registered parameter (99 or 98) deselects it, and 101 or 100 select it again
  // with its own last data entry: the phonetic protocol's keys and characters never
  // become ranges, and the syllable keeps its program's range.
  Send(PhoneticNote(64, "tSi"));
  EXPECT_EQ(sampler->GetProgram(), 16);
  EXPECT_EQ(sampler->PitchBendRange(), 2);
  Send(0xB0, 7, 100);
  EXPECT_EQ(sampler->PitchBendRange(), 2);
  Send(0xB0, 101, 0);
  EXPECT_EQ(sampler->PitchBendRange(), 12);
  Send({{0xB0, 98, 19}, {0xB0, 6, 116}});  // a character
  EXPECT_EQ(sampler->PitchBendRange(), 12);
  Send({{0xB0, 101, 0}, {0xB0, 99, 80}});
  sampler->SetProgram(0);
  Send(0xB0, 7, 100);
  EXPECT_EQ(sampler->PitchBendRange(), 2);
  Send(0xB0, 100, 0);
  EXPECT_EQ(sampler->PitchBendRange(), 12);
  // A data entry for it spells nothing, though the last phonetic parameter is the commit.
  Send({{0xB0, 99, 80}, {0xB0, 98, 127}, {0xB0, 100, 0}});
  const int32_t generation = sampler->Midi().timerGeneration;
  Send({{0xB0, 6, 127}, {0xB0, 38, 0}});
  EXPECT_EQ(sampler->PitchBendRange(), 127);
  EXPECT_EQ(sampler->Midi().timerGeneration, generation);  // no commit
}

TEST_F(MidiTest, BankSelectSwitchesVoicesOnlyBehindBank100) {
  std::vector<std::pair<std::string, VoiceFolder>> voices;
  for (const std::string v : {"0", "1", "2"}) {
    voices.push_back({"Voice " + v, VoiceFolder{"v" + v,
                                                {"s" + v + ".wav,a,69"},
                                                {"Program", "P,1.0,2,a", "S,0,127,s" + v + ".wav", "End"},
                                                {{"s" + v + ".wav", MakeWav(Pcm16({1, 2, 3}))}}}});
  }
  TempDir library;
  WriteVoiceLibrary(library, voices);
  sampler = std::make_unique<Sampler>(library.str());
  auto loaded = [this] { return sampler->Bank()->slot(0)->fileName; };
  EXPECT_EQ(loaded(), "s0.wav");
  Send(0xB0, 32, 2);  // bankMsb is 0
  EXPECT_EQ(loaded(), "s0.wav");
  Send({{0xB0, 0, 100}, {0xB0, 32, 2}});
  EXPECT_EQ(loaded(), "s2.wav");
  EXPECT_EQ(sampler->Midi().bankLsb.load(), 2);
  Send(0xB0, 32, 5);  // beyond the three voices: voice 0
  EXPECT_EQ(loaded(), "s0.wav");
  EXPECT_EQ(sampler->Midi().bankLsb.load(), 5);
  Send({{0xB0, 32, 1}, {0xB0, 32, 1}});  // repeating the current number does nothing, even after a reload
  EXPECT_EQ(loaded(), "s1.wav");
}

TEST_F(MidiTest, PhoneticSymbolsSelectTheirSyllables) {
  const std::pair<std::string, int> cases[] = {{"tSi", 16}, {"dZi", 51}, {"dzM", 52}, {"o", 4}, {"", 0}, {"xyz", 0}};
  for (const auto& [symbol, program] : cases) {
    sampler->SetProgram(100);
    Send(PhoneticNote(64, symbol));
    EXPECT_EQ(sampler->GetProgram(), program) << symbol;
    EXPECT_EQ(sampler->Midi().phoneticBuffer[0], 0);  // cleared after the commit
  }
}

TEST_F(MidiTest, CommitReleasesTheHeldNoteAndStartsThePhoneticKey) {
  Send(PhoneticNote(64, "tSi"));
  EXPECT_TRUE(SlotOf(64).Held());
  EXPECT_EQ(SlotOf(64).velocity, 127);
  EXPECT_EQ(sampler->Midi().heldKey.load(), 64);
  EXPECT_TRUE(sampler->Midi().noteHeld.load());
  Send(PhoneticNote(65, "ka"));
  EXPECT_TRUE(SlotOf(64).Releasing());
  EXPECT_TRUE(SlotOf(65).Held());
  EXPECT_EQ(sampler->GetProgram(), 5);
}

TEST_F(MidiTest, DataEntry127CommitsWhateverTheNrpnMsbHolds) {
  Send({{0xB0, 99, 5}, {0xB0, 98, 127}, {0xB0, 6, 127}});
  EXPECT_TRUE(sampler->Midi().noteHeld.load());
  EXPECT_TRUE(SlotOf(0).Held());  // the phonetic key of a fresh module
}

// Counted in frames of the host's rate: 22050 at 44100 Hz, 24000 at 48000 Hz.
TEST_F(MidiTest, PhoneticNoteIsReleasedExactly500msOfHostFramesAfterItsCommit) {
  for (const auto& [rate, release] : {std::pair{44100.0f, 22050}, std::pair{48000.0f, 24000}}) {
    sampler = std::make_unique<Sampler>(dir.str());
    sampler->SetHostSampleRate(rate);
    const std::vector<float> left = Play(PhoneticNote(64, "a"), 100, release + 1000);
    EXPECT_EQ(left[99], 0.0f);
    EXPECT_GT(left[100], 0.0f);
    EXPECT_EQ(FirstFall(left, 100), 100 + release) << rate;
    EXPECT_FALSE(sampler->Midi().noteHeld.load());
    EXPECT_EQ(sampler->ReleaseTimerFrames(), -1);
  }
}

TEST_F(MidiTest, NoteOnWithin500msKeepsThePhoneticNoteHeld) {
  Play(PhoneticNote(64, "a"), 0, 1000);
  Play({{0x90, 60, 100}}, 0, 30000);
  EXPECT_TRUE(SlotOf(64).Held());
  EXPECT_TRUE(sampler->Midi().noteHeld.load());
  Send(0x80, 64, 0);
  EXPECT_TRUE(SlotOf(64).Releasing());
}

// Two tracks, each an instance spelling its own syllables, rendered block by block in
// turn: each sings exactly what it sings alone. A spelling that one block begins and the
// next commits, a commit on one track within the other's 500 ms, a note-on or note-off on
// one track: none of it reaches the other's letters, held note or release.
TEST_F(MidiTest, TwoInstancesOnInterleavedBlocksEachSingWhatTheySingAlone) {
  const auto spelling = [](int key, std::string_view symbol, bool committed) {
    std::vector<Midi3> messages = PhoneticNote(key, symbol);
    if (!committed) messages.resize(messages.size() - 2);
    return messages;
  };
  const std::vector<Midi3> commit = {{0xB0, 98, 127}, {0xB0, 6, 127}};
  // Each track's blocks of 512 frames: its messages at frame 100 of the block.
  const std::vector<std::vector<Midi3>> tracks[2] = {
      {spelling(64, "ka", false), commit, {}, {}, spelling(66, "tSi", true), {}, {}, {}, {}, {}, {}, {}, {}},
      {{},
       spelling(70, "o", true),
       {{0x90, 60, 90}},
       {{0x80, 60, 0}},
       {},
       spelling(71, "N", false),
       commit,
       {},
       {},
       {},
       {},
       {},
       {}}};
  constexpr int32_t kBlock = 512;
  const auto play = [&](Sampler& instance, const std::vector<Midi3>& messages, std::vector<float>& out) {
    std::vector<float> left(kBlock), right(kBlock);
    instance.BeginEvents();
    for (const Midi3& m : messages) instance.QueueEvent({100, m.status, m.data1, m.data2});
    instance.Process(left.data(), right.data(), kBlock);
    out.insert(out.end(), left.begin(), left.end());
  };
  std::vector<float> alone[2], together[2];
  for (int t = 0; t < 2; ++t) {
    Sampler instance(dir.str());
    for (const auto& block : tracks[t]) play(instance, block, alone[t]);
  }
  Sampler first(dir.str()), second(dir.str());
  for (size_t b = 0; b < tracks[0].size(); ++b) {
    play(first, tracks[0][b], together[0]);
    play(second, tracks[1][b], together[1]);
  }
  for (int t = 0; t < 2; ++t) {
    EXPECT_EQ(together[t], alone[t]) << "track " << t;
    EXPECT_GT(*std::max_element(alone[t].begin(), alone[t].end()), 0.0f);
  }
  EXPECT_EQ(first.GetProgram(), 16);   // "tSi"
  EXPECT_EQ(second.GetProgram(), 44);  // "N"
}

TEST_F(MidiTest, LaterCommitReleasesTheFirstAndOnlyItsOwnTimerActs) {
  Play(PhoneticNote(64, "a"), 0, 10000);
  // The first timer would fire 12050 frames into this run; the second commit superseded it.
  const std::vector<float> left = Play(PhoneticNote(66, "ka"), 0, 23000);
  EXPECT_FALSE(SlotOf(64).Held());
  EXPECT_EQ(FirstFall(left, 12100), 22050);
  EXPECT_FALSE(SlotOf(66).Held());
}

TEST_F(MidiTest, NoteOffOfAnyKeyDisarmsTheRelease) {
  Play(PhoneticNote(64, "a"), 0, 100);
  Play({{0x80, 10, 0}}, 0, 30000);
  EXPECT_TRUE(SlotOf(64).Held());  // noteHeld was cleared: the timer finds nothing to release
}

}  // namespace
}  // namespace chantera::test
