#include "tools/render/render_batch.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <thread>
#include <utility>

#include "tools/render/song_file.h"
#include "tools/render/song_processes.h"
#include "tools/render/song_threads.h"
#include "tools/render/words.h"

namespace chantera::render {

namespace fs = std::filesystem;

namespace {

// What the options of a batch must be: no single-file outputs, an output folder, and a
// known --format. False with what is wrong (wrong arguments).
bool CheckBatchOptions(const CommandLine& line, AudioFormat& format, std::string& error) {
  if (!line.phoneticOut.empty()) {
    error = "--write-phonetic takes a single input file";
  } else if (!line.midiOut.empty()) {
    error = "--write-midi takes a single input file";
  } else if (line.output.empty()) {
    error = "several inputs need an output folder (-o FOLDER/)";
  } else if (LooksLikeAFile(line.output)) {
    error = line.output + ": several songs are written into a folder, and this names a file; give a folder (-o " +
            fs::path(line.output).replace_extension().string() + "/)";
  } else if (!line.format.empty() && !ParseAudioFormat(line.format, format)) {
    error = "unknown --format " + line.format + " (wav16, wav24, float, flac or flac24)";
  } else {
    return true;
  }
  return false;
}

// No song writes over an input file given by name or its own input. False with what is
// wrong (wrong arguments).
bool CheckOutputs(const CommandLine& line, const std::vector<Job>& jobs, std::string& error) {
  std::vector<std::string> files;
  for (const std::string& input : line.inputs)
    if (!fs::is_directory(input)) files.push_back(input);
  for (const Job& job : jobs) {
    files.push_back(job.input);
    if (!CheckNotAnInput(job.output, files, line.render.plugin, error)) return false;
    files.pop_back();
  }
  return true;
}

// A song's render, until it is told.
struct Rendered {
  bool ok = false;
  SongReport report;
  std::string error;
};

// Renders one song of the batch on a fresh instance of its own.
Rendered RenderJob(const RenderOptions& options, const Job& job, AudioFormat format) {
  Rendered song;
  try {
    std::error_code made;
    fs::create_directories(fs::path(job.output).parent_path(), made);
    Progress none(false);
    std::unique_ptr<PluginHost> host;
    song.ok = RenderSong(options, job.input, job.output, format, none, nullptr, host, song.report, song.error);
  } catch (const std::exception& e) {
    song.ok = false;
    song.error = job.input + ": no file written (" + e.what() + ")";
  }
  return song;
}

// Renders the jobs, workers at once, and tells each in song order. Each song is rendered on
// a fresh instance of its own, so that it starts from the state a render of that song alone
// starts from. Chantera keeps its state per instance, and its songs run on threads of this
// process; another plug-in may keep state for its whole library, and each of its songs runs
// in a process of its own, forked from this one.
BatchOutcome RenderJobs(const RenderOptions& options, const std::vector<Job>& jobs, AudioFormat format, size_t workers,
                        bool chantera, SongTeller& teller) {
  std::vector<Rendered> rendered(jobs.size());
  const auto render = [&](size_t i) { rendered[i] = RenderJob(options, jobs[i], format); };
  const auto tell = [&](size_t i) {
    const Rendered& song = rendered[i];
    return teller.Report(jobs[i].input, song.report, song.ok, song.error);
  };
  BatchOutcome outcome;
  if (chantera) {
    // A file-size limit would end the whole batch at the first song that passes it: a
    // write past it fails instead, and names its song, as a full disk does.
    std::signal(SIGXFSZ, SIG_IGN);
    RunOnThreads(jobs.size(), workers, render, [&](size_t i) {
      ++(tell(i) ? outcome.succeeded : outcome.failed);
      rendered[i] = Rendered{};  // a long batch keeps no report it has told
    });
    return outcome;
  }
  const auto problem = [&](size_t i, const std::string& text) {
    std::fprintf(stderr, "chantera-render: %s: %s\n", jobs[i].input.c_str(), text.c_str());
  };
  return RunInChildProcesses(
      jobs.size(), workers,
      [&](size_t i) {
        render(i);
        return tell(i);
      },
      problem);
}

}  // namespace

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

bool CollectSongs(const CommandLine& line, AudioFormat format, std::vector<Job>& jobs, RunStatus& error) {
  jobs.clear();
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
    if (failed) {
      error = Failed(input + ": cannot read the folder (" + failed.message() + ")");
      return false;
    }
    if (found.empty()) empty.push_back(input);
    std::sort(found.begin(), found.end());
    for (const fs::path& path : found) add(path, path.lexically_relative(input));
  }
  for (const std::string& folder : empty)
    std::fprintf(stderr,
                 "chantera-render: %s: no songs (.mid, .midi, .kar, .smf, .ust, .musicxml, .xml, .mxl) in it or "
                 "its subfolders\n",
                 folder.c_str());
  if (jobs.empty()) {
    error = Failed("no songs to render");
    return false;
  }
  // Two songs must not write one file.
  std::vector<std::pair<std::string, std::string>> outputs;
  outputs.reserve(jobs.size());
  for (const Job& job : jobs) outputs.emplace_back(job.output, job.input);
  std::sort(outputs.begin(), outputs.end());
  for (size_t i = 1; i < outputs.size(); ++i)
    if (outputs[i].first == outputs[i - 1].first) {
      error =
          WrongArguments(outputs[i - 1].second + " and " + outputs[i].second + " would both write " + outputs[i].first);
      return false;
    }
  return true;
}

std::vector<Job> ShareOf(const std::vector<Job>& all, int shard, int shards) {
  std::vector<Job> jobs;
  for (size_t i = 0; i < all.size(); ++i)
    if (static_cast<int>(i % static_cast<size_t>(shards)) == shard - 1) jobs.push_back(all[i]);
  return jobs;
}

RunStatus RenderMany(CommandLine& line, SongTeller& teller) {
  AudioFormat format = AudioFormat::kWav16;
  std::string error;
  if (!CheckBatchOptions(line, format, error)) return WrongArguments(error);
  std::vector<Job> all;
  RunStatus refused;
  if (!CollectSongs(line, format, all, refused)) return refused;
  const std::vector<Job> jobs = ShareOf(all, line.shard, line.shards);
  if (jobs.empty()) {
    std::fprintf(stderr, "chantera-render: share %d of %d holds none of the %s; nothing to render\n", line.shard,
                 line.shards, Plural(static_cast<int64_t>(all.size()), "song").c_str());
    return {};
  }
  if (!CheckOutputs(line, jobs, error)) return WrongArguments(error);
  // This process loads the plug-in once and keeps one untouched instance.
  std::unique_ptr<PluginHost> keeper;
  if (!Prepare(line, true, teller, keeper, refused)) return refused;
  std::error_code failed;
  fs::create_directories(line.output, failed);
  if (failed) return Failed(line.output + ": cannot create the folder (" + failed.message() + ")");
  const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  const size_t workers =
      std::min(jobs.size(), static_cast<size_t>(line.jobs > 0 ? line.jobs : static_cast<int>(processors)));
  const BatchOutcome outcome = RenderJobs(line.render, jobs, format, workers, keeper->IsChantera(), teller);
  // The result, not progress: -q keeps it.
  const std::string share = line.shards > 1 ? Formatted(" (share %d of %d)", line.shard, line.shards) : "";
  std::fprintf(stderr, "chantera-render: %zu of %s rendered%s\n", outcome.succeeded,
               Plural(static_cast<int64_t>(jobs.size()), "song").c_str(), share.c_str());
  return {outcome.succeeded == jobs.size() ? 0 : 1, {}};
}

}  // namespace chantera::render
