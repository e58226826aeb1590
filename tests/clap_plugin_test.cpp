// The CLAP build as a CLAP host sees it: the built Chantera.clap is copied beside a voice
// library written here (two voices of two programs, each sample a tone of its own
// frequency, so the pitch heard tells which voice and program sang), loaded through its
// clap_entry, and driven with MIDI and parameter events inside process calls; its state
// is saved from one instance and loaded into another.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <clap/entry.h>
#include <clap/ext/note-ports.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/plugin-factory.h>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace chantera::test {
namespace {

constexpr double kRate = 44100.0;
constexpr uint32_t kBlock = 512;
// The tone of voice v, program p; every sample has its root at key 69 and is played there.
double ToneHz(int voice, int program) {
  return 440.0 + 110.0 * (2 * voice + program);
}

// Two voices of two programs each, and the plug-in file beside them.
void WriteLibraryWithPlugin(const TempDir& dir) {
  std::vector<std::pair<std::string, VoiceFolder>> voices;
  for (int v = 0; v < 2; ++v) {
    VoiceFolder voice;
    voice.folder = "v" + std::to_string(v);
    for (int p = 0; p < 2; ++p) {
      const std::string wav = "p" + std::to_string(p) + ".wav";
      voice.sampleLines.push_back(wav + "," + wav + ",69");
      voice.programLines.insert(voice.programLines.end(),
                                {"Program", "P,1.0,2,s" + std::to_string(p), "S,0,127," + wav, "End"});
      voice.files.emplace_back(wav, MakeWav(Pcm16(Sine(44100, ToneHz(v, p) / kRate))));
    }
    voices.emplace_back("Voice " + std::to_string(v), voice);
  }
  WriteVoiceLibrary(dir, voices);
  std::filesystem::copy_file(CHANTERA_CLAP_PATH, dir.path() / "Chantera.clap");
}

// Frequency from the zero crossings of the second half of a buffer (about 11 Hz steps;
// the tones lie 110 Hz apart).
double MeasuredHz(const std::vector<float>& x) {
  int crossings = 0;
  for (size_t i = x.size() / 2 + 1; i < x.size(); ++i) crossings += (x[i - 1] < 0.0f) != (x[i] < 0.0f) ? 1 : 0;
  return crossings / 2.0 / (static_cast<double>(x.size() / 2) / kRate);
}

// One block's input events: MIDI messages and parameter values, in frame order.
struct Events {
  std::vector<clap_event_midi_t> midi;
  std::vector<clap_event_param_value_t> params;
  std::vector<const clap_event_header_t*> list;

  void Midi(uint32_t frame, uint8_t s, uint8_t d1, uint8_t d2) {
    midi.push_back({{sizeof(clap_event_midi_t), frame, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI, 0}, 0, {s, d1, d2}});
  }
  void Param(clap_id id, double value) {
    clap_event_param_value_t e{};
    e.header = {sizeof e, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
    e.param_id = id;
    e.note_id = e.port_index = e.channel = e.key = -1;
    e.value = value;
    params.push_back(e);
  }
  const clap_input_events_t* Input() {
    list.clear();
    for (const auto& e : params) list.push_back(&e.header);
    for (const auto& e : midi) list.push_back(&e.header);
    input.ctx = this;
    input.size = [](const clap_input_events_t* in) {
      return static_cast<uint32_t>(static_cast<Events*>(in->ctx)->list.size());
    };
    input.get = [](const clap_input_events_t* in, uint32_t i) { return static_cast<Events*>(in->ctx)->list[i]; };
    return &input;
  }
  clap_input_events_t input{};
};

// Bank select to voice 1, through voice 0: the plug-in ignores a bank select to the voice
// selected last in the process, which an earlier test may have left at 1.
void SelectVoiceOne(Events& events) {
  for (uint8_t voice : {0, 1}) {
    events.Midi(0, 0xB0, 0, 100);
    events.Midi(0, 0xB0, 32, voice);
  }
}

class ClapPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteLibraryWithPlugin(dir_);
    const std::string path = (dir_.path() / "Chantera.clap").string();
    module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    entry_ = static_cast<const clap_plugin_entry_t*>(dlsym(module_, "clap_entry"));
    ASSERT_NE(entry_, nullptr);
    ASSERT_TRUE(entry_->init(path.c_str()));
    factory_ = static_cast<const clap_plugin_factory_t*>(entry_->get_factory(CLAP_PLUGIN_FACTORY_ID));
    ASSERT_NE(factory_, nullptr);
  }
  void TearDown() override {
    for (const clap_plugin_t* plugin : plugins_) {
      plugin->stop_processing(plugin);
      plugin->deactivate(plugin);
      plugin->destroy(plugin);
    }
    if (entry_ != nullptr) entry_->deinit();
    if (module_ != nullptr) dlclose(module_);
  }

