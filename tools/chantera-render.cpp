// chantera-render: renders a Standard MIDI File, an UTAU project or a MusicXML score to
// audio through a VST 2 instrument (Chantera by default), the way a sequencer would, with
// every event at its exact frame (a score is first written as the MIDI file that sings it).
// Given several files or a folder, it renders them all, a few at once, each song in a
// process of its own forked from one that keeps the plug-in loaded, so that every file is
// the one a render of that song alone gives.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tools/render/audio_file.h"
#include "tools/render/click_detector.h"
#include "tools/render/midi_file.h"
#include "tools/render/partial_file.h"
#include "tools/render/plugin_host.h"
#include "tools/render/song.h"
#include "tools/render/song_file.h"
#include "tools/render/song_processes.h"

using namespace chantera::render;

namespace {

const char* kUsage =
    "usage: chantera-render INPUT -o OUTPUT.wav [options]\n"
    "       chantera-render INPUT|FOLDER... -o FOLDER [--jobs N] [--shard K/N] [options]\n"
    "       chantera-render INPUT --write-midi OUTPUT.mid | --write-phonetic OUTPUT.mid\n"
    "\n"
    "  INPUT is a MIDI file (.mid .midi .kar .smf), an UTAU project (.ust) or a MusicXML\n"
    "  score (.musicxml .xml .mxl); a folder is searched for all of them.\n"
    "\n"
    "  -o, --output PATH        audio file to write (.wav or .flac); with several inputs, a\n"
    "                           folder, or an input folder, the folder to write them into\n"
    "  --jobs N                 songs rendered at once (default: the number of processors)\n"
    "  --shard K/N              render only the K-th of N equal shares of the songs (K from\n"
    "                           1), so that N runs, on one machine or several, split them\n"
    "  --format F               wav16 (default), wav24, float, flac, flac24\n"
    "  --plugin PATH            VST 2 instrument to load (default: Chantera of this build)\n"
    "  --rate HZ                sample rate (default 44100)\n"
    "  --block N                block size in frames (default 512)\n"
    "  --program N              program selected before the song starts\n"
    "  --voice N                Chantera voice (bank select 100/N) before the song starts\n"
    "  --chorus                 switch Chantera's Chorus effect on (waits for its rebuild)\n"
    "  --param I=V              set parameter I to V before the song starts (repeatable)\n"
    "  --no-lyrics              ignore the lyrics: notes play the current program\n"
    "  --part N                 MusicXML: the part that sings (default: the first with lyrics)\n"
    "  --score-voice N          MusicXML: the voice of the part that sings (default: 1)\n"
    "  --verse N                MusicXML: the lyric line that sings (default: 1)\n"
    "  --tail SECONDS           after the last event, render until the sound falls below the\n"
    "                           threshold, at most this long (default 5; 0 stops at the end)\n"
    "  --threshold DB           tail threshold in dBFS (default -80)\n"
    "  --gain DB                gain applied to the output (default 0); 16- and 24-bit files\n"
    "                           clip beyond full scale (the renderer says how much), float\n"
    "                           files never clip\n"
    "  --write-midi PATH        write the MIDI file (with lyric events) that sings the input;\n"
    "                           with -o, render it as well\n"
    "  --write-phonetic PATH    write a MIDI file that spells each lyric syllable with the\n"
    "                           phonetic controller protocol instead of rendering\n"
    "  -q, --quiet              no progress bar\n";

struct Options {
  std::vector<std::string> inputs;
  std::string output, plugin, format, phoneticOut, midiOut;
  ScoreChoices score;
  int jobs = 0;  // 0: the number of processors
  int shard = 1, shards = 1;
  double rate = 44100.0;
  int32_t block = 512;
  int32_t program = -1;
  int32_t voice = -1;
  bool chorus = false;
  bool lyrics = true;
  bool quiet = false;
  double tail = 5.0;
  double thresholdDb = -80.0;
  double gainDb = 0.0;
  std::vector<std::pair<int32_t, float>> params;
};

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "chantera-render: %s\n", message.c_str());
  std::exit(1);
}

double Number(const std::string& option, const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != 0 || !std::isfinite(value)) Fail(option + ": not a number: " + text);
  return value;
}

