// The CLAP build as a CLAP host sees it, beside a library of two voices of two programs
// whose samples each sound a tone of their own, so the pitch heard tells which one sang:
// MIDI and parameter events inside process calls, voices that load while the old one
// sings on, and state carried to another instance. The second voice lists its samples in
// another order and one more of them, so that a key map left from the first voice would
// play the wrong recording.
#include <gtest/gtest.h>

#include <clap/ext/latency.h>
#include <clap/ext/note-ports.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/clap_host.h"
#include "support/fixtures.h"

namespace chantera::test {
namespace {

constexpr double kRate = 44100.0;
constexpr uint32_t kBlock = 512;
constexpr const char* kId = "brisol.chantera";

ClapEvents BankSelect(uint8_t voice, ClapEvents events = {}) {
  return events.Midi(0, 0xB0, 0, 100).Midi(0, 0xB0, 32, voice);
}

class ClapPlugin : public ::testing::Test {
 protected:
  // Two voices of two programs each, and the plug-in file beside them.
  static std::string WriteLibraryWithPlugin(const TempDir& dir) {
    WriteTwoToneVoices(dir);
    std::filesystem::copy_file(CHANTERA_CLAP_PATH, dir.path() / "Chantera.clap");
    return (dir.path() / "Chantera.clap").string();
  }

  template <class T>
  static const T* Extension(const clap_plugin_t* plugin, const char* id) {
    return static_cast<const T*>(plugin->get_extension(plugin, id));
  }

  // Eight blocks of the left channel, with a note at key 69 from the middle of the first
  // block; the events go with the first block, before the note.
  static std::vector<float> Note(const clap_plugin_t* plugin, ClapEvents events = {}) {
    events.Midi(kBlock / 2, 0x90, 69, 100);
    std::vector<float> left(kBlock * 8), right(kBlock);
    ClapEvents none;
    for (uint32_t b = 0; b < 8; ++b)
      EXPECT_EQ(ClapModule::Process(plugin, left.data() + b * kBlock, right.data(), kBlock, b == 0 ? events : none),
                CLAP_PROCESS_CONTINUE);
    return left;
  }

  // Holds key 69 from the first block on (after the events) and renders blocks, pausing
  // after each for the voice loader, until the note sounds at hz; then releases it and
  // renders until it has faded. False when hz never comes (five seconds).
  static bool SingsAfterSwitch(const clap_plugin_t* plugin, ClapEvents events, double hz) {
    events.Midi(0, 0x90, 69, 100);
    std::vector<float> left(2 * kBlock), right(kBlock);
    ClapEvents none;
    ClapEvents* next = &events;
    const bool heard = WaitUntil([&] {
      for (uint32_t b = 0; b < 2; ++b) {
        ClapModule::Process(plugin, left.data() + b * kBlock, right.data(), kBlock, *next);
        next = &none;
      }
      return std::fabs(MeasuredHz(left) - hz) < 20.0;
    });
    ClapEvents off;
    off.Midi(0, 0x80, 69, 0);
    ClapModule::Process(plugin, left.data(), right.data(), kBlock, off);
    for (int b = 0; b < 20; ++b) ClapModule::Process(plugin, left.data(), right.data(), kBlock, none);
    return heard;
  }

