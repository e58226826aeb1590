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
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tools/render/audio_file.h"
#include "tools/render/command_line.h"
#include "tools/render/lyrics.h"
#include "tools/render/midi_file.h"
#include "tools/render/partial_file.h"
#include "tools/render/plugin_host.h"
#include "tools/render/render_song.h"
#include "tools/render/song.h"
#include "tools/render/song_file.h"
#include "tools/render/song_processes.h"
#include "tools/render/song_threads.h"
#include "tools/render/words.h"
#include "tools/voice/check.h"

using namespace chantera::render;
namespace fs = std::filesystem;

namespace {

// Wrong arguments: nothing is rendered.
[[noreturn]] void Usage(const std::string& message) {
  std::fprintf(stderr, "chantera-render: %s\n", message.c_str());
  std::exit(2);
}

// A failure before any song could be rendered.
[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "chantera-render: %s\n", message.c_str());
  std::exit(1);
}

std::string DefaultPlugin() {
  // Beside this program in the build folder (build/Chantera/Chantera.so), or in an
  // installed layout (../lib/chantera/Chantera.so).
  const fs::path here = chantera::platform::ModuleDirectory();
  for (const auto& candidate : {here / "Chantera" / "Chantera.so", here / ".." / "lib" / "chantera" / "Chantera.so"})
    if (fs::exists(candidate)) return candidate.string();
  return (here / "Chantera" / "Chantera.so").string();
}

// The voices whose trouble has been told: once per voice, not once per song. A batch's
// songs are told on the main thread (threads), or in processes forked from this one,
// which see what it told.
std::set<int32_t>& ToldVoices() {
  static std::set<int32_t> told;
  return told;
}

// Names the files behind the instrument's messages about a voice (-1: one a song chose):
// the messages it routed here as they are, then what the voice check finds that loading
// the voice reads and cannot. Once per voice.
void TellVoice(const std::string& plugin, int32_t voice, const std::vector<std::string>& messages,
               std::vector<chantera::voice::Finding> findings = {}) {
  if (voice >= 0 && !ToldVoices().insert(voice).second) return;
  for (const std::string& message : messages) std::fprintf(stderr, "%s\n", message.c_str());
  const std::string folder = PluginFolder(plugin);
  if (findings.empty() && voice >= 0) findings = chantera::voice::VoiceLoadFindings(folder, voice);
  for (const chantera::voice::Finding& finding : findings)
    std::fprintf(stderr, "chantera-render: %s\n", chantera::voice::FormatFinding(finding).c_str());
  if (findings.empty())
    std::fprintf(stderr, "chantera-render: `chantera-voice check %s` lists the problems of every voice\n",
                 folder.c_str());
}

// Prints what a song's render had to say, and returns whether it wrote its file.
bool Report(const std::string& input, const std::string& plugin, const SongReport& report, bool ok,
            const std::string& error) {
  for (const std::string& notice : report.notices) std::fprintf(stderr, "chantera-render: %s\n", notice.c_str());
  for (const std::string& problem : report.lyricProblems)
    std::fprintf(stderr, "chantera-render: %s: %s\n", input.c_str(), problem.c_str());
  if (report.instrumentFailed) TellVoice(plugin, report.voice, report.instrumentMessages);
  if (!ok) {
    std::fprintf(stderr, "chantera-render: %s\n", error.c_str());
    return false;
  }
  std::fputs(report.line.c_str(), stdout);
  std::fflush(stdout);
  std::fputs(report.warning.c_str(), stderr);
  return true;
}

// No output may be one of the inputs, under whatever name.
void CheckNotAnInput(const std::string& output, const std::vector<std::string>& inputs, const std::string& plugin) {
  for (const std::string& input : inputs)
    if (chantera::platform::SameFile(output.c_str(), input.c_str()))
      Usage(output + " is the input " + input + " itself: writing it would lose the input");
  if (chantera::platform::SameFile(output.c_str(), plugin.c_str()))
    Usage(output + " is the plug-in " + plugin + " itself: writing it would lose the plug-in");
}