  // A started instance, as a host makes it: create, init, activate, start processing.
  const clap_plugin_t* Start() {
    const clap_plugin_t* plugin = factory_->create_plugin(factory_, &host_, "brisol.chantera");
    EXPECT_NE(plugin, nullptr);
    EXPECT_TRUE(plugin->init(plugin));
    EXPECT_TRUE(plugin->activate(plugin, kRate, 1, kBlock));
    EXPECT_TRUE(plugin->start_processing(plugin));
    plugins_.push_back(plugin);
    return plugin;
  }

  // Renders blocks of the left channel; events go with the first block.
  std::vector<float> Render(const clap_plugin_t* plugin, Events& events, int blocks = 8) {
    std::vector<float> left(kBlock * blocks), right(kBlock);
    clap_event_transport_t transport{};
    transport.header = {sizeof transport, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_TRANSPORT, 0};
    clap_output_events_t out{nullptr, [](const clap_output_events_t*, const clap_event_header_t*) { return true; }};
    Events none;
    for (int b = 0; b < blocks; ++b) {
      float* channels[2] = {left.data() + b * kBlock, right.data()};
      clap_audio_buffer_t buffer{channels, nullptr, 2, 0, 0};
      clap_process_t process{b * kBlock, kBlock, &transport, nullptr, &buffer, 0, 1, (b == 0 ? events : none).Input(),
                             &out};
      EXPECT_EQ(plugin->process(plugin, &process), CLAP_PROCESS_CONTINUE);
    }
    return left;
  }
  std::vector<float> Note(const clap_plugin_t* plugin, Events events = {}) {
    events.Midi(kBlock / 2, 0x90, 69, 100);
    return Render(plugin, events);
  }

  TempDir dir_;
  void* module_ = nullptr;
  const clap_plugin_entry_t* entry_ = nullptr;
  const clap_plugin_factory_t* factory_ = nullptr;
  std::vector<const clap_plugin_t*> plugins_;
  clap_host_t host_{CLAP_VERSION,
                    nullptr,
                    "test",
                    "Chantera",
                    "",
                    "1",
                    [](const clap_host_t*, const char*) -> const void* { return nullptr; },
                    [](const clap_host_t*) {},
                    [](const clap_host_t*) {},
                    [](const clap_host_t*) {}};
};

