// chantera-render: renders a Standard MIDI File to audio through a VST 2 instrument
// (Chantera by default), the way a sequencer would, with every event at its exact frame.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tools/render/audio_file.h"
#include "tools/render/click_detector.h"
#include "tools/render/midi_file.h"
#include "tools/render/plugin_host.h"
#include "tools/render/song.h"

using namespace chantera::render;

namespace {

const char* kUsage =
    "usage: chantera-render INPUT.mid -o OUTPUT.wav [options]\n"
    "       chantera-render INPUT.mid --write-phonetic OUTPUT.mid\n"
    "\n"
    "  -o, --output PATH        audio file to write (.wav or .flac)\n"
    "  --format F               wav16 (default), wav24, float, flac, flac24\n"
    "  --plugin PATH            VST 2 instrument to load (default: Chantera of this build)\n"
    "  --rate HZ                sample rate (default 44100)\n"
    "  --block N                block size in frames (default 512)\n"
    "  --program N              program selected before the song starts\n"
    "  --voice N                Chantera voice (bank select 100/N) before the song starts\n"
    "  --chorus                 switch Chantera's Chorus effect on (waits for its rebuild)\n"
    "  --param I=V              set parameter I to V before the song starts (repeatable)\n"
    "  --no-lyrics              ignore the lyrics: notes play the current program\n"
    "  --tail SECONDS           after the last event, render until the sound falls below the\n"
    "                           threshold, at most this long (default 5; 0 stops at the end)\n"
    "  --threshold DB           tail threshold in dBFS (default -80)\n"
    "  --write-phonetic PATH    write a MIDI file that spells each lyric syllable with the\n"
    "                           phonetic controller protocol instead of rendering\n"
    "  -q, --quiet              no progress bar\n";

struct Options {
  std::string input, output, plugin, format, phoneticOut;
  double rate = 44100.0;
  int32_t block = 512;
  int32_t program = -1;
  int32_t voice = -1;
  bool chorus = false;
  bool lyrics = true;
  bool quiet = false;
  double tail = 5.0;
  double thresholdDb = -80.0;
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
    } else if (arg == "--write-phonetic") {
      o.phoneticOut = value();
    } else if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
    } else if (!arg.empty() && arg[0] == '-') {
      Fail("unknown option " + arg + "\n\n" + kUsage);
    } else if (o.input.empty()) {
      o.input = arg;
    } else {
      Fail("more than one input file: " + o.input + " and " + arg);
    }
  }
  if (o.input.empty()) Fail(std::string("no input file\n\n") + kUsage);
  if (o.output.empty() && o.phoneticOut.empty()) Fail("no output file (-o OUTPUT.wav)");
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

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseArguments(argc, argv);
  MidiFile file;
  std::string error;
  if (!file.Read(options.input, error)) Fail(error);
  constexpr double kLongestSong = 24 * 3600.0;
  if (file.SecondsAt(file.LastTick()) > kLongestSong)
    Fail(options.input + ": the song lasts more than 24 hours (" +
         std::to_string(file.SecondsAt(file.LastTick()) / 3600.0) + " h); is its time base right?");

  if (!options.phoneticOut.empty()) {
    std::ofstream out(options.phoneticOut, std::ios::binary);
    const std::string bytes = PhoneticMidi(file);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) Fail(options.phoneticOut + ": cannot write the file");
    if (options.output.empty()) return 0;
  }

  AudioFormat format;
  if (!ParseAudioFormat(options.format, options.output, format)) Fail("unknown --format " + options.format);

  PluginHost host;
  if (!host.Load(options.plugin.empty() ? DefaultPlugin() : options.plugin, error)) Fail(error);
  if (!host.Start(options.rate, options.block, error)) Fail(error);
  for (const auto& [index, value] : options.params) {
    if (index < 0 || index >= host.NumParameters())
      Fail("--param " + std::to_string(index) + ": the plug-in has " + std::to_string(host.NumParameters()) +
           " parameters");
    host.SetParameter(index, value);
  }
  if (options.chorus) {
    if (!host.IsChantera()) Fail("--chorus needs Chantera");
    host.SetParameter(2, 1.0f);
  }
  if (options.program >= 0) host.SetProgram(options.program);

  const Song song = BuildSong(file, options.rate, options.lyrics);
  const std::vector<TimedMessage>& messages = song.messages;
  std::vector<float> left(static_cast<size_t>(options.block)), right(static_cast<size_t>(options.block));
  if (options.voice >= 0) {
    // The bank select is handed over in a silent frame of its own before the song.
    host.SendEvents({{0, {0xB0, 0, 100}}, {0, {0xB0, 32, static_cast<uint8_t>(options.voice)}}});
    host.Process(left.data(), right.data(), 1);
  }
  // The Chorus rebuild runs in the background; for the same output every time, the song
  // starts only once it is done.
  while (host.BackgroundWorkPending()) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  const int64_t maxTail = static_cast<int64_t>(options.tail * options.rate);
  const double threshold = std::pow(10.0, options.thresholdDb / 20.0);
  const int64_t quietNeeded = static_cast<int64_t>(options.rate * 0.2);
  // The audio goes to the file block by block: a long song is never held in memory.
  AudioFileWriter writer;
  if (!writer.Open(options.output, format, static_cast<int>(options.rate), error)) Fail(error);
  std::vector<float> interleaved(static_cast<size_t>(options.block) * 2);
  int64_t framesWritten = 0;
  float peak = 0.0f;
  chantera::ClickDetector clicks(options.rate);
  Progress progress(!options.quiet && isatty(2));

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
    host.Process(left.data(), right.data(), frames);
    clicks.Feed(left.data(), right.data(), static_cast<size_t>(frames));
    for (int32_t i = 0; i < frames; ++i) {
      // A misbehaving plug-in must not poison the file.
      float l = left[static_cast<size_t>(i)];
      float r = right[static_cast<size_t>(i)];
      if (!std::isfinite(l)) l = 0.0f;
      if (!std::isfinite(r)) r = 0.0f;
      interleaved[2 * static_cast<size_t>(i)] = l;
      interleaved[2 * static_cast<size_t>(i) + 1] = r;
      peak = std::max(peak, std::max(std::fabs(l), std::fabs(r)));
    }
    if (!writer.Write(interleaved.data(), frames, error)) Fail(error);
    framesWritten += frames;
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

  if (!writer.Close(error)) Fail(error);
  const double seconds = static_cast<double>(framesWritten) / options.rate;
  char report[96] = ", no clicks";
  if (clicks.clicks() != 0)
    std::snprintf(report, sizeof report, ", %zu click%s (first at %.3f s)", clicks.clicks(),
                  clicks.clicks() == 1 ? "" : "s", static_cast<double>(clicks.firstClick()) / options.rate);
  if (peak > 0.0f)
    std::printf("%s: %.2f s, peak %.1f dBFS%s\n", options.output.c_str(), seconds, 20.0 * std::log10(peak), report);
  else
    std::printf("%s: %.2f s, silent\n", options.output.c_str(), seconds);
  return 0;
}