// Loads the plug-in once and checks the command line's requests against it. A single
// song is rendered on this instance. A batch keeps it: the voice it loaded stays in
// memory, and the songs' own instances share it; the instrument's messages about voice 0
// (and about the voice the songs select) are told here, once for all the songs.
std::unique_ptr<PluginHost> Prepare(CommandLine& line, bool batch) {
  auto keeper = std::make_unique<PluginHost>();
  std::string error;
  if (!keeper->Load(line.render.plugin, error)) Fail(error);
  if (!ResolveRequests(*keeper, line.params, line.render, error)) Usage(error);
  if (!batch) return keeper;
  keeper->RouteMessages();
  const PluginHost::Messages made = keeper->TakeMessages();  // of voice 0, read as it was created
  if (made.count > 0 && line.render.voice <= 0) TellVoice(line.render.plugin, 0, made.routed);
  if (line.render.voice > 0 && keeper->IsChantera()) {
    // The songs would each report the voice they select: name its files here, once.
    auto findings = chantera::voice::VoiceLoadFindings(PluginFolder(line.render.plugin), line.render.voice);
    if (!findings.empty()) TellVoice(line.render.plugin, line.render.voice, {}, std::move(findings));
  }
  return keeper;
}

int RenderOne(CommandLine& line) {
  const std::string& input = line.inputs[0];
  if (line.shard != 1) {
    std::fprintf(stderr, "chantera-render: share %d of %d holds none of the 1 song; nothing to render\n", line.shard,
                 line.shards);
    return 0;
  }
  AudioFormat format = AudioFormat::kWav16;
  std::string error;
  if (!line.output.empty()) {
    CheckNotAnInput(line.output, {input}, line.render.plugin);
    if (!AudioFormatForFile(line.format, line.output, format, error)) Usage(error);
  }
  const std::pair<const std::string&, const char*> extras[] = {{line.phoneticOut, "--write-phonetic"},
                                                               {line.midiOut, "--write-midi"}};
  for (const auto& [path, option] : extras) {
    if (path.empty()) continue;
    CheckNotAnInput(path, {input}, line.render.plugin);
    if (path == line.output || chantera::platform::SameFile(path.c_str(), line.output.c_str()))
      Usage(std::string(option) + " and -o name one file: " + path);
  }
  if (!line.phoneticOut.empty() && !line.midiOut.empty() &&
      (line.phoneticOut == line.midiOut ||
       chantera::platform::SameFile(line.phoneticOut.c_str(), line.midiOut.c_str())))
    Usage("--write-phonetic and --write-midi name one file: " + line.midiOut);
  // The plug-in is asked before anything is written, so that requests it cannot meet
  // write nothing.
  const std::unique_ptr<PluginHost> instance = line.output.empty() ? nullptr : Prepare(line, false);
  if (!line.phoneticOut.empty() || !line.midiOut.empty()) {
    LyricRule lyrics(line.render.strict);
    LoadedSong loaded;
    if (!LoadSong(input, line.render.score, lyrics, loaded, error)) Fail(error);
    // Rendering too, the render tells of the score and its lyrics.
    const std::string phonetic = line.phoneticOut.empty() ? std::string() : PhoneticMidi(loaded.file, &lyrics);
    if (line.output.empty()) {
      for (const std::string& notice : loaded.notices) std::fprintf(stderr, "chantera-render: %s\n", notice.c_str());
      for (const std::string& problem : lyrics.problems())
        std::fprintf(stderr, "chantera-render: %s: %s\n", input.c_str(), problem.c_str());
      if (lyrics.Refused()) Fail(input + ": no file written: lyrics the instrument cannot sing (--strict)");
    }
    if (!line.midiOut.empty() && !WriteWholeFile(line.midiOut, loaded.midi, error)) Fail(error);
    if (!line.phoneticOut.empty() && !WriteWholeFile(line.phoneticOut, phonetic, error)) Fail(error);
    if (line.output.empty()) return 0;
  }
  Progress progress(!line.quiet && isatty(2));
  std::unique_ptr<PluginHost> unused;
  SongReport report;
  const bool ok = RenderSong(line.render, input, line.output, format, progress, instance.get(), unused, report, error);
  return Report(input, line.render.plugin, report, ok, error) ? 0 : 1;
}