Options ParseArguments(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Fail(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "-o" || arg == "--output") {
      o.output = value();
    } else if (arg == "--format") {
      o.format = value();
    } else if (arg == "--plugin") {
      o.plugin = value();
    } else if (arg == "--rate") {
      o.rate = Number(arg, value());
      if (o.rate < 8000 || o.rate > 384000) Fail("--rate must be between 8000 and 384000");
    } else if (arg == "--block") {
      o.block = static_cast<int32_t>(Number(arg, value()));
      if (o.block < 1 || o.block > 65536) Fail("--block must be between 1 and 65536");
    } else if (arg == "--program") {
      o.program = static_cast<int32_t>(Number(arg, value()));
    } else if (arg == "--voice") {
      o.voice = static_cast<int32_t>(Number(arg, value()));
      if (o.voice < 0 || o.voice > 127) Fail("--voice must be between 0 and 127");
    } else if (arg == "--chorus") {
      o.chorus = true;
    } else if (arg == "--param") {
      const std::string p = value();
      const size_t eq = p.find('=');
      if (eq == std::string::npos) Fail("--param expects INDEX=VALUE, got " + p);
      o.params.emplace_back(static_cast<int32_t>(Number("--param", p.substr(0, eq).c_str())),
                            static_cast<float>(Number("--param", p.substr(eq + 1).c_str())));
    } else if (arg == "--no-lyrics") {
      o.lyrics = false;
    } else if (arg == "--tail") {
      o.tail = Number(arg, value());
      if (o.tail < 0 || o.tail > 600) Fail("--tail must be between 0 and 600 seconds");
    } else if (arg == "--threshold") {
      o.thresholdDb = Number(arg, value());
    } else if (arg == "--gain") {
      o.gainDb = Number(arg, value());
      if (o.gainDb < -120 || o.gainDb > 60) Fail("--gain must be between -120 and 60 dB");
    } else if (arg == "--write-phonetic") {
      o.phoneticOut = value();
    } else if (arg == "--write-midi") {
      o.midiOut = value();
    } else if (arg == "--part" || arg == "--verse" || arg == "--score-voice") {
      const double n = Number(arg, value());
      if (n < 1 || n > 1000 || n != std::floor(n)) Fail(arg + " must be a whole number from 1 to 1000");
      (arg == "--part" ? o.score.part : arg == "--verse" ? o.score.verse : o.score.voice) = static_cast<int>(n);
    } else if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "--jobs" || arg == "-j") {
      o.jobs = static_cast<int>(Number(arg, value()));
      if (o.jobs < 1 || o.jobs > 256) Fail("--jobs must be between 1 and 256");
    } else if (arg == "--shard") {
      const std::string share = value();
      const size_t slash = share.find('/');
      if (slash == std::string::npos) Fail("--shard expects K/N, got " + share);
      o.shard = static_cast<int>(Number("--shard", share.substr(0, slash).c_str()));
      o.shards = static_cast<int>(Number("--shard", share.substr(slash + 1).c_str()));
      if (o.shards < 1 || o.shard < 1 || o.shard > o.shards) Fail("--shard K/N needs 1 <= K <= N, got " + share);
    } else if (!arg.empty() && arg[0] == '-') {
      Fail("unknown option " + arg + "\n\n" + kUsage);
    } else {
      o.inputs.push_back(arg);
    }
  }
  if (o.inputs.empty()) Fail(std::string("no input file\n\n") + kUsage);
  if (o.output.empty() && o.phoneticOut.empty() && o.midiOut.empty()) Fail("no output file (-o OUTPUT.wav)");
  return o;
}

std::string DefaultPlugin() {
  // Beside this program in the build folder (build/Chantera/Chantera.so), or in an
  // installed layout (../lib/chantera/Chantera.so).
  const std::filesystem::path here = chantera::platform::ModuleDirectory();
  for (const auto& candidate : {here / "Chantera" / "Chantera.so", here / ".." / "lib" / "chantera" / "Chantera.so"})
    if (std::filesystem::exists(candidate)) return candidate.string();
  return (here / "Chantera" / "Chantera.so").string();
}

class Progress {
 public:
  explicit Progress(bool enabled) : enabled_(enabled) {}
  void Show(int64_t done, int64_t total) {
    if (!enabled_ || total <= 0) return;
    const int percent = static_cast<int>(std::min<int64_t>(100, done * 100 / total));
    if (percent == last_) return;
    last_ = percent;
    const int filled = percent * 30 / 100;
    std::fprintf(stderr, "\rrendering [%.*s%*s] %3d%%", filled, "##############################", 30 - filled, "",
                 percent);
    std::fflush(stderr);
  }
  void Done() {
    if (enabled_ && last_ >= 0) std::fputs("\n", stderr);
  }

 private:
  bool enabled_;
  int last_ = -1;
};

// What one render printed: its summary line, and the clipping report if any.
struct Report {
  std::string line, warning;
};