TEST_F(ClapPlugin, DescribesAnInstrumentWithMidiInAndSixParameters) {
  ASSERT_EQ(factory_->get_plugin_count(factory_), 1u);
  const clap_plugin_descriptor_t* descriptor = factory_->get_plugin_descriptor(factory_, 0);
  EXPECT_STREQ(descriptor->id, "brisol.chantera");
  EXPECT_STREQ(descriptor->name, "Chantera");
  EXPECT_STREQ(descriptor->features[0], CLAP_PLUGIN_FEATURE_INSTRUMENT);

  const clap_plugin_t* plugin = Start();
  const auto* notes = static_cast<const clap_plugin_note_ports_t*>(plugin->get_extension(plugin, CLAP_EXT_NOTE_PORTS));
  ASSERT_NE(notes, nullptr);
  EXPECT_EQ(notes->count(plugin, true), 1u);
  const auto* params = static_cast<const clap_plugin_params_t*>(plugin->get_extension(plugin, CLAP_EXT_PARAMS));
  ASSERT_NE(params, nullptr);
  const char* names[] = {"Program", "Volume", "PB.Range", "Effect", "ReleaseFactor", "ReleaseLimit"};
  ASSERT_EQ(params->count(plugin), 6u);
  for (uint32_t i = 0; i < 6; ++i) {
    clap_param_info_t info{};
    ASSERT_TRUE(params->get_info(plugin, i, &info));
    EXPECT_STREQ(info.name, names[i]);
  }
  char text[64] = {};
  ASSERT_TRUE(params->value_to_text(plugin, 0, 1.0, text, sizeof text));
  EXPECT_STREQ(text, "1 s1");  // the program's name from the voice
}

TEST_F(ClapPlugin, SingsNotesAtTheirFrameAndPitchWithProgramAndBankSelect) {
  const clap_plugin_t* plugin = Start();
  std::vector<float> out = Note(plugin);
  for (uint32_t i = 0; i < kBlock / 2; ++i) ASSERT_EQ(out[i], 0.0f) << "frame " << i;
  EXPECT_NE(out[kBlock / 2 + 10], 0.0f);
  EXPECT_NEAR(MeasuredHz(out), ToneHz(0, 0), 20.0);

  Events program;
  program.Param(0, 1.0);
  EXPECT_NEAR(MeasuredHz(Note(plugin, program)), ToneHz(0, 1), 20.0);

  Events bank;
  SelectVoiceOne(bank);
  EXPECT_NEAR(MeasuredHz(Note(plugin, bank)), ToneHz(1, 1), 20.0);

  Events volume;
  volume.Param(1, 0.0);
  for (float x : Note(plugin, volume)) ASSERT_EQ(x, 0.0f);
}

TEST_F(ClapPlugin, StateCarriesVoiceProgramAndParametersToANewInstance) {
  const clap_plugin_t* first = Start();
  Events change;
  change.Param(0, 1.0);
  change.Param(1, 0.5);
  SelectVoiceOne(change);
  const std::vector<float> before = Note(first, change);

  std::string saved;
  clap_ostream_t out{&saved, [](const clap_ostream_t* s, const void* data, uint64_t size) -> int64_t {
                       static_cast<std::string*>(s->ctx)->append(static_cast<const char*>(data), size);
                       return static_cast<int64_t>(size);
                     }};
  const auto* state = static_cast<const clap_plugin_state_t*>(first->get_extension(first, CLAP_EXT_STATE));
  ASSERT_NE(state, nullptr);
  ASSERT_TRUE(state->save(first, &out));

  const clap_plugin_t* second = Start();
  size_t offset = 0;
  std::pair<std::string*, size_t*> source{&saved, &offset};
  clap_istream_t in{&source, [](const clap_istream_t* s, void* data, uint64_t size) -> int64_t {
                      auto& [text, at] = *static_cast<std::pair<std::string*, size_t*>*>(s->ctx);
                      const size_t n = std::min<size_t>(size, text->size() - *at);
                      std::memcpy(data, text->data() + *at, n);
                      *at += n;
                      return static_cast<int64_t>(n);
                    }};
  ASSERT_TRUE(state->load(second, &in));
  const std::vector<float> after = Note(second);
  EXPECT_NEAR(MeasuredHz(after), ToneHz(1, 1), 20.0);
  EXPECT_EQ(after, before);
  // The volume set after the program stays, in the state and in the engine.
  const auto* params = static_cast<const clap_plugin_params_t*>(second->get_extension(second, CLAP_EXT_PARAMS));
  double value = 0.0;
  ASSERT_TRUE(params->get_value(second, 1, &value));
  EXPECT_FLOAT_EQ(value, 0.5);
}

}  // namespace
}  // namespace chantera::test