// A name that a folder is not given: an audio, MIDI or score file's.
bool LooksLikeAFile(const std::string& path) {
  std::error_code failed;
  if (fs::is_directory(path, failed) || path.back() == '/') return false;
  std::string extension = fs::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* file : {".wav", ".flac", ".mp3", ".ogg", ".opus", ".aif", ".aiff", ".m4a", ".mid", ".midi", ".ust",
                           ".musicxml", ".xml", ".mxl"})
    if (extension == file) return true;
  return false;
}

struct Job {
  std::string input, output;
};

// The songs of the inputs, in a fixed order (the inputs as given, a folder's song files
// sorted by their path inside it), each with its file in the output folder: its name, or
// its path inside the folder it was found in, with the audio format's extension.
std::vector<Job> CollectSongs(const CommandLine& line, AudioFormat format) {
  std::vector<Job> jobs;
  const auto add = [&](const fs::path& input, fs::path relative) {
    relative.replace_extension(AudioExtension(format));
    jobs.push_back({input.string(), (fs::path(line.output) / relative).string()});
  };
  std::vector<std::string> empty;
  for (const std::string& input : line.inputs) {
    std::error_code failed;
    if (!fs::is_directory(input, failed)) {
      add(input, fs::path(input).filename());
      continue;
    }
    std::vector<fs::path> found;
    for (fs::recursive_directory_iterator it(input, fs::directory_options::skip_permission_denied, failed), end;
         !failed && it != end; it.increment(failed))
      if (it->is_regular_file(failed) && SongFormatOf(it->path()) != SongFormat::kNone) found.push_back(it->path());
    if (failed) Fail(input + ": cannot read the folder (" + failed.message() + ")");
    if (found.empty()) empty.push_back(input);
    std::sort(found.begin(), found.end());
    for (const fs::path& path : found) add(path, path.lexically_relative(input));
  }
  for (const std::string& folder : empty)
    std::fprintf(stderr,
                 "chantera-render: %s: no songs (.mid, .midi, .kar, .smf, .ust, .musicxml, .xml, .mxl) in it or "
                 "its subfolders\n",
                 folder.c_str());
  if (jobs.empty()) Fail("no songs to render");
  // Two songs must not write one file.
  std::vector<std::pair<std::string, std::string>> outputs;
  outputs.reserve(jobs.size());
  for (const Job& job : jobs) outputs.emplace_back(job.output, job.input);
  std::sort(outputs.begin(), outputs.end());
  for (size_t i = 1; i < outputs.size(); ++i)
    if (outputs[i].first == outputs[i - 1].first)
      Usage(outputs[i - 1].second + " and " + outputs[i].second + " would both write " + outputs[i].first);
  return jobs;
}

