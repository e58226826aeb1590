#include "tools/render/render_run.h"

#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"
#include "tools/render/lyrics.h"
#include "tools/render/partial_file.h"
#include "tools/render/song.h"
#include "tools/render/song_file.h"

namespace chantera::render {

namespace {

// The files besides -o that a single song writes, none of them an input or -o itself, nor
// one another; and the audio format of -o. False with what is wrong (wrong arguments).
bool CheckSingleOutputs(const CommandLine& line, AudioFormat& format, std::string& error) {
  const std::string& input = line.inputs[0];
  if (!line.output.empty()) {
    if (!CheckNotAnInput(line.output, {input}, line.render.plugin, error)) return false;
    if (!AudioFormatForFile(line.format, line.output, format, error)) return false;
  }
  const std::pair<const std::string&, const char*> extras[] = {{line.phoneticOut, "--write-phonetic"},
                                                               {line.midiOut, "--write-midi"}};
  for (const auto& [path, option] : extras) {
    if (path.empty()) continue;
    if (!CheckNotAnInput(path, {input}, line.render.plugin, error)) return false;
    if (path == line.output || platform::SameFile(path.c_str(), line.output.c_str())) {
      error = std::string(option) + " and -o name one file: " + path;
      return false;
    }
  }
  if (!line.phoneticOut.empty() && !line.midiOut.empty() &&
      (line.phoneticOut == line.midiOut || platform::SameFile(line.phoneticOut.c_str(), line.midiOut.c_str()))) {
    error = "--write-phonetic and --write-midi name one file: " + line.midiOut;
    return false;
  }
  return true;
}

// Writes the files of --write-midi and --write-phonetic. Without -o, what the song's
// render would tell of the score and its lyrics is told here. False with what failed.
bool WriteSungMidi(const CommandLine& line, std::string& error) {
  const std::string& input = line.inputs[0];
  LyricRule lyrics(line.render.strict);
  LoadedSong loaded;
  if (!LoadSong(input, line.render.score, lyrics, loaded, error)) return false;
  // Rendering too, the render tells of the score and its lyrics.
  const std::string phonetic = line.phoneticOut.empty() ? std::string() : PhoneticMidi(loaded.file, &lyrics);
  if (line.output.empty()) {
    for (const std::string& notice : loaded.notices) std::fprintf(stderr, "chantera-render: %s\n", notice.c_str());
    for (const std::string& problem : lyrics.problems())
      std::fprintf(stderr, "chantera-render: %s: %s\n", input.c_str(), problem.c_str());
    if (lyrics.Refused()) {
      error = input + ": no file written: lyrics the instrument cannot sing (--strict)";
      return false;
    }
  }
  if (!line.midiOut.empty() && !WriteWholeFile(line.midiOut, loaded.midi, error)) return false;
  return line.phoneticOut.empty() || WriteWholeFile(line.phoneticOut, phonetic, error);
}

}  // namespace

std::vector<std::string> SongTeller::VoiceFiles(int32_t voice) const {
  return voiceFiles_(PluginFolder(plugin_), voice);
}

void SongTeller::TellVoice(int32_t voice, const std::vector<std::string>& messages, std::vector<std::string> files) {
  if (voice >= 0 && !told_.insert(voice).second) return;
  for (const std::string& message : messages) std::fprintf(stderr, "%s\n", message.c_str());
  if (files.empty() && voice >= 0) files = VoiceFiles(voice);
  for (const std::string& file : files) std::fprintf(stderr, "chantera-render: %s\n", file.c_str());
  if (files.empty())
    std::fprintf(stderr, "chantera-render: `chantera-voice check %s` lists the problems of every voice\n",
                 PluginFolder(plugin_).c_str());
}

bool SongTeller::Report(const std::string& input, const SongReport& report, bool ok, const std::string& error) {
  for (const std::string& notice : report.notices) std::fprintf(stderr, "chantera-render: %s\n", notice.c_str());
  for (const std::string& problem : report.lyricProblems)
    std::fprintf(stderr, "chantera-render: %s: %s\n", input.c_str(), problem.c_str());
  if (report.instrumentFailed) TellVoice(report.voice, report.instrumentMessages);
  if (!ok) {
    std::fprintf(stderr, "chantera-render: %s\n", error.c_str());
    return false;
  }
  std::fputs(report.line.c_str(), stdout);
  std::fflush(stdout);
  std::fputs(report.warning.c_str(), stderr);
  return true;
}

bool CheckNotAnInput(const std::string& output, const std::vector<std::string>& inputs, const std::string& plugin,
                     std::string& error) {
  for (const std::string& input : inputs)
    if (platform::SameFile(output.c_str(), input.c_str())) {
      error = output + " is the input " + input + " itself: writing it would lose the input";
      return false;
    }
  if (platform::SameFile(output.c_str(), plugin.c_str())) {
    error = output + " is the plug-in " + plugin + " itself: writing it would lose the plug-in";
    return false;
  }
  return true;
}

bool Prepare(CommandLine& line, bool batch, SongTeller& teller, std::unique_ptr<PluginHost>& keeper, RunStatus& error) {
  keeper = std::make_unique<PluginHost>();
  std::string problem;
  if (!keeper->Load(line.render.plugin, problem)) {
    error = Failed(problem);
    return false;
  }
  if (!ResolveRequests(*keeper, line.params, line.render, problem)) {
    error = WrongArguments(problem);
    return false;
  }
  if (!batch) return true;
  keeper->RouteMessages();
  const PluginHost::Messages made = keeper->TakeMessages();  // of voice 0, read as it was created
  if (made.count > 0 && line.render.voice <= 0) teller.TellVoice(0, made.routed);
  if (line.render.voice > 0 && keeper->IsChantera()) {
    // The songs would each report the voice they select: name its files here, once.
    std::vector<std::string> files = teller.VoiceFiles(line.render.voice);
    if (!files.empty()) teller.TellVoice(line.render.voice, {}, std::move(files));
  }
  return true;
}

RunStatus RenderOne(CommandLine& line, SongTeller& teller) {
  const std::string& input = line.inputs[0];
  if (line.shard != 1) {
    std::fprintf(stderr, "chantera-render: share %d of %d holds none of the 1 song; nothing to render\n", line.shard,
                 line.shards);
    return {};
  }
  AudioFormat format = AudioFormat::kWav16;
  std::string error;
  if (!CheckSingleOutputs(line, format, error)) return WrongArguments(error);
  // The plug-in is asked before anything is written, so that requests it cannot meet
  // write nothing.
  std::unique_ptr<PluginHost> instance;
  if (RunStatus refused; !line.output.empty() && !Prepare(line, false, teller, instance, refused)) return refused;
  if (!line.phoneticOut.empty() || !line.midiOut.empty()) {
    if (!WriteSungMidi(line, error)) return Failed(error);
    if (line.output.empty()) return {};
  }
  Progress progress(!line.quiet && isatty(2));
  std::unique_ptr<PluginHost> unused;
  SongReport report;
  const bool ok = RenderSong(line.render, input, line.output, format, progress, instance.get(), unused, report, error);
  return {teller.Report(input, report, ok, error) ? 0 : 1, {}};
}

}  // namespace chantera::render
