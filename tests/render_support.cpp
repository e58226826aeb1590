#include "render_support.h"

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <utility>

#include "library/sample.h"
#include "tools/render/song_source.h"

namespace chantera::test {

using namespace chantera::render;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

std::string Smf(int format, int division, const std::vector<std::string>& tracks) {
  std::string s =
      "MThd" + Bytes({0, 0, 0, 6, 0, format, 0, static_cast<int>(tracks.size()), division >> 8, division & 0xFF});
  for (const std::string& t : tracks) {
    const auto n = static_cast<uint32_t>(t.size());
    s += "MTrk" + Bytes({int(n >> 24), int((n >> 16) & 0xFF), int((n >> 8) & 0xFF), int(n & 0xFF)}) + t;
  }
  return s;
}

const std::string kEnd = Bytes({0x00, 0xFF, 0x2F, 0x00});

bool Parse(MidiFile& file, const std::string& image, std::string& error) {
  return file.Parse(reinterpret_cast<const uint8_t*>(image.data()), image.size(), error);
}

MidiFile Compile(const std::string& source) {
  std::string midi, error;
  EXPECT_TRUE(CompileSong(source, midi, error)) << error;
  MidiFile file;
  EXPECT_TRUE(Parse(file, midi, error)) << error;
  return file;
}

std::string Timeline(const Song& song) {
  std::string timeline;
  for (const TimedMessage& m : song.messages) {
    char text[40];
    if (m.isProgram)
      std::snprintf(text, sizeof text, " %lld:p%d", static_cast<long long>(m.frame), m.program);
    else if ((m.bytes[0] & 0xF0) == 0xB0)
      std::snprintf(text, sizeof text, " %lld:c%d=%d", static_cast<long long>(m.frame), m.bytes[1], m.bytes[2]);
    else
      std::snprintf(text, sizeof text, " %lld:%02X%02X", static_cast<long long>(m.frame), m.bytes[0], m.bytes[1]);
    timeline += text;
  }
  return timeline;
}

std::string Describe(const Score& score) {
  std::string out;
  for (const TempoChange& t : score.tempos)
    out += "T" + std::to_string(t.tick) + "=" + std::to_string(std::lround(60e6 / t.microsecondsPerQuarter)) + " ";
  for (const ScoreNote& n : score.notes)
    out += std::to_string(n.tick) + "+" + std::to_string(n.length) + ":" + std::to_string(n.key) +
           (n.continuation ? "~" : "") + (n.lyric.empty() ? "" : ":" + n.lyric) +
           (n.velocity != 96 ? "@" + std::to_string(n.velocity) : "") + " ";
  if (!out.empty()) out.pop_back();
  return out;
}

void ExpectRows(const std::vector<ScoreRow>& rows,
                bool (*read)(const std::string&, const std::string&, const ScoreChoices&, Score&, std::string&)) {
  for (const ScoreRow& row : rows) {
    SCOPED_TRACE(row.bytes);
    Score score;
    std::string error;
    if (read(row.bytes, "song", row.choices, score, error))
      EXPECT_EQ(Describe(score), row.expected);
    else
      EXPECT_NE(error.find(row.expected), std::string::npos) << error;
  }
}

std::vector<double> Left(const std::filesystem::path& wav) {
  Sample sample;
  std::vector<double> left;
  if (sample.LoadFromWav(wav.string().c_str()))
    for (uint32_t f = 0; f < sample.ReadableFrames(); ++f) left.push_back(sample.GetValue(f, 0));
  return left;
}

void Renderer::SetUp() {
  for (const auto& [name, hz] : {std::pair{"other", 200.0}, {"sa", 300.0}, {"ku", 400.0}, {"ra", 500.0}}) {
    tones.sampleLines.push_back(std::string(name) + ".wav," + name + ",69");
    tones.files.emplace_back(std::string(name) + ".wav", MakeWav(Pcm16(Sine(200000, hz / 44100.0))));
  }
  const std::map<int, std::string> syllables = {{10, "sa"}, {7, "ku"}, {38, "ra"}};
  for (int p = 0; p <= 38; ++p) {
    const std::string file = syllables.contains(p) ? syllables.at(p) : "other";
    tones.programLines.insert(tones.programLines.end(),
                              {"Program", "P,1.0,2,p" + std::to_string(p), "S,0,127," + file + ".wav", "End"});
  }
  WriteVoiceLibrary(dir, {{"Tones", tones}});
  std::filesystem::copy_file(CHANTERA_PLUGIN_PATH, dir.path() / "Chantera.so");
  plugin = (dir.path() / "Chantera.so").string();
}

std::string Renderer::Song(const std::string& name, const std::string& source) {
  std::string midi, error;
  EXPECT_TRUE(CompileSong(source, midi, error)) << error;
  return dir.Write(name, midi).string();
}

RunResult Renderer::Run(const std::string& arguments, const std::string& before, const std::string& tool,
                        bool outputOnly) {
  RunResult run;
  FILE* pipe =
      popen((before + " exec " + tool + " " + arguments + (outputOnly ? " 2>/dev/null" : " 2>&1")).c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Renderer::Render(const std::string& song, const std::string& out, const std::string& options) {
  const RunResult run = Run(song + " -o " + (dir.path() / out).string() + " --plugin " + plugin + " -q " + options);
  EXPECT_EQ(run.status, 0) << run.output;
  printed = run.output;
  return ReadFile(dir.path() / out);
}

}  // namespace chantera::test