  TempDir dir_;
  ClapModule module_{WriteLibraryWithPlugin(dir_)};
};

TEST_F(ClapPlugin, AnInstrumentWithNineParametersSingsNotesAtTheirFrameAndPitch) {
  const clap_plugin_factory_t* factory = module_.factory();
  ASSERT_NE(factory, nullptr);
  ASSERT_EQ(factory->get_plugin_count(factory), 1u);
  const clap_plugin_descriptor_t* descriptor = factory->get_plugin_descriptor(factory, 0);
  EXPECT_STREQ(descriptor->id, kId);
  EXPECT_STREQ(descriptor->name, "Chantera");
  EXPECT_STREQ(descriptor->features[0], CLAP_PLUGIN_FEATURE_INSTRUMENT);

  const clap_plugin_t* plugin = module_.Start(kId, kRate, kBlock);
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(Extension<clap_plugin_note_ports_t>(plugin, CLAP_EXT_NOTE_PORTS)->count(plugin, true), 1u);
  const auto* params = Extension<clap_plugin_params_t>(plugin, CLAP_EXT_PARAMS);
  const char* names[] = {"Program",      "Volume", "PB.Range", "Effect", "ReleaseFactor",
                         "ReleaseLimit", "Voice",  "Timing",   "Quality"};
  ASSERT_EQ(params->count(plugin), 9u);
  for (uint32_t i = 0; i < 9; ++i) {
    clap_param_info_t info{};
    ASSERT_TRUE(params->get_info(plugin, i, &info));
    EXPECT_STREQ(info.name, names[i]);
    EXPECT_NE(info.flags & CLAP_PARAM_IS_AUTOMATABLE, 0u) << names[i];
  }
  // Ranges a host's control can set the useful values in, each holding its default: a
  // pitch-bend range up to 24 semitones (in twelfths), release constants for releases of
  // 440 Hz notes from 5 ms to over a second (to -60 dB), ending at -80 to -40 dB. Never 0
  // for these two: a released note would never free its slot. The voices of voice.csv.
  const struct {
    clap_id id;
    double low, high;
  } reach[] = {{2, 0.0, 2.0}, {4, 1.6e-7, 7.0e-5}, {5, 1.0e-4, 1.0e-2}, {6, 0.0, 1.0}};
  for (const auto& r : reach) {
    clap_param_info_t info{};
    ASSERT_TRUE(params->get_info(plugin, r.id, &info));
    EXPECT_LE(info.min_value, r.low) << names[r.id];
    EXPECT_GE(info.max_value, static_cast<float>(r.high)) << names[r.id];
    if (r.id == 4 || r.id == 5) {
      EXPECT_GT(info.min_value, 0.0) << names[r.id];
    }
    EXPECT_GE(info.default_value, info.min_value) << names[r.id];
    EXPECT_LE(info.default_value, info.max_value) << names[r.id];
  }
  char text[64] = {};
  ASSERT_TRUE(params->value_to_text(plugin, 0, 1.0, text, sizeof text));
  EXPECT_STREQ(text, "1 s1");  // the program's name from the voice
  ASSERT_TRUE(params->value_to_text(plugin, 6, 1.0, text, sizeof text));
  EXPECT_STREQ(text, "1 Voice 1");  // the voice's display name from voice.csv

  // Notes at their frame and pitch, with program and bank select and the volume.
  const std::vector<float> out = Note(plugin);
  for (uint32_t i = 0; i < kBlock / 2; ++i) ASSERT_EQ(out[i], 0.0f) << "frame " << i;
  EXPECT_NE(out[kBlock / 2 + 10], 0.0f);
  EXPECT_NEAR(MeasuredHz(out), ToneHz(0, 0), 20.0);

  EXPECT_NEAR(MeasuredHz(Note(plugin, ClapEvents().Param(0, 1.0))), ToneHz(0, 1), 20.0);
  // A voice switch, by bank select or by the Voice parameter, loads while the old voice
  // sings on and then sings the current program of the new voice.
  EXPECT_TRUE(SingsAfterSwitch(plugin, BankSelect(1), ToneHz(1, 1)));
  double value = -1.0;
  ASSERT_TRUE(params->get_value(plugin, 6, &value));
  EXPECT_EQ(value, 1.0);
  EXPECT_TRUE(SingsAfterSwitch(plugin, ClapEvents().Param(6, 0.0), ToneHz(0, 1)));
  for (float x : Note(plugin, ClapEvents().Param(1, 0.0))) ASSERT_EQ(x, 0.0f);
}

// Timing "beat" reports the voice library's longest preutterance as the latency (here
// 100 ms of voice 1, which is not the voice that sings), "live" none.
TEST_F(ClapPlugin, TimingReportsTheLatencyTheHostCompensates) {
  dir_.Write("v1/oto.ini", "p0.wav=,0,0,0,100,20\r\np1.wav=,0,0,0,-30,0\r\n");
  const clap_plugin_t* plugin = module_.Start(kId, kRate, kBlock);
  ASSERT_NE(plugin, nullptr);
  const auto* latency = Extension<clap_plugin_latency_t>(plugin, CLAP_EXT_LATENCY);
  ASSERT_NE(latency, nullptr);
  EXPECT_EQ(latency->get(plugin), 0u);
  Note(plugin, ClapEvents().Param(7, 1.0));
  EXPECT_EQ(latency->get(plugin), 4410u);
  Note(plugin, ClapEvents().Param(7, 0.0));
  EXPECT_EQ(latency->get(plugin), 0u);
}

// A bank select and then a note, no program selected between: the note sings the new
// voice's recording of the current program, whatever index that recording has there.
TEST_F(ClapPlugin, BankSelectSingsTheCurrentProgramOfTheNewVoice) {
  for (const int program : {0, 1}) {
    const clap_plugin_t* plugin = module_.Start(kId, kRate, kBlock);
    ASSERT_NE(plugin, nullptr);
    EXPECT_NEAR(MeasuredHz(Note(plugin, ClapEvents().Param(0, program))), ToneHz(0, program), 20.0);
    EXPECT_TRUE(SingsAfterSwitch(plugin, BankSelect(1), ToneHz(1, program))) << program;
  }
}

TEST_F(ClapPlugin, StateCarriesVoiceProgramAndParametersToANewInstance) {
  const clap_plugin_t* first = module_.Start(kId, kRate, kBlock);
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(SingsAfterSwitch(first, BankSelect(1, ClapEvents().Param(0, 1.0)), ToneHz(1, 1)));
  const std::vector<float> before = Note(first, ClapEvents().Param(1, 0.5));

  std::string saved;
  const clap_ostream_t out{&saved, [](const clap_ostream_t* s, const void* data, uint64_t size) -> int64_t {
                             static_cast<std::string*>(s->ctx)->append(static_cast<const char*>(data), size);
                             return static_cast<int64_t>(size);
                           }};
  ASSERT_TRUE(Extension<clap_plugin_state_t>(first, CLAP_EXT_STATE)->save(first, &out));

  const clap_plugin_t* second = module_.Start(kId, kRate, kBlock);
  ASSERT_NE(second, nullptr);
  std::string_view rest = saved;
  const clap_istream_t in{&rest, [](const clap_istream_t* s, void* data, uint64_t size) -> int64_t {
                            auto& text = *static_cast<std::string_view*>(s->ctx);
                            const size_t n = std::min<size_t>(size, text.size());
                            std::memcpy(data, text.data(), n);
                            text.remove_prefix(n);
                            return static_cast<int64_t>(n);
                          }};
  ASSERT_TRUE(Extension<clap_plugin_state_t>(second, CLAP_EXT_STATE)->load(second, &in));
  const std::vector<float> after = Note(second);
  EXPECT_NEAR(MeasuredHz(after), ToneHz(1, 1), 20.0);
  EXPECT_EQ(after, before);
  // The volume set after the program stays, in the state and in the engine.
  double value = 0.0;
  ASSERT_TRUE(Extension<clap_plugin_params_t>(second, CLAP_EXT_PARAMS)->get_value(second, 1, &value));
  EXPECT_FLOAT_EQ(value, 0.5);

  // Two restores before the first block (a project, then a preset): the second one's
  // program, also from a state of its keys alone, as LV2 hosts restore it.
  const clap_plugin_t* third = module_.Start(kId, kRate, kBlock);
  ASSERT_NE(third, nullptr);
  rest = saved;
  ASSERT_TRUE(Extension<clap_plugin_state_t>(third, CLAP_EXT_STATE)->load(third, &in));
  std::string keysOnly;  // DPF's layout: texts ending in a zero byte, then 0xFE
  for (const char* text : {"__dpf_state_begin__", "program", "0", "voice", "1", "__dpf_state_end__"})
    keysOnly.append(text).push_back('\0');
  keysOnly.push_back('\xfe');
  rest = keysOnly;
  ASSERT_TRUE(Extension<clap_plugin_state_t>(third, CLAP_EXT_STATE)->load(third, &in));
  EXPECT_NEAR(MeasuredHz(Note(third)), ToneHz(1, 0), 20.0);
}

}  // namespace
}  // namespace chantera::test
