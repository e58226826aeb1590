#include "tools/render/render_song.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "params/parameters.h"
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

// The song read, and built as written: checked for its length, its lyrics judged (and
// refused under --strict) before any plug-in is loaded, so that a song refused for them
// costs no load.
bool ReadSong(const RenderOptions& options, const std::string& input, LoadedSong& read, Song& asWritten,
              SongReport& report, std::string& error) {
  LyricRule lyrics(options.strict);
  if (!LoadSong(input, options.score, lyrics, read, error)) return false;
  report.notices = read.notices;
  const MidiFile& file = read.file;
  constexpr double kLongestSong = 24 * 3600.0;
  if (file.SecondsAt(file.LastTick()) > kLongestSong) {
    error = input + ": the song lasts more than 24 hours (" + std::to_string(file.SecondsAt(file.LastTick()) / 3600.0) +
            " h); is its time base right?";
    return false;
  }
  asWritten = BuildSong(file, options.rate, options.lyrics, &lyrics);
  report.lyricProblems = lyrics.problems();
  if (lyrics.Refused()) {
    error = input + ": no file written: " + Plural(static_cast<int64_t>(lyrics.problems().size()), "lyric") +
            " the instrument cannot sing (--strict)";
    return false;
  }
  return true;
}

// What playing a song withheld from Chantera: the song's own Timing controllers.
struct Withheld {
  int64_t count = 0;
  int64_t firstFrame = 0;
};

// The song played into the writer, block by block, from its first frame to the end of its
// tail, the plug-in's first `latency` frames of output left out.
class Playback {
 public:
  Playback(const RenderOptions& options, PluginHost& host, const Song& song, int32_t latency)
      : options_(options),
        host_(host),
        messages_(song.messages),
        latency_(latency),
        songEnd_(song.endFrame + latency),
        maxTail_(static_cast<int64_t>(options.tail * options.rate)),
        threshold_(std::pow(10.0, options.thresholdDb / 20.0)),
        quietNeeded_(static_cast<int64_t>(options.rate * 0.2)) {}

  // False with the error when the writer fails.
  bool Play(AudioFileWriter& writer, ClickDetector& clicks, Progress& progress, std::string& error) {
    while (true) {
      // The song lasts to its last event; what comes on that very frame (the last
      // note-offs) sounds in the first frame of the tail, if any.
      const bool inSong = frame_ < songEnd_;
      if (!inSong && (frame_ >= songEnd_ + maxTail_ || quietFrames_ >= quietNeeded_)) break;
      // A program selection is made between two process calls, so a block ends at the
      // next one; selections come first among the messages of their frame.
      while (next_ < messages_.size() && messages_[next_].isProgram && messages_[next_].frame <= frame_)
        host_.SetProgram(messages_[next_++].program);
      int64_t end = frame_ + options_.block;
      if (inSong) end = std::min(end, songEnd_);
      end = TakeEvents(end);
      const auto frames = static_cast<int32_t>(end - frame_);
      host_.SendEvents(events_);
      host_.Process(frames);
      // What the block holds past the latency.
      const auto skipped = static_cast<int32_t>(std::clamp<int64_t>(latency_ - frame_, 0, frames));
      const int32_t kept = frames - skipped;
      const float* left = host_.Left() + skipped;
      const float* right = host_.Right() + skipped;
      clicks.Feed(left, right, static_cast<size_t>(kept));
      // A misbehaving plug-in must not poison the file: the writer writes 0 for what is
      // not a finite value.
      if (!writer.Write(left, right, kept, error)) return false;
      CountQuiet(left, right, kept);
      frame_ = end;
      progress.Show(frame_, songEnd_ + (maxTail_ > 0 ? 1 : 0));
    }
    return true;
  }

  const Withheld& withheld() const { return withheld_; }

 private:
  // The messages of the block up to end into events_; the block's end, earlier when a
  // program selection comes first.
  int64_t TakeEvents(int64_t end) {
    events_.clear();
    while (next_ < messages_.size() && messages_[next_].frame < end) {
      const TimedMessage& m = messages_[next_];
      if (m.isProgram) return m.frame;
      ++next_;
      // The Timing set before the song holds for all of it: a change would move the audio
      // against the latency compensated.
      if (host_.IsChantera() && (m.bytes[0] & 0xF0) == midi::kControlChange && m.bytes[1] == midi::kTiming) {
        if (withheld_.count++ == 0) withheld_.firstFrame = m.frame;
        continue;
      }
      events_.push_back({static_cast<int32_t>(m.frame - frame_), {m.bytes[0], m.bytes[1], m.bytes[2]}});
    }
    return end;
  }