std::string Formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Formatted(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Renders input into output on a fresh instance of the plug-in, which is handed back in
// keep (the one held there before is let go only once the new one is up). On failure
// returns false with the message.
bool RenderSong(const Options& options, const std::string& input, const std::string& output, AudioFormat format,
                Progress& progress, std::unique_ptr<PluginHost>& keep, Report& report, std::string& error) {
  LoadedSong loaded;
  if (!LoadSong(input, options.score, loaded, error)) return false;
  for (const std::string& notice : loaded.notices) std::fprintf(stderr, "chantera-render: %s\n", notice.c_str());
  const MidiFile& file = loaded.file;
  constexpr double kLongestSong = 24 * 3600.0;
  if (file.SecondsAt(file.LastTick()) > kLongestSong) {
    error = input + ": the song lasts more than 24 hours (" + std::to_string(file.SecondsAt(file.LastTick()) / 3600.0) +
            " h); is its time base right?";
    return false;
  }

  auto instance = std::make_unique<PluginHost>();
  PluginHost& host = *instance;
  if (!host.Load(options.plugin.empty() ? DefaultPlugin() : options.plugin, error)) return false;
  keep = std::move(instance);
  if (!host.Start(options.rate, options.block, error)) return false;
  for (const auto& [index, value] : options.params) {
    if (index < 0 || index >= host.NumParameters()) {
      error = "--param " + std::to_string(index) + ": the plug-in has " + std::to_string(host.NumParameters()) +
              " parameters";
      return false;
    }
    host.SetParameter(index, value);
  }
  if (options.chorus) {
    if (!host.IsChantera()) {
      error = "--chorus needs Chantera";
      return false;
    }
    host.SetParameter(2, 1.0f);
  }
  if (options.program >= 0) host.SetProgram(options.program);

  const Song song = BuildSong(file, options.rate, options.lyrics);
  const std::vector<TimedMessage>& messages = song.messages;
  if (options.voice >= 0) {
    // The bank select is handed over in a silent frame of its own before the song.
    host.SendEvents({{0, {0xB0, 0, 100}}, {0, {0xB0, 32, static_cast<uint8_t>(options.voice)}}});
    host.Process(1);
  }
  // The Chorus rebuild runs in the background; for the same output every time, the song
  // starts only once it is done.
  while (host.BackgroundWorkPending()) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  const int64_t maxTail = static_cast<int64_t>(options.tail * options.rate);
  const double threshold = std::pow(10.0, options.thresholdDb / 20.0);
  const int64_t quietNeeded = static_cast<int64_t>(options.rate * 0.2);
  // The audio goes to the file block by block: a long song is never held in memory.
  // Integer files hold nothing beyond full scale: the writer clips such samples and counts
  // them, so that a loud song is never damaged silently. Float files keep them.
  AudioFileWriter writer;
  const auto gain = static_cast<float>(std::pow(10.0, options.gainDb / 20.0));
  if (!writer.Open(output, format, static_cast<int>(options.rate), gain, error)) return false;
  chantera::ClickDetector clicks(options.rate);

  size_t next = 0;
  int64_t frame = 0;
  int64_t quietFrames = 0;
  std::vector<FrameMidi> events;
  while (true) {
    // The song lasts to its last event; what comes on that very frame (the last note-offs)
    // is handed over with the first frame of the tail, if any.
    const bool inSong = frame < song.endFrame;
    if (!inSong && (frame >= song.endFrame + maxTail || quietFrames >= quietNeeded)) break;
    // A program selection is made between two process calls, so a block ends at the next
    // one; selections come first among the messages of their frame.
    while (next < messages.size() && messages[next].isProgram && messages[next].frame <= frame)
      host.SetProgram(messages[next++].program);
    int64_t end = frame + options.block;
    if (inSong) end = std::min(end, song.endFrame);
    events.clear();
    while (next < messages.size() && messages[next].frame < end) {
      const TimedMessage& m = messages[next];
      if (m.isProgram) {
        end = m.frame;
        break;
      }
      events.push_back({static_cast<int32_t>(m.frame - frame), {m.bytes[0], m.bytes[1], m.bytes[2]}});
      ++next;
    }
    const auto frames = static_cast<int32_t>(end - frame);
    host.SendEvents(events);
    host.Process(frames);
    const float* left = host.Left();
    const float* right = host.Right();
    clicks.Feed(left, right, static_cast<size_t>(frames));
    // A misbehaving plug-in must not poison the file: the writer writes 0 for what is not
    // a finite value.
    if (!writer.Write(left, right, frames, error)) return false;
    // The quiet frames that end the block (all of them when the whole block is quiet):
    // counted from its end back to its last loud frame, so a loud block costs one look.
    int32_t quietAtEnd = 0;
    while (quietAtEnd < frames) {
      const auto i = static_cast<size_t>(frames - 1 - quietAtEnd);
      if (!(std::max(std::fabs(left[i]), std::fabs(right[i])) < threshold)) break;
      ++quietAtEnd;
    }
    quietFrames = quietAtEnd == frames ? quietFrames + frames : quietAtEnd;
    frame = end;
    progress.Show(frame, song.endFrame + (maxTail > 0 ? 1 : 0));
  }
  progress.Done();
  host.Stop();

  if (!writer.Close(error)) return false;
  const AudioStats& stats = writer.stats();
  const float peak = stats.peak;
  const bool clips = format != AudioFormat::kWavFloat;
  const double seconds = static_cast<double>(stats.frames) / options.rate;
  const double peakDb = 20.0 * std::log10(peak);
  std::string clicked = ", no clicks";
  if (clicks.clicks() != 0)
    clicked = Formatted(", %zu click%s (first at %.3f s)", clicks.clicks(), clicks.clicks() == 1 ? "" : "s",
                        static_cast<double>(clicks.firstClick()) / options.rate);
  if (peak > 0.0f)
    report.line =
        Formatted("%s: %.2f s, peak %+.1f dBFS%s%s\n", output.c_str(), seconds, peakDb,
                  !clips && peak > 1.0f ? " (float file: kept above full scale, not clipped)" : "", clicked.c_str());
  else
    report.line = Formatted("%s: %.2f s, silent\n", output.c_str(), seconds);
  if (stats.clipped > 0) {
    // The gain that keeps every sample, rounded down to a tenth of a dB with a margin for
    // the rounding of the multiplication.
    const double keepAll = options.gainDb - std::ceil(peakDb * 10.0 + 0.5) / 10.0;
    report.warning = Formatted(
        "chantera-render: %s: %lld samples clipped at full scale, the first at %.3f s (frame %lld); "
        "--gain %.1f keeps every sample\n",
        output.c_str(), static_cast<long long>(stats.clipped), static_cast<double>(stats.firstClip) / options.rate,
        static_cast<long long>(stats.firstClip), keepAll);
  }
  return true;
}

void Print(const Report& report) {
  std::fputs(report.line.c_str(), stdout);
  std::fflush(stdout);
  std::fputs(report.warning.c_str(), stderr);
}

struct Job {
  std::string input, output;
};

// The songs of the inputs, in a fixed order (the inputs as given, a folder's song files
// sorted by their path inside it), each with its file in outFolder: its name, or its path
// inside the folder it was found in, with the audio format's extension.
std::vector<Job> CollectSongs(const Options& options, AudioFormat format) {
  namespace fs = std::filesystem;
  const std::string extension = format == AudioFormat::kFlac16 || format == AudioFormat::kFlac24 ? ".flac" : ".wav";
  std::vector<Job> jobs;
  const auto add = [&](const fs::path& input, fs::path relative) {
    relative.replace_extension(extension);
    jobs.push_back({input.string(), (fs::path(options.output) / relative).string()});
  };
  for (const std::string& input : options.inputs) {
    std::error_code failed;
    if (fs::is_directory(input, failed)) {
      std::vector<fs::path> found;
      for (fs::recursive_directory_iterator it(input, fs::directory_options::skip_permission_denied, failed), end;
           !failed && it != end; it.increment(failed))
        if (it->is_regular_file(failed) && SongFormatOf(it->path()) != SongFormat::kNone) found.push_back(it->path());
      if (failed) Fail(input + ": cannot read the folder (" + failed.message() + ")");
      std::sort(found.begin(), found.end());
      for (const fs::path& path : found) add(path, path.lexically_relative(input));
    } else {
      add(input, fs::path(input).filename());
    }
  }
  // Two songs must not write one file.
  std::vector<std::pair<std::string, std::string>> outputs;
  outputs.reserve(jobs.size());
  for (const Job& job : jobs) outputs.emplace_back(job.output, job.input);
  std::sort(outputs.begin(), outputs.end());
  for (size_t i = 1; i < outputs.size(); ++i)
    if (outputs[i].first == outputs[i - 1].first)
      Fail(outputs[i - 1].second + " and " + outputs[i].second + " would both write " + outputs[i].first);
  return jobs;
}

// Renders the songs of this shard, --jobs at once. Returns the exit status (1 when a song
// failed; the others are still rendered).
int RenderMany(const Options& options, AudioFormat format) {
  if (!options.phoneticOut.empty()) Fail("--write-phonetic takes a single input file");
  if (!options.midiOut.empty()) Fail("--write-midi takes a single input file");
  if (options.output.empty()) Fail("several inputs need an output folder (-o FOLDER)");
  std::vector<Job> all = CollectSongs(options, format);
  // Shares by position in the fixed order (every N-th song), so that the shares are even
  // whatever the songs' names, and the same on every machine that sees the same files.
  std::vector<Job> jobs;
  for (size_t i = 0; i < all.size(); ++i)
    if (static_cast<int>(i % static_cast<size_t>(options.shards)) == options.shard - 1) jobs.push_back(all[i]);
  std::error_code failed;
  std::filesystem::create_directories(options.output, failed);
  if (failed) Fail(options.output + ": cannot create the folder (" + failed.message() + ")");

  const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  const size_t workers =
      std::min(jobs.size(), static_cast<size_t>(options.jobs > 0 ? options.jobs : static_cast<int>(processors)));

  // Each song is rendered in a process of its own, forked from this one: an instrument may
  // keep state for the whole library rather than per instance (Chantera keeps its MIDI
  // controller and phonetic spelling state so), and only a process of its own gives every
  // song the state a render of that song alone starts from. This process loads the
  // plug-in once and keeps one untouched instance, so that the voice it loaded stays in
  // memory: the song's own fresh instance shares it instead of reading the files again.
  std::unique_ptr<PluginHost> keeper = std::make_unique<PluginHost>();
  std::string error;
  if (!keeper->Load(options.plugin.empty() ? DefaultPlugin() : options.plugin, error)) Fail(error);

  const auto render = [&](size_t i) {
    const Job& job = jobs[i];
    std::error_code made;
    std::filesystem::create_directories(std::filesystem::path(job.output).parent_path(), made);
    Progress none(false);
    std::unique_ptr<PluginHost> host;
    Report report;
    std::string songError;
    const bool ok = RenderSong(options, job.input, job.output, format, none, host, report, songError);
    if (ok)
      Print(report);
    else
      std::fprintf(stderr, "chantera-render: %s\n", songError.c_str());
    return ok;
  };
  const auto problem = [&](size_t i, const std::string& text) {
    std::fprintf(stderr, "chantera-render: %s: %s\n", jobs[i].input.c_str(), text.c_str());
  };
  const BatchOutcome outcome = RunInChildProcesses(jobs.size(), workers, render, problem);
  if (!options.quiet)
    std::fprintf(stderr, "chantera-render: %zu of %zu songs rendered%s\n", outcome.succeeded, jobs.size(),
                 options.shards > 1 ? Formatted(" (share %d of %d)", options.shard, options.shards).c_str() : "");
  return outcome.succeeded == jobs.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseArguments(argc, argv);
  AudioFormat format;
  if (!ParseAudioFormat(options.format, options.output, format)) Fail("unknown --format " + options.format);
  std::error_code failed;
  const bool many = options.inputs.size() > 1 || std::filesystem::is_directory(options.inputs[0], failed) ||
                    (!options.output.empty() &&
                     (options.output.back() == '/' || std::filesystem::is_directory(options.output, failed)));
  if (many) return RenderMany(options, format);

  const std::string& input = options.inputs[0];
  std::string error;
  if (!options.phoneticOut.empty() || !options.midiOut.empty()) {
    LoadedSong loaded;
    if (!LoadSong(input, options.score, loaded, error)) Fail(error);
    for (const std::string& path : {options.midiOut, options.phoneticOut}) {
      std::error_code same;
      if (!path.empty() && std::filesystem::equivalent(path, input, same)) Fail(path + ": that is the input file");
    }
    if (!options.midiOut.empty() && !WriteWholeFile(options.midiOut, loaded.midi, error)) Fail(error);
    if (!options.phoneticOut.empty() && !WriteWholeFile(options.phoneticOut, PhoneticMidi(loaded.file), error))
      Fail(error);
    if (options.output.empty()) {
      for (const std::string& notice : loaded.notices) std::fprintf(stderr, "chantera-render: %s\n", notice.c_str());
      return 0;
    }
  }
  Progress progress(!options.quiet && isatty(2));
  std::unique_ptr<PluginHost> host;
  Report report;
  if (!RenderSong(options, input, options.output, format, progress, host, report, error)) Fail(error);
  Print(report);
  return 0;
}
