// One song rendered to one file: the song read (a MIDI file, or a score written as the MIDI
// file that sings it) and its lyrics sung through the one
// lyric rule, a fresh instance of the plug-in started and set up as the options ask, the
// song played at its exact frames, and a file written only when the render is sound:
// the instrument read every file of the voice it sings with, the lyrics are singable
// (under --strict), and the audio is not silent.
// Thread: offline only (the renderer's main thread, a batch's worker thread, or a song's
// process of its own); one song's instance stays on the thread that made it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/render/audio_file.h"
#include "tools/render/musicxml_reader.h"
#include "tools/render/plugin_host.h"

namespace chantera::render {

// Chantera's Timing, set before the song: "live" starts each recording at its note-on,
// "beat" places each syllable's vowel on its note (the consonant before it) behind a
// latency the renderer compensates. kDefault is "beat" for Chantera and sends nothing to
// another plug-in.
enum class Timing { kDefault, kLive, kBeat };

// Chantera's Quality, set before the song: "live" reads the recordings by linear
// interpolation, "high" by the band-limited kernel. kDefault is "high" for Chantera and
// sends nothing to another plug-in.
enum class QualityChoice { kDefault, kLive, kHigh };

struct RenderOptions {
  std::string plugin;  // the plug-in's path
  double rate = 44100.0;
  int32_t block = 512;
  int32_t program = -1;  // -1: none selected
  int32_t voice = -1;    // Chantera's voice (bank select 100/N); -1: none selected
  bool chorus = false;
  bool lyrics = true;
  // How Chantera sings the lyric line (singing.h): continuations legato always, glides and
  // automatic vibrato unless --no-portamento and --vibrato off.
  bool portamento = true;
  bool vibrato = true;
  bool strict = false;  // a lyric the instrument cannot sing refuses the song
  ScoreChoices score;   // which part, voice and verse of a MusicXML score sings
  double tail = 5.0;
  double thresholdDb = -80.0;  // the end of the tail, and below it a render is silent
  double gainDb = 0.0;
  Timing timing = Timing::kDefault;
  QualityChoice quality = QualityChoice::kDefault;
  std::vector<std::pair<int32_t, float>> params;  // index, value (0 to 1)
};

// The progress bar on standard error.
class Progress {
 public:
  explicit Progress(bool enabled) : enabled_(enabled) {}
  void Show(int64_t done, int64_t total);
  void Done();

 private:
  bool enabled_;
  int last_ = -1;
};

// What a render has to tell, whether it wrote its file or not.
struct SongReport {
  std::string line;                        // the summary (standard output), when written
  std::string warning;                     // clipping, a latency changed in the song (standard error)
  std::vector<std::string> notices;        // how a score was read, one line each
  std::vector<std::string> lyricProblems;  // "<place>: warning: ...", in song order
  // The instrument said it could not read a file of the voice the song sings: which voice
  // (-1: one that a bank select inside the song chose), and the messages it routed here.
  bool instrumentFailed = false;
  int32_t voice = 0;
  std::vector<std::string> instrumentMessages;
};

// Renders input into output on a fresh instance of the plug-in: loaded, when it is one
// that was loaded and not yet started (its messages not yet taken), else one made here
// and handed back in keep (the one held there before is let go only once the new one is
// up). False with why, naming the song, when no file was written.
bool RenderSong(const RenderOptions& options, const std::string& input, const std::string& output, AudioFormat format,
                Progress& progress, PluginHost* loaded, std::unique_ptr<PluginHost>& keep, SongReport& report,
                std::string& error);

}  // namespace chantera::render
