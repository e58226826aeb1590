// Clean singing: no clicks when the recording under a note changes, and notes that sustain
// on looped recordings, checked with the click detector that reports on every rendered song,
// at both qualities (the linear kernel and the band-limited one).
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "engine/sampler.h"
#include "library/sample.h"
#include "library/wave_writer.h"
#include "support/fixtures.h"
#include "tools/render/click_detector.h"

namespace chantera::test {
namespace {

constexpr double kRate = 44100.0;

// A sine that rises from silence over 100 frames, as recordings start quietly.
std::vector<int16_t> Tone(size_t frames, double cyclesPerFrame, double phase) {
  std::vector<int16_t> v(frames);
  for (size_t i = 0; i < frames; ++i) {
    const double rise = std::min(1.0, static_cast<double>(i) / 100.0);
    v[i] = static_cast<int16_t>(std::lround(
        12000.0 * rise * std::sin(2.0 * std::numbers::pi * cyclesPerFrame * static_cast<double>(i) + phase)));
  }
  return v;
}

std::string Bytes(const std::vector<int16_t>& v, const WaveLoop* loop = nullptr) {
  return WaveFileBytes(v, 1, 44100, loop);
}

// Programs 0, 1, 2 and 3 (the syllables a, i, u and e): two different one-second tones,
// a short tone with a sustain loop whose ends do not meet (78.51 periods), and one looped
// from its first frame to its last, which ends near a crest (200.25 periods).
constexpr WaveLoop kLoop{8000, 15850};
constexpr WaveLoop kWholeLoop{0, 19999};
void WriteVoice(const TempDir& dir) {
  VoiceFolder v;
  v.folder = "v";
  v.sampleLines = {"a.wav,a,69", "i.wav,i,69", "u.wav,u,69", "e.wav,e,69"};
  v.programLines = {"Program", "P,1.0,2,a", "S,0,127,a.wav", "End", "Program", "P,1.0,2,i", "S,0,127,i.wav", "End",
                    "Program", "P,1.0,2,u", "S,0,127,u.wav", "End", "Program", "P,1.0,2,e", "S,0,127,e.wav", "End"};
  v.files = {{"a.wav", Bytes(Tone(44100, 0.0100, 0.0))},
             {"i.wav", Bytes(Tone(44100, 0.0137, 1.9))},
             {"u.wav", Bytes(Tone(20000, 0.0100, 0.0), &kLoop)},
             {"e.wav", Bytes(Tone(20000, 0.0100125, 0.0), &kWholeLoop)}};
  WriteVoiceLibrary(dir, {{"Voice", v}});
}

// What the host does at a frame: MIDI messages, or a program selection between blocks.
struct Step {
  int32_t frame;
  std::vector<Midi3> midi;
  int32_t program = -1;
};

struct Render {
  std::vector<float> left, right;
  size_t clicks = 0;
};

class CleanSinging : public ::testing::TestWithParam<Quality> {
 protected:
  void SetUp() override {
    WriteVoice(dir);
    sampler = std::make_unique<Sampler>(dir.str());
    sampler->SetQuality(GetParam());
  }
  static Step On(int32_t frame, uint8_t key) { return {frame, {{0x90, key, 100}}}; }
  static Step Off(int32_t frame, uint8_t key) { return {frame, {{0x80, key, 0}}}; }
  static Step Program(int32_t frame, int32_t program) { return {frame, {}, program}; }
  static Step Phonetic(int32_t frame, uint8_t key, const char* symbol) { return {frame, PhoneticNote(key, symbol)}; }
  // Renders frames in blocks that end at each step's frame.
  Render Play(const std::vector<Step>& steps, int32_t frames) {
    Render r;
    r.left.assign(static_cast<size_t>(frames), 0.0f);
    r.right = r.left;
    int32_t done = 0;
    size_t next = 0;
    while (done < frames) {
      for (; next < steps.size() && steps[next].frame <= done; ++next) {
        if (steps[next].program >= 0) sampler->SetProgram(steps[next].program);
        for (Midi3 m : steps[next].midi) sampler->HandleMidiMessage(static_cast<int8_t>(m.status), m.data1, m.data2);
      }
      int32_t end = std::min(frames, done + 512);
      if (next < steps.size()) end = std::min(end, steps[next].frame);
      sampler->Process(r.left.data() + done, r.right.data() + done, end - done);
      done = end;
    }
    ClickDetector detector(kRate);
    detector.Feed(r.left.data(), r.right.data(), r.left.size());
    r.clicks = detector.clicks();
    return r;
  }
  // Ends every note and lets the releases run out, then selects program.
  void Silence(int32_t program) {
    Play({{0, {{0xB0, 123, 0}}}}, 10000);
    sampler->SetProgram(program);
  }