// Renders the songs of this shard, --jobs at once. Returns the exit status (1 when a song
// failed; the others are still rendered).
int RenderMany(CommandLine& line) {
  if (!line.phoneticOut.empty()) Usage("--write-phonetic takes a single input file");
  if (!line.midiOut.empty()) Usage("--write-midi takes a single input file");
  if (line.output.empty()) Usage("several inputs need an output folder (-o FOLDER/)");
  if (LooksLikeAFile(line.output))
    Usage(line.output + ": several songs are written into a folder, and this names a file; give a folder (-o " +
          fs::path(line.output).replace_extension().string() + "/)");
  AudioFormat format = AudioFormat::kWav16;
  if (!line.format.empty() && !ParseAudioFormat(line.format, format))
    Usage("unknown --format " + line.format + " (wav16, wav24, float, flac or flac24)");
  const std::vector<Job> all = CollectSongs(line, format);
  // Shares by position in the fixed order (every N-th song), so that the shares are even
  // whatever the songs' names, and the same on every machine that sees the same files.
  std::vector<Job> jobs;
  for (size_t i = 0; i < all.size(); ++i)
    if (static_cast<int>(i % static_cast<size_t>(line.shards)) == line.shard - 1) jobs.push_back(all[i]);
  const std::string share = line.shards > 1 ? Formatted(" (share %d of %d)", line.shard, line.shards) : "";
  if (jobs.empty()) {
    std::fprintf(stderr, "chantera-render: share %d of %d holds none of the %s; nothing to render\n", line.shard,
                 line.shards, Plural(static_cast<int64_t>(all.size()), "song").c_str());
    return 0;
  }
  std::vector<std::string> files;
  for (const std::string& input : line.inputs)
    if (!fs::is_directory(input)) files.push_back(input);
  for (const Job& job : jobs) {
    files.push_back(job.input);
    CheckNotAnInput(job.output, files, line.render.plugin);
    files.pop_back();
  }

  // Each song is rendered on a fresh instance of its own, so that it starts from the state
  // a render of that song alone starts from. Chantera keeps its state per instance, and
  // its songs run on threads of this process; another plug-in may keep state for its
  // whole library, and each of its songs runs in a process of its own, forked from this
  // one. This process loads the plug-in once and keeps one untouched instance.
  const std::unique_ptr<PluginHost> keeper = Prepare(line, true);
  std::error_code failed;
  fs::create_directories(line.output, failed);
  if (failed) Fail(line.output + ": cannot create the folder (" + failed.message() + ")");
  const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  const size_t workers =
      std::min(jobs.size(), static_cast<size_t>(line.jobs > 0 ? line.jobs : static_cast<int>(processors)));
  struct Rendered {
    bool ok = false;
    SongReport report;
    std::string error;
  };
  std::vector<Rendered> rendered(jobs.size());
  const auto render = [&](size_t i) {
    const Job& job = jobs[i];
    Rendered& song = rendered[i];
    try {
      std::error_code made;
      fs::create_directories(fs::path(job.output).parent_path(), made);
      Progress none(false);
      std::unique_ptr<PluginHost> host;
      song.ok = RenderSong(line.render, job.input, job.output, format, none, nullptr, host, song.report, song.error);
    } catch (const std::exception& e) {
      song.ok = false;
      song.error = job.input + ": no file written (" + e.what() + ")";
    }
  };
  const auto tell = [&](size_t i) {
    Rendered& song = rendered[i];
    return Report(jobs[i].input, line.render.plugin, song.report, song.ok, song.error);
  };
  BatchOutcome outcome;
  if (keeper->IsChantera()) {
    // A file-size limit would end the whole batch at the first song that passes it: a
    // write past it fails instead, and names its song, as a full disk does.
    std::signal(SIGXFSZ, SIG_IGN);
    RunOnThreads(jobs.size(), workers, render, [&](size_t i) {
      ++(tell(i) ? outcome.succeeded : outcome.failed);
      rendered[i] = Rendered{};  // a long batch keeps no report it has told
    });
  } else {
    const auto problem = [&](size_t i, const std::string& text) {
      std::fprintf(stderr, "chantera-render: %s: %s\n", jobs[i].input.c_str(), text.c_str());
    };
    outcome = RunInChildProcesses(
        jobs.size(), workers,
        [&](size_t i) {
          render(i);
          return tell(i);
        },
        problem);
  }
  // The result, not progress: -q keeps it.
  std::fprintf(stderr, "chantera-render: %zu of %s rendered%s\n", outcome.succeeded,
               Plural(static_cast<int64_t>(jobs.size()), "song").c_str(), share.c_str());
  return outcome.succeeded == jobs.size() ? 0 : 1;
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
  return many ? RenderMany(line) : RenderOne(line);
}
