// chantera-render's runs, once its command line is read: the checks of what the command
// line asks against the files and the plug-in, what the renderer tells of each song, and
// the render of a single song (render_batch.h renders several). Nothing here ends the
// program: each step hands back the exit status and the error, which the program says.
// Thread: the program's main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/render/command_line.h"
#include "tools/render/plugin_host.h"
#include "tools/render/plugin_requests.h"
#include "tools/render/render_song.h"

namespace chantera::render {

// How a run ends: its exit status, and what the program says of it on standard error
// ("chantera-render: <error>"); no error when the songs said their own.
struct RunStatus {
  int exitStatus = 0;  // 0 every song written, 1 a song was not, 2 wrong arguments (nothing rendered)
  std::string error;
};
// Wrong arguments: nothing is rendered.
inline RunStatus WrongArguments(std::string error) {
  return {2, std::move(error)};
}
// A failure that leaves a song unwritten.
inline RunStatus Failed(std::string error) {
  return {1, std::move(error)};
}

// The files behind the instrument's messages about a voice of the plug-in folder, one line
// each as the voice check words them ("file:line: error: ..."); none when it finds none.
// Handed in by the program, which links the voice check.
using VoiceFileLines = std::function<std::vector<std::string>(const std::string& folder, int32_t voice)>;

// What the renderer tells of its songs: each song's report, and the instrument's trouble
// with a voice once per voice, not once per song. A batch's songs are told on the main
// thread (threads), or in processes forked from this one, which see what it told.
class SongTeller {
 public:
  SongTeller(std::string plugin, VoiceFileLines voiceFiles)
      : plugin_(std::move(plugin)), voiceFiles_(std::move(voiceFiles)) {}

  // The lines of the voice check about voice, for the plug-in's folder.
  std::vector<std::string> VoiceFiles(int32_t voice) const;
  // Names the files behind the instrument's messages about a voice (-1: one a song chose):
  // the messages it routed here as they are, then files (the voice check's lines, found
  // here when none are given). Once per voice.
  void TellVoice(int32_t voice, const std::vector<std::string>& messages, std::vector<std::string> files = {});
  // Prints what a song's render had to say, and returns whether it wrote its file.
  bool Report(const std::string& input, const SongReport& report, bool ok, const std::string& error);

 private:
  std::string plugin_;
  VoiceFileLines voiceFiles_;
  std::set<int32_t> told_;  // the voices whose trouble has been told
};

// No output may be one of the inputs or the plug-in, under whatever name. False with what
// is wrong (wrong arguments).
bool CheckNotAnInput(const std::string& output, const std::vector<std::string>& inputs, const std::string& plugin,
                     std::string& error);

// Loads the plug-in once into keeper and checks the command line's requests against it. A
// single song is rendered on this instance. A batch keeps it: the voice it loaded stays in
// memory, and the songs' own instances share it; the instrument's messages about voice 0
// (and about the voice the songs select) are told here, once for all the songs. False with
// the status and the error.
bool Prepare(CommandLine& line, bool batch, SongTeller& teller, std::unique_ptr<PluginHost>& keeper, RunStatus& error);

// Renders the one input of the command line to -o, and writes the files of --write-midi
// and --write-phonetic.
RunStatus RenderOne(CommandLine& line, SongTeller& teller);

}  // namespace chantera::render
