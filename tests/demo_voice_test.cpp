// The demo voice the build synthesises beside the plug-in: the same bytes on every run,
// loaded without a message, every syllable program mapped over the whole keyboard, and
// each recording sounding at its root note.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/note_slots.h"
#include "engine/sampler.h"
#include "library/pitch.h"
#include "support/fixtures.h"
#include "tools/demo_voice/voice.h"

namespace chantera::test {
namespace {

namespace fs = std::filesystem;
using demo::kDemoRoots;
using tools::kSyllablePrograms;

std::map<std::string, std::string> ReadFolder(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) files[fs::relative(entry.path(), dir).generic_string()] = ReadFile(entry.path());
  return files;
}

// The voice the build placed in the plug-in folder, loaded once per test program (each
// test runs in a program of its own under CTest, and generating takes seconds).
class DemoVoice : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::path(CHANTERA_PLUGIN_PATH).parent_path();
    for (const auto& entry : fs::directory_iterator(dir_ / "demo")) {
      if (entry.path().extension() != ".wav") continue;
      ++summary_.recordings;
      summary_.bytes += entry.file_size();
    }
    MessageCounter messages;
    sampler_ = std::make_unique<Sampler>(dir_.string());
    loadMessages_ = messages.messages();
  }
  static void TearDownTestSuite() {
    sampler_->Shutdown();
    sampler_.reset();
  }

  static inline fs::path dir_;
  static inline demo::DemoSummary summary_;
  static inline std::unique_ptr<Sampler> sampler_;
  static inline std::vector<std::string> loadMessages_;
};

TEST_F(DemoVoice, GeneratesTheSameBytesOnEveryRun) {
  TempDir again;
  demo::GenerateDemoVoice(again.path());
  auto first = ReadFolder(dir_ / "demo");
  auto second = ReadFolder(again.path() / "demo");
  first["voice.csv"] = ReadFile(dir_ / "voice.csv");
  second["voice.csv"] = ReadFile(again.path() / "voice.csv");
  ASSERT_EQ(first.size(), second.size());
  for (const auto& [name, bytes] : first) EXPECT_TRUE(second[name] == bytes) << name << " differs between two runs";
  // voice.csv, samples.txt, programs.txt, oto.ini and the recordings, and nothing else.
  EXPECT_EQ(first.size(), 4 + summary_.recordings);
  EXPECT_EQ(first.at("voice.csv"), "Chantera Demo,demo\r\n");
}

TEST_F(DemoVoice, LoadsWithoutAMessageAndStaysSmallEnoughToShip) {
  EXPECT_EQ(summary_.recordings, size_t(kSyllablePrograms) * kDemoRoots.size());
  EXPECT_LT(summary_.bytes, 40'000'000u);
  EXPECT_TRUE(loadMessages_.empty()) << loadMessages_.front();
  ASSERT_EQ(sampler_->Voices().voiceCount, 1);
  EXPECT_STREQ(sampler_->Voices().voiceNames[0], "Chantera Demo");
  EXPECT_STREQ(sampler_->Voices().voiceFolders[0], "demo");
  EXPECT_EQ(sampler_->Bank()->sampleCount.load(), int32_t(summary_.recordings));
  // Every recording has its timing; a consonant comes before the vowel's start.
  for (int32_t n = 0; n < sampler_->Bank()->sampleCount.load(); ++n) {
    const Sample& s = *sampler_->Bank()->slot(n);
    EXPECT_TRUE(s.timing.known) << s.fileName;
    EXPECT_GT(s.timing.preutterance, 0u) << s.fileName;
    if (s.fileName.starts_with("sa_")) {
      EXPECT_GT(s.timing.preutterance, s.timing.overlap + s.sampleRate / 20) << s.fileName;
    }
  }
}

TEST_F(DemoVoice, EverySyllableProgramCoversTheKeyboardWithItsOwnRecordings) {
  const std::vector<tools::ProgramSyllable> syllables = tools::ProgramSyllables();
  const ProgramSet& programs = sampler_->Programs();
  for (int p = 0; p < kSyllablePrograms; ++p) {
    const ProgramRecord& record = programs.records[size_t(p)];
    SCOPED_TRACE("program " + std::to_string(p) + " " + record.name);
    EXPECT_EQ(std::string(record.name), syllables[size_t(p)].name);
    EXPECT_FLOAT_EQ(record.volume, 1.0f);
    EXPECT_EQ(record.pitchBendRange, 2);
    ASSERT_EQ(record.rangeCount, int32_t(kDemoRoots.size()));
    int32_t nextKey = 0;
    for (const KeyRange& range : record.ranges) {
      EXPECT_EQ(range.lowKey, nextKey);
      nextKey = range.highKey + 1;
      const Sample& s = *sampler_->Bank()->slot(range.sampleIndex);
      EXPECT_EQ(s.fileName.rfind(record.name + std::string("_"), 0), 0u) << s.fileName;
      // No key of the singing range is pitched more than four semitones away.
      const double root = HzToNote(s.rootFrequency);
      for (int32_t key = std::max(range.lowKey, 44); key <= std::min(range.highKey, 84); ++key)
        EXPECT_LE(std::abs(key - root), 4.0 + 1e-9) << "key " << key << " plays " << s.fileName;
    }
    EXPECT_EQ(nextKey, 128);
  }
  // Named after the syllable table's programs.
  const std::map<int, std::string> named = {{0, "a"},   {11, "shi"}, {16, "chi"}, {17, "tsu"}, {27, "fu"},  {44, "n"},
                                            {51, "ji"}, {56, "di"},  {70, "kya"}, {97, "ja"},  {102, "myo"}};
  for (const auto& [program, name] : named) EXPECT_EQ(programs.records[size_t(program)].name, name);
}

TEST_F(DemoVoice, RecordingsSoundAtTheirRootNote) {
  for (const std::string syllable : {"a", "ka", "sa", "n", "kya", "ri"}) {
    for (const int root : kDemoRoots) {
      const std::string name = syllable + "_" + std::to_string(root) + ".wav";
      const int32_t index = sampler_->Bank()->FindSample(name.c_str());
      ASSERT_GE(index, 0) << name;
      const Sample& s = *sampler_->Bank()->slot(index);
      EXPECT_NEAR(s.rootFrequency, NoteToHz(root), 1e-9) << name;
      // Before the vibrato starts, once the onset has settled.
      std::vector<double> x(s.ReadableFrames());  // the recording as values in -1..1
      for (uint32_t i = 0; i < x.size(); ++i) x[i] = s.GetValue(i, 0) / 32768.0;
      const double hz = PitchHz(x, size_t(0.2 * s.sampleRate), size_t(0.13 * s.sampleRate), s.sampleRate);
      EXPECT_NEAR(1200.0 * std::log2(hz / NoteToHz(root)), 0.0, 10.0) << name << " sounds at " << hz << " Hz";
    }
  }
}

}  // namespace
}  // namespace chantera::test