  TempDir dir;
  std::unique_ptr<Sampler> sampler;
};

TEST(ClickDetector, FindsJumpsNotTheSignalsOwnSteps) {
  const auto signal = [](double cycles, size_t jumpAt, double jump) {
    std::vector<float> v(8000);
    for (size_t i = 0; i < v.size(); ++i)
      v[i] = static_cast<float>(0.4 * std::min(1.0, static_cast<double>(i) / 500.0) *
                                    std::sin(2 * std::numbers::pi * cycles * static_cast<double>(i)) +
                                (i >= jumpAt ? jump : 0.0));
    return v;
  };
  struct Case {
    const char* what;
    std::vector<float> v;
    size_t clicks, at;
  } cases[] = {
      // Each signal rises from silence over its first 500 frames. The detector looks at
      // blocks of 55 frames (5 ms / 4 at 44.1 kHz), four frames at a time.
      {"a clean low tone", signal(0.005, 0, 0.0), 0, 0},
      {"a clean high tone", signal(0.2, 0, 0.0), 0, 0},
      {"a jump of 0.3 in a low tone", signal(0.005, 5000, 0.3), 1, 5000},
      {"a small jump hidden in a loud high tone", signal(0.2, 5000, 0.05), 0, 0},
      {"a jump out of silence above the floor", signal(0.0, 5000, 0.1), 1, 5000},
      {"a one-frame spike at the first frame of a block",
       [&] {
         std::vector<float> v = signal(0.0, 5005, 0.1);
         std::fill(v.begin() + 5006, v.end(), 0.0f);
         return v;
       }(),
       1, 5005},
      {"... at the second of four frames", signal(0.0, 4999, 0.1), 1, 4999},
      {"a jump out of silence below the floor", signal(0.0, 5000, 0.02), 0, 0},
  };
  for (const Case& c : cases) {
    ClickDetector detector(kRate);
    detector.Feed(c.v.data(), c.v.data(), c.v.size());
    EXPECT_EQ(detector.clicks(), c.clicks) << c.what;
    if (c.clicks == 1) {
      EXPECT_EQ(detector.firstClick(), c.at) << c.what;
    }
  }
}

TEST_P(CleanSinging, RecordingChangesUnderSoundingNotesDoNotClick) {
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"program change under a releasing note", {On(0, 69), Off(10000, 69), Program(10300, 1)}},
      {"program change under a held note", {On(0, 69), Program(10000, 1), Off(20000, 69)}},
      {"program changes under held notes, twice within the crossover",
       {On(0, 69), On(0, 72), Program(10000, 1), Program(10100, 0), Off(20000, 69), Off(20000, 72)}},
      {"a third syllable halfway through a crossover",
       {On(0, 69), Program(10000, 1), Program(10110, 2), Off(20000, 69)}},
      {"a third syllable just past halfway", {On(0, 69), Program(10000, 1), Program(10111, 2), Off(20000, 69)}},
      {"phonetic commits in quick succession",
       {Phonetic(0, 69, "a"), Phonetic(2205, 69, "i"), Phonetic(4410, 71, "a"), Phonetic(6615, 69, "i"),
        Phonetic(8820, 69, "a")}},
      {"a repeated key with a syllable each",
       {On(0, 69), Off(3000, 69), Program(3000, 1), On(3000, 69), Off(6000, 69), Program(6000, 0), On(6000, 69),
        Off(9000, 69)}},
      {"a legato line, each syllable chosen as its note begins",
       {On(0, 69), Program(5000, 1), On(5000, 71), Off(5200, 69), Program(10000, 0), On(10000, 72), Off(10200, 71),
        Off(15000, 72)}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Play(c.steps, 30000).clicks, 0u) << c.what;
    Silence(0);
  }
}

