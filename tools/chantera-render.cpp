// chantera-render: renders a Standard MIDI File, an UTAU project or a MusicXML score to
// audio through a VST 2 instrument (Chantera by default), the way a sequencer would, with
// every event at its exact frame (a score is first written as the MIDI file that sings it).
// Given several files or a folder, it renders them all, a few at once, each song on a
// fresh instance of its own (on threads of this process for Chantera, in processes forked
// from this one for other plug-ins), so that every file is the one a render of that song
// alone gives.
//
// Exit status: 0 every song written, 1 a song was not (each named with why), 2 wrong
// arguments (nothing rendered). A render is written only when it is sound: the instrument
// read every file of the voice the song sings with, and the audio is not silent.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/render/command_line.h"
#include "tools/render/render_batch.h"
#include "tools/render/render_run.h"
#include "tools/voice/check.h"

using namespace chantera::render;
namespace fs = std::filesystem;

namespace {

std::string DefaultPlugin() {
  // Beside this program in the build folder (build/Chantera/Chantera.so), or in an
  // installed layout (../lib/chantera/Chantera.so).
  const fs::path here = chantera::platform::ModuleDirectory();
  for (const auto& candidate : {here / "Chantera" / "Chantera.so", here / ".." / "lib" / "chantera" / "Chantera.so"})
    if (fs::exists(candidate)) return candidate.string();
  return (here / "Chantera" / "Chantera.so").string();
}

// What the voice check finds that loading a voice of the folder reads and cannot, one line
// per file.
std::vector<std::string> VoiceLoadLines(const std::string& folder, int32_t voice) {
  std::vector<std::string> lines;
  for (const chantera::voice::Finding& finding : chantera::voice::VoiceLoadFindings(folder, voice))
    lines.push_back(chantera::voice::FormatFinding(finding));
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  std::string error;
  if (!ParseCommandLine(argc, argv, line, error)) {
    std::fprintf(stderr, "chantera-render: %s\n\n%s", error.c_str(), kRenderUsage);
    return 2;
  }
  if (line.help) {
    std::fputs(kRenderUsage, stdout);
    return 0;
  }
  line.render.plugin = line.plugin.empty() ? DefaultPlugin() : line.plugin;
  std::error_code failed;
  const bool many = line.inputs.size() > 1 || fs::is_directory(line.inputs[0], failed) ||
                    (!line.output.empty() && (line.output.back() == '/' || fs::is_directory(line.output, failed)));
  SongTeller teller(line.render.plugin, &VoiceLoadLines);
  const RunStatus status = many ? RenderMany(line, teller) : RenderOne(line, teller);
  if (!status.error.empty()) std::fprintf(stderr, "chantera-render: %s\n", status.error.c_str());
  return status.exitStatus;
}
