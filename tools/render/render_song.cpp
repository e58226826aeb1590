#include "tools/render/render_song.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "library/voice_list.h"
#include "params/parameters.h"
#include "platform/platform.h"
#include "tools/render/click_detector.h"
#include "tools/render/lyrics.h"
#include "tools/render/midi_file.h"
#include "tools/render/song.h"
#include "tools/render/song_file.h"
#include "tools/render/words.h"

namespace chantera::render {

void Progress::Show(int64_t done, int64_t total) {
  if (!enabled_ || total <= 0) return;
  const int percent = static_cast<int>(std::min<int64_t>(100, done * 100 / total));
  if (percent == last_) return;
  last_ = percent;
  const int filled = percent * 30 / 100;
  std::fprintf(stderr, "\rrendering [%.*s%*s] %3d%%", filled, "##############################", 30 - filled, "",
               percent);
  std::fflush(stderr);
}

void Progress::Done() {
  if (enabled_ && last_ >= 0) std::fputs("\n", stderr);
}

namespace {

// Beyond this a reported latency is taken for a fault of the plug-in, not compensated.
constexpr double kLongestLatency = 10.0;  // seconds

// The messages of a phase of the set-up added to those before it.
void Add(PluginHost::Messages& into, PluginHost::Messages more) {
  into.count += more.count;
  into.routed.insert(into.routed.end(), more.routed.begin(), more.routed.end());
}

// Starts the instance as the options ask: parameters, Chorus, voice, program. The
// instrument's messages of what concerns the song's voice go to failed: with a voice
// chosen, those of voice 0, loaded when the instance was made, do not.
bool SetUp(const RenderOptions& options, PluginHost& host, PluginHost::Messages& failed, std::string& error) {
  PluginHost::Messages voiceZero = host.TakeMessages();  // the instance's construction
  if (!host.Start(options.rate, options.block, error)) return false;
  for (const auto& [index, value] : options.params) host.SetParameter(index, value);
  if (options.chorus) host.SetParameter(kParamEffect, 1.0f);  // reloads the voice with the Chorus on
  Add(voiceZero, host.TakeMessages());
  // The bank select and Chantera's Timing and Quality are handed over in a frame of their
  // own before the song, whose audio is not kept. The instrument applies its current
  // program to the new voice (program 0 unless chosen), and takes the Timing and the
  // Quality as it processes the frame.
  std::vector<FrameMidi> setUp;
  const auto controller = [&setUp](int32_t number, int32_t value) {
    setUp.push_back({0, {midi::kControlChange, static_cast<uint8_t>(number), static_cast<uint8_t>(value)}});
  };
  if (options.voice >= 0) {
    controller(midi::kBankSelect, midi::kVoiceBank);
    controller(midi::kBankSelectLow, options.voice);
  }
  if (host.IsChantera()) {
    controller(midi::kTiming, options.timing == Timing::kLive ? 0 : 127);
    controller(midi::kQuality, options.quality == QualityChoice::kLive ? 0 : 127);
  }
  if (!setUp.empty()) {
    host.SendEvents(setUp);
    host.Process(1);
  }
  // After the switch, so that the program is the chosen voice's own.
  if (options.program >= 0) host.SetProgram(options.program);
  // The Chorus rebuild runs in the background; for the same output every time, the song
  // starts only once it is done.
  while (host.BackgroundWorkPending()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  failed = host.TakeMessages();
  if (options.voice <= 0) Add(failed, std::move(voiceZero));
  return true;
}

// Chantera reads voice.csv with a message box when it is missing; here it is only asked.
int Unshown(const char*, const char*) {
  return 1;
}

std::string ParameterList(PluginHost& host) {
  std::string list;
  for (int32_t i = 0; i < host.NumParameters(); ++i)
    list += (i > 0 ? ", " : "") + std::to_string(i) + " " + host.ParameterName(i);
  return list;
}

}  // namespace

std::string PluginFolder(const std::string& plugin) {
  const std::string folder = std::filesystem::path(plugin).parent_path().string();
  return folder.empty() ? "." : folder;
}

bool ResolveRequests(PluginHost& host, const std::vector<std::pair<std::string, float>>& params, RenderOptions& options,
                     std::string& error) {
  const auto lowered = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  options.params.clear();
  for (const auto& [named, value] : params) {
    char* end = nullptr;
    int32_t index = static_cast<int32_t>(std::strtol(named.c_str(), &end, 10));
    if (*end != 0 || end == named.c_str()) {
      index = -1;
      // VST 2 hosts see at most 8 characters of a name ("ReleaseF" of "ReleaseFactor"):
      // a longer name matches those.
      for (int32_t i = 0; i < host.NumParameters() && index < 0; ++i) {
        const std::string name = lowered(host.ParameterName(i));
        if (name == lowered(named) || (name.size() >= 8 && lowered(named).starts_with(name))) index = i;
      }
    }
    if (index < 0 || index >= host.NumParameters()) {
      error = "--param " + named + ": the plug-in has no such parameter; it has " +
              Plural(host.NumParameters(), "parameter") + ": " + ParameterList(host);
      return false;
    }
    if (!(value >= 0.0f && value <= 1.0f)) {
      error = "--param " + named + "=" + Formatted("%g", static_cast<double>(value)) + ": \"" +
              host.ParameterName(index) + "\" (parameter " + std::to_string(index) +
              ") takes values from 0 to 1, as every VST 2 parameter does";
      return false;
    }
    options.params.emplace_back(index, value);
  }
  if (options.program >= host.NumPrograms()) {
    error = "--program " + std::to_string(options.program) + ": the plug-in has " +
            Plural(host.NumPrograms(), "program") +
            (host.NumPrograms() > 0 ? " (0 to " + std::to_string(host.NumPrograms() - 1) + ")" : std::string());
    return false;
  }
  if (options.chorus && !host.IsChantera()) {
    error = "--chorus needs Chantera";
    return false;
  }
  if (options.timing != Timing::kDefault && !host.IsChantera()) {
    error = "--timing is Chantera's setting; " + (host.Name().empty() ? std::string("this plug-in") : host.Name()) +
            " has none (the renderer compensates its latency, if it reports one, without it)";
    return false;
  }
  if (options.quality != QualityChoice::kDefault && !host.IsChantera()) {
    error = "--quality is Chantera's setting; " + (host.Name().empty() ? std::string("this plug-in") : host.Name()) +
            " has none";
    return false;
  }
  if (options.voice > 0 && host.IsChantera()) {
    const std::string folder = PluginFolder(options.plugin);
    char listPath[platform::kMaxPath];
    BuildVoiceListPath(folder.c_str(), listPath);
    VoiceList voices;
    const platform::MessageSink previous = platform::SetMessageSink(&Unshown);
    const uint32_t shown = platform::MessagesShown();
    VoiceListReader(listPath).GetVoiceList(voices);
    const bool readable = platform::MessagesShown() == shown;
    platform::SetMessageSink(previous);
    if (!readable || options.voice >= voices.voiceCount) {
      error = "--voice " + std::to_string(options.voice) + ": " + listPath;
      if (!readable) {
        error += " cannot be read; the instrument then has voice 0 only";
      } else {
        error += " lists " + Plural(voices.voiceCount, "voice") + ":";
        for (int32_t v = 0; v < voices.voiceCount; ++v) {
          const std::string name = voices.voiceNames[v];
          error += (v > 0 ? ", " : " ") + std::to_string(v) + " \"" +
                   (platform::IsValidUtf8(name) ? name : platform::ShiftJisToUtf8(name)) + '"';
        }
      }
      return false;
    }
  }
  return true;
}

bool RenderSong(const RenderOptions& options, const std::string& input, const std::string& output, AudioFormat format,
                Progress& progress, PluginHost* loaded, std::unique_ptr<PluginHost>& keep, SongReport& report,
                std::string& error) {
  LyricRule lyrics(options.strict);
  LoadedSong read;
  if (!LoadSong(input, options.score, lyrics, read, error)) return false;
  report.notices = read.notices;
  const MidiFile& file = read.file;
  constexpr double kLongestSong = 24 * 3600.0;
  if (file.SecondsAt(file.LastTick()) > kLongestSong) {
    error = input + ": the song lasts more than 24 hours (" + std::to_string(file.SecondsAt(file.LastTick()) / 3600.0) +
            " h); is its time base right?";
    return false;
  }
  // The lyrics are read before the plug-in is loaded: a song refused for them costs no load.
  Song asWritten = BuildSong(file, options.rate, options.lyrics, &lyrics);
  report.lyricProblems = lyrics.problems();
  if (lyrics.Refused()) {
    error = input + ": no file written: " + Plural(static_cast<int64_t>(lyrics.problems().size()), "lyric") +
            " the instrument cannot sing (--strict)";
    return false;
  }

  if (loaded == nullptr) {
    auto instance = std::make_unique<PluginHost>();
    if (!instance->Load(options.plugin, error)) return false;
    keep = std::move(instance);
    loaded = keep.get();
  }
  PluginHost& host = *loaded;
  // Chantera sings the lyric line with its expression controllers; another instrument
  // plays the notes as written.
  const Song song = host.IsChantera() && options.lyrics
                        ? BuildSong(file, options.rate, true, nullptr, {true, options.portamento, options.vibrato})
                        : std::move(asWritten);
  host.RouteMessages();
  PluginHost::Messages failed;
  if (!SetUp(options, host, failed, error)) return false;
  const int32_t voice = std::max(options.voice, 0);
  if (failed.count > 0) {
    report.instrumentFailed = true;
    report.voice = voice;
    report.instrumentMessages = std::move(failed.routed);
    error = input + ": no file written: the instrument could not read every file of voice " + std::to_string(voice);
    return false;
  }

  // The plug-in's output lags what it is handed by its latency. As a host with delay
  // compensation aligns it, the first `latency` frames of its output are not kept and the
  // song runs that much longer, so that the file holds each note at the song's own frame.
  const int32_t latency = host.Latency();
  if (latency < 0 || latency > kLongestLatency * options.rate) {
    error = input + Formatted(
                        ": no file written: the plug-in reports a latency (initialDelay) of %d frames; a latency "
                        "the renderer can compensate lies within 0 and %.0f s (%.0f frames at %.0f Hz)",
                        latency, kLongestLatency, kLongestLatency * options.rate, options.rate);
    return false;
  }
  const int64_t songEnd = song.endFrame + latency;  // in the plug-in's frames, as frame below
  const std::vector<TimedMessage>& messages = song.messages;
  const int64_t maxTail = static_cast<int64_t>(options.tail * options.rate);
  const double threshold = std::pow(10.0, options.thresholdDb / 20.0);
  const int64_t quietNeeded = static_cast<int64_t>(options.rate * 0.2);
  // The audio goes to the file block by block: a long song is never held in memory.
  // Integer files hold nothing beyond full scale: the writer clips such samples and counts
  // them, so that a loud song is never damaged silently. Float files keep them.
  AudioFileWriter writer;
  const auto gain = static_cast<float>(std::pow(10.0, options.gainDb / 20.0));
  if (!writer.Open(output, format, static_cast<int>(options.rate), gain, error)) return false;
  ClickDetector clicks(options.rate);

  size_t next = 0;
  int64_t frame = 0;
  int64_t quietFrames = 0;
  int64_t withheld = 0, firstWithheld = 0;
  std::vector<FrameMidi> events;
  while (true) {
    // The song lasts to its last event; what comes on that very frame (the last note-offs)
    // sounds in the first frame of the tail, if any.
    const bool inSong = frame < songEnd;
    if (!inSong && (frame >= songEnd + maxTail || quietFrames >= quietNeeded)) break;
    // A program selection is made between two process calls, so a block ends at the next
    // one; selections come first among the messages of their frame.
    while (next < messages.size() && messages[next].isProgram && messages[next].frame <= frame)
      host.SetProgram(messages[next++].program);
    int64_t end = frame + options.block;
    if (inSong) end = std::min(end, songEnd);
    events.clear();
    while (next < messages.size() && messages[next].frame < end) {
      const TimedMessage& m = messages[next];
      if (m.isProgram) {
        end = m.frame;
        break;
      }
      ++next;
      // The Timing set before the song holds for all of it: a change would move the audio
      // against the latency compensated above.
      if (host.IsChantera() && (m.bytes[0] & 0xF0) == midi::kControlChange && m.bytes[1] == midi::kTiming) {
        if (withheld++ == 0) firstWithheld = m.frame;
        continue;
      }
      events.push_back({static_cast<int32_t>(m.frame - frame), {m.bytes[0], m.bytes[1], m.bytes[2]}});
    }
    const auto frames = static_cast<int32_t>(end - frame);
    host.SendEvents(events);
    host.Process(frames);
    // What the block holds past the latency.
    const auto skipped = static_cast<int32_t>(std::clamp<int64_t>(latency - frame, 0, frames));
    const int32_t kept = frames - skipped;
    const float* left = host.Left() + skipped;
    const float* right = host.Right() + skipped;
    clicks.Feed(left, right, static_cast<size_t>(kept));
    // A misbehaving plug-in must not poison the file: the writer writes 0 for what is not
    // a finite value.
    if (!writer.Write(left, right, kept, error)) return false;
    // The quiet frames that end the block (all of them when the whole block is quiet):
    // counted from its end back to its last loud frame, so a loud block costs one look.
    int32_t quietAtEnd = 0;
    while (quietAtEnd < kept) {
      const auto i = static_cast<size_t>(kept - 1 - quietAtEnd);
      if (!(std::max(std::fabs(left[i]), std::fabs(right[i])) < threshold)) break;
      ++quietAtEnd;
    }
    if (kept > 0) quietFrames = quietAtEnd == kept ? quietFrames + kept : quietAtEnd;
    frame = end;
    progress.Show(frame, songEnd + (maxTail > 0 ? 1 : 0));
  }
  if (withheld > 0)
    report.notices.push_back(input + Formatted(": controller %d (Chantera's Timing) withheld %s, the first at %.3f s: "
                                               "--timing sets it for the whole song",
                                               midi::kTiming, withheld == 1 ? "once" : "several times",
                                               static_cast<double>(firstWithheld) / options.rate));
  if (host.Latency() != latency)
    report.warning = Formatted(
        "chantera-render: %s: the plug-in changed its latency during the song, from %d to %d frames; the file is "
        "aligned for %d\n",
        output.c_str(), latency, host.Latency(), latency);
  progress.Done();
  host.Stop();

  // A bank select inside the song may have chosen a voice the instrument could not read.
  PluginHost::Messages during = host.TakeMessages();
  if (during.count > 0) {
    report.instrumentFailed = true;
    report.voice = -1;
    report.instrumentMessages = std::move(during.routed);
    error = input + ": no file written: the instrument could not read every file of a voice the song selects";
    return false;  // the writer removes what it wrote
  }
  // Silent means below the threshold that ends the tail: what the renderer counts as
  // silence after the song counts as silence for the whole of it. The gain is applied.
  const AudioStats& stats = writer.stats();
  if (!(stats.peak >= threshold)) {
    error = input + ": no file written: the render is silent (" +
            (stats.peak > 0.0f ? Formatted("peak %.1f dBFS", 20.0 * std::log10(stats.peak)) : std::string("no sound")) +
            Formatted(", below the --threshold of %.0f dBFS)", options.thresholdDb) +
            (song.notes == 0 ? ": the song has no notes" : "");
    return false;
  }
  if (!writer.Close(error)) return false;

  // The file's own peak: an integer file holds nothing beyond full scale.
  const bool clips = format != AudioFormat::kWavFloat;
  const float peak = clips ? std::min(stats.peak, 1.0f) : stats.peak;
  const double seconds = static_cast<double>(stats.frames) / options.rate;
  std::string clicked = ", no clicks";
  if (clicks.clicks() != 0)
    clicked = ", " + Plural(static_cast<int64_t>(clicks.clicks()), "click") +
              Formatted(" (first at %.3f s)", static_cast<double>(clicks.firstClick()) / options.rate);
  report.line =
      Formatted("%s: %.2f s, peak %+.1f dBFS%s%s\n", output.c_str(), seconds, 20.0 * std::log10(peak),
                !clips && peak > 1.0f ? " (float file: kept above full scale, not clipped)" : "", clicked.c_str());
  if (stats.clipped > 0) {
    // The gain that keeps every sample, rounded down to a tenth of a dB with a margin for
    // the rounding of the multiplication.
    const double keepAll = options.gainDb - std::ceil(20.0 * std::log10(stats.peak) * 10.0 + 0.5) / 10.0;
    report.warning += Formatted(
        "chantera-render: %s: %s clipped at full scale (%+.1f dBFS before clipping), the first at %.3f s "
        "(frame %lld); --gain %.1f keeps every sample\n",
        output.c_str(), Plural(stats.clipped, "sample").c_str(), 20.0 * std::log10(stats.peak),
        static_cast<double>(stats.firstClip) / options.rate, static_cast<long long>(stats.firstClip), keepAll);
  }
  return true;
}

}  // namespace chantera::render