TEST_P(CleanSinging, HeldNoteCrossesToTheNewSyllableAndReleasedNoteKeepsItsOwn) {
  // Held: after the 5 ms crossover the note sings program 1's tone, in step with a note
  // started on it at the same position.
  const Render changed = Play({On(0, 69), Program(10000, 1)}, 12000);
  Silence(1);
  const Render direct = Play({On(0, 69)}, 12000);
  for (size_t f = 10000 + 221; f < 12000; ++f) ASSERT_NEAR(changed.left[f], direct.left[f], 1e-6) << f;
  EXPECT_GT(std::fabs(changed.left[10100] - direct.left[10100]), 1e-3);  // still crossing over

  // A third syllable during the crossover takes over from the second once that is done.
  Silence(0);
  const Render third = Play({On(0, 69), Program(10000, 1), Program(10110, 2)}, 12000);
  Silence(2);
  const Render onThird = Play({On(0, 69)}, 12000);
  for (size_t f = 10000 + 2 * 221; f < 12000; ++f) ASSERT_NEAR(third.left[f], onThird.left[f], 1e-6) << f;

  // Released: the fade goes on with the tone it began with.
  Silence(0);
  const Render kept = Play({On(0, 69), Off(10000, 69), Program(10050, 1)}, 11000);
  Silence(0);
  const Render plain = Play({On(0, 69), Off(10000, 69)}, 11000);
  for (size_t f = 10000; f < 11000; ++f) ASSERT_EQ(kept.left[f], plain.left[f]) << f;
}

// Programs 2 (a loop inside the recording) and 3 (a loop over all of it).
TEST_P(CleanSinging, LoopedNoteSustainsAtItsLevelUntilReleasedThenEnds) {
  for (int32_t program : {2, 3}) {
    SCOPED_TRACE(program);
    Silence(program);
    const int32_t held = 3 * 44100;  // six and a half times the recording
    const Render r = Play({On(0, 69), Off(held, 69)}, held + 20000);
    EXPECT_EQ(r.clicks, 0u);
    const auto level = [&](int32_t from) {
      double sum = 0.0;
      for (int32_t f = from; f < from + 2205; ++f) sum += static_cast<double>(r.left[f]) * r.left[f];
      return 10.0 * std::log10(sum / 2205.0);
    };
    const double reference = level(2205);
    for (int32_t from = 2205; from + 2205 <= held; from += 2205)
      ASSERT_NEAR(level(from), reference, 1.0) << "at frame " << from;
    for (const NoteSlot& slot : sampler->Slots().slots) EXPECT_FALSE(slot.Sounding());
  }
}

INSTANTIATE_TEST_SUITE_P(Qualities, CleanSinging, ::testing::Values(Quality::kLive, Quality::kHigh),
                         [](const auto& info) { return info.param == Quality::kLive ? "Live" : "High"; });

// The "smpl" chunk of a file, with loops of (type, start, last frame) and the count it
// claims; and a file that carries it before or after its data.
std::string Smpl(const std::vector<std::array<uint32_t, 3>>& loops, uint32_t claimed, uint32_t size = 0) {
  std::string payload = std::string(28, '\0') + Le32(claimed) + Le32(0);
  for (const auto& [type, start, last] : loops)
    payload += Le32(0) + Le32(type) + Le32(start) + Le32(last) + Le32(0) + Le32(0);
  const uint32_t stored = size != 0 ? size : static_cast<uint32_t>(payload.size());
  return "smpl" + Le32(stored) + payload.substr(0, std::min<size_t>(payload.size(), stored));
}
std::string WithChunk(const std::string& wav, const std::string& chunk, bool beforeData) {
  std::string out = wav;
  out.insert(beforeData ? out.find("data") : out.size(), chunk);
  return out.replace(4, 4, Le32(static_cast<uint32_t>(out.size() - 8)));
}