  // The quiet frames that end the block (all of them when the whole block is quiet):
  // counted from its end back to its last loud frame, so a loud block costs one look.
  void CountQuiet(const float* left, const float* right, int32_t kept) {
    int32_t quietAtEnd = 0;
    while (quietAtEnd < kept) {
      const auto i = static_cast<size_t>(kept - 1 - quietAtEnd);
      if (!(std::max(std::fabs(left[i]), std::fabs(right[i])) < threshold_)) break;
      ++quietAtEnd;
    }
    if (kept > 0) quietFrames_ = quietAtEnd == kept ? quietFrames_ + kept : quietAtEnd;
  }

  const RenderOptions& options_;
  PluginHost& host_;
  const std::vector<TimedMessage>& messages_;
  const int32_t latency_;
  const int64_t songEnd_;  // in the plug-in's frames, as frame_
  const int64_t maxTail_;
  const double threshold_;
  const int64_t quietNeeded_;
  size_t next_ = 0;
  int64_t frame_ = 0;
  int64_t quietFrames_ = 0;
  Withheld withheld_;
  std::vector<FrameMidi> events_;
};

// The summary line of a written file: its length, its own peak (an integer file holds
// nothing beyond full scale) and the clicks heard.
std::string Summary(const std::string& output, AudioFormat format, const AudioStats& stats, const ClickDetector& clicks,
                    double rate) {
  const bool clips = format != AudioFormat::kWavFloat;
  const float peak = clips ? std::min(stats.peak, 1.0f) : stats.peak;
  const double seconds = static_cast<double>(stats.frames) / rate;
  std::string clicked = ", no clicks";
  if (clicks.clicks() != 0)
    clicked = ", " + Plural(static_cast<int64_t>(clicks.clicks()), "click") +
              Formatted(" (first at %.3f s)", static_cast<double>(clicks.firstClick()) / rate);
  return Formatted("%s: %.2f s, peak %+.1f dBFS%s%s\n", output.c_str(), seconds, 20.0 * std::log10(peak),
                   !clips && peak > 1.0f ? " (float file: kept above full scale, not clipped)" : "", clicked.c_str());
}

// The warning of samples clipped at full scale, with the gain that keeps every sample
// (rounded down to a tenth of a dB with a margin for the rounding of the multiplication).
std::string ClipWarning(const std::string& output, const AudioStats& stats, const RenderOptions& options) {
  const double keepAll = options.gainDb - std::ceil(20.0 * std::log10(stats.peak) * 10.0 + 0.5) / 10.0;
  return Formatted(
      "chantera-render: %s: %s clipped at full scale (%+.1f dBFS before clipping), the first at %.3f s "
      "(frame %lld); --gain %.1f keeps every sample\n",
      output.c_str(), Plural(stats.clipped, "sample").c_str(), 20.0 * std::log10(stats.peak),
      static_cast<double>(stats.firstClip) / options.rate, static_cast<long long>(stats.firstClip), keepAll);
}

}  // namespace

bool RenderSong(const RenderOptions& options, const std::string& input, const std::string& output, AudioFormat format,
                Progress& progress, PluginHost* loaded, std::unique_ptr<PluginHost>& keep, SongReport& report,
                std::string& error) {
  LoadedSong read;
  Song asWritten;
  if (!ReadSong(options, input, read, asWritten, report, error)) return false;
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
                        ? BuildSong(read.file, options.rate, true, nullptr, {true, options.portamento, options.vibrato})
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
  // The audio goes to the file block by block: a long song is never held in memory.
  // Integer files hold nothing beyond full scale: the writer clips such samples and counts
  // them, so that a loud song is never damaged silently. Float files keep them.
  AudioFileWriter writer;
  const auto gain = static_cast<float>(std::pow(10.0, options.gainDb / 20.0));
  if (!writer.Open(output, format, static_cast<int>(options.rate), gain, error)) return false;
  ClickDetector clicks(options.rate);
  Playback playback(options, host, song, latency);
  if (!playback.Play(writer, clicks, progress, error)) return false;
  if (const Withheld& withheld = playback.withheld(); withheld.count > 0)
    report.notices.push_back(input + Formatted(": controller %d (Chantera's Timing) withheld %s, the first at %.3f s: "
                                               "--timing sets it for the whole song",
                                               midi::kTiming, withheld.count == 1 ? "once" : "several times",
                                               static_cast<double>(withheld.firstFrame) / options.rate));
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
  const double threshold = std::pow(10.0, options.thresholdDb / 20.0);
  if (!(stats.peak >= threshold)) {
    error = input + ": no file written: the render is silent (" +
            (stats.peak > 0.0f ? Formatted("peak %.1f dBFS", 20.0 * std::log10(stats.peak)) : std::string("no sound")) +
            Formatted(", below the --threshold of %.0f dBFS)", options.thresholdDb) +
            (song.notes == 0 ? ": the song has no notes" : "");
    return false;
  }
  if (!writer.Close(error)) return false;
  report.line = Summary(output, format, stats, clicks, options.rate);
  if (stats.clipped > 0) report.warning += ClipWarning(output, stats, options);
  return true;
}

}  // namespace chantera::render