TEST(SustainLoop, UsableLoopsAreTakenAndDamagedOnesIgnoredSilently) {
  const std::string wav = Bytes(Tone(1000, 0.01, 0.0));
  // A tone whose last frames are near a crest: a loop that ends there and starts at its
  // first frame does not meet.
  const std::vector<int16_t> crestTone = Tone(1000, 0.01025, 0.0);
  const std::string crest = Bytes(crestTone);
  const std::string wholeCrest = WithChunk(crest, Smpl({{0, 0, 999}}, 1), false);
  struct Case {
    const char* what;
    std::string file;
    uint32_t start, end;  // 0, 0: no loop
  } cases[] = {
      {"a forward loop after the data", WithChunk(wav, Smpl({{0, 100, 899}}, 1), false), 100, 900},
      {"a forward loop before the data", WithChunk(wav, Smpl({{0, 100, 899}}, 1), true), 100, 900},
      {"a loop over the whole file whose ends meet: kept as it is", WithChunk(wav, Smpl({{0, 0, 999}}, 1), false), 0,
       1000},
      {"a loop from the first frame whose ends do not meet", WithChunk(crest, Smpl({{0, 0, 899}}, 1), false), 0, 900},
      // Nothing before the start or after the end: the loop starts a quarter (at most 10 ms) in.
      {"a loop over the whole file whose ends do not meet", wholeCrest, 250, 1000},
      {"the first forward loop after a ping-pong one", WithChunk(wav, Smpl({{1, 0, 50}, {0, 200, 999}}, 2), false), 200,
       1000},
      {"no loop at all", WithChunk(wav, Smpl({}, 0), false), 0, 0},
      {"only a backward loop", WithChunk(wav, Smpl({{2, 100, 899}}, 1), false), 0, 0},
      {"end before start", WithChunk(wav, Smpl({{0, 800, 100}}, 1), false), 0, 0},
      {"end beyond the data", WithChunk(wav, Smpl({{0, 100, 1000}}, 1), false), 0, 0},
      {"a loop of a few frames", WithChunk(wav, Smpl({{0, 100, 110}}, 1), false), 0, 0},
      {"an absurd loop count", WithChunk(wav, Smpl({{0, 100, 899}}, 0xFFFFFFFFu), false), 0, 0},
      {"a chunk too short for its header", WithChunk(wav, Smpl({}, 1, 20), false), 0, 0},
      {"a chunk claiming more than the file, its loop whole",
       WithChunk(wav, Smpl({{0, 100, 899}}, 1, 0x7FFFFFF0u), false), 100, 900},
  };
  TempDir dir;
  MessageCounter messages;
  for (const Case& c : cases) {
    Sample sample;
    ASSERT_TRUE(sample.LoadFromWav(dir.Write("t.wav", c.file).string().c_str())) << c.what;
    EXPECT_EQ(sample.ReadableFrames(), 1000u) << c.what;
    EXPECT_EQ(sample.HasLoop(), c.end != 0) << c.what;
    EXPECT_EQ(sample.LoopStart(), c.start) << c.what;
    EXPECT_EQ(sample.LoopEnd(), c.end) << c.what;
  }
  EXPECT_EQ(messages.count(), 0u);

  // The whole-file loop's wrap continues the sound (its last frame is the one before its
  // start), and a note still begins with the recording's own first frames.
  Sample whole;
  ASSERT_TRUE(whole.LoadFromWav(dir.Write("t.wav", wholeCrest).string().c_str()));
  EXPECT_EQ(whole.GetValue(999, 0), crestTone[249]);
  for (uint32_t f = 0; f < 250; ++f) ASSERT_EQ(whole.GetValue(f, 0), crestTone[f]) << f;

  // Setting a loop in an existing file (8-bit stereo here) replaces its loop and keeps its
  // audio byte for byte.
  std::string data(2000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  const std::string relooped = WithSustainLoop(
      WithChunk(MakeWav(data, {.channels = 2, .bitsPerSample = 8}), Smpl({{0, 5, 900}}, 1), true), {100, 899});
  Sample eightBit;
  ASSERT_TRUE(eightBit.LoadFromWav(dir.Write("t.wav", relooped).string().c_str()));
  EXPECT_TRUE(relooped.find("data" + std::string("\xD0\x07\0\0", 4) + data) != std::string::npos);
  EXPECT_EQ(eightBit.LoopStart(), 100u);
  EXPECT_EQ(eightBit.LoopEnd(), 900u);
  for (int c = 0; c < 2; ++c)  // the ends do not meet: the last looped frame is the one before the start
    EXPECT_EQ(eightBit.GetValue(899, c), static_cast<uint8_t>(data[2 * 99 + c]) - 128) << c;
  EXPECT_EQ(WithSustainLoop(std::string("RIFF\x10\0\0\0WAVEdata\xff\xff\0\0", 20), {0, 20}), "");

  // The Chorus rebuild replaces the data: the loop belonged to the old one and goes.
  Sample sample;
  ASSERT_TRUE(sample.LoadFromWav(dir.Write("t.wav", cases[0].file).string().c_str()));
  sample.SetData(std::unique_ptr<uint8_t[]>(new uint8_t[4000]()), 4000);
  EXPECT_FALSE(sample.HasLoop());
}

}  // namespace
}  // namespace chantera::test
