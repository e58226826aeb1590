#include "tools/render/command_line.h"

#include <cmath>
#include <cstdlib>

namespace chantera::render {

const char* const kRenderUsage =
    "usage: chantera-render INPUT -o OUTPUT.wav [options]\n"
    "       chantera-render INPUT|FOLDER... -o FOLDER/ [--jobs N] [--shard K/N] [options]\n"
    "       chantera-render INPUT --write-midi OUTPUT.mid | --write-phonetic OUTPUT.mid\n"
    "\n"
    "  INPUT is a MIDI file (.mid .midi .kar .smf), an UTAU project (.ust) or a MusicXML\n"
    "  score (.musicxml .xml .mxl); a folder is searched for all of them.\n"
    "\n"
    "  -o, --output PATH        audio file to write (.wav or .flac, which --format must match);\n"
    "                           with several inputs or an input folder, the folder to write\n"
    "                           them into\n"
    "  --jobs N                 songs rendered at once (default: the number of processors)\n"
    "  --shard K/N              render only the K-th of N equal shares of the songs (K from\n"
    "                           1), so that N runs, on one machine or several, split them\n"
    "  --format F               wav16 (default for .wav), wav24, float, flac (default for\n"
    "                           .flac), flac24\n"
    "  --plugin PATH            VST 2 instrument to load (default: Chantera of this build)\n"
    "  --rate HZ                sample rate (default 44100)\n"
    "  --block N                block size in frames (default 512)\n"
    "  --program N              program selected before the song starts (Chantera: 0-128)\n"
    "  --voice N                Chantera voice (bank select 100/N) before the song starts\n"
    "  --chorus                 switch Chantera's Chorus effect on (waits for its rebuild)\n"
    "  --timing live|beat       Chantera's Timing (default beat): beat sings each syllable's\n"
    "                           vowel on its note, its consonant before it; live starts each\n"
    "                           recording at its note-on. Chantera only; any plug-in's\n"
    "                           reported latency is compensated, so notes stay on their frames\n"
    "  --quality live|high      Chantera's Quality (default high): high reads the recordings\n"
    "                           through a band-limited kernel (no aliasing above the root,\n"
    "                           no dulling below), live by linear interpolation as a host\n"
    "                           playing live does. Chantera only\n"
    "  --param P=V              set parameter P (its number or name) to V, from 0 to 1,\n"
    "                           before the song starts (repeatable); Chantera: 0 Volume,\n"
    "                           1 PB.Range, 2 Effect, 3 ReleaseFactor, 4 ReleaseLimit\n"
    "  --no-lyrics              ignore the lyrics: notes play the current program\n"
    "  --no-portamento          Chantera: no glides between the notes of a lyric line (by\n"
    "                           default notes that follow without a rest glide over 80 ticks\n"
    "                           at 480 a quarter, from the note's start)\n"
    "  --vibrato off|auto       Chantera: auto (default) adds vibrato to notes longer than\n"
    "                           0.6 s, 25 cents at a period of 175 ms from a quarter of the\n"
    "                           note on; off adds none (a melisma is sung legato either way)\n"
    "  --part N                 MusicXML: the part that sings (default: the first with lyrics)\n"
    "  --score-voice N          MusicXML: the voice of the part that sings (default: 1)\n"
    "  --verse N                MusicXML: the lyric line that sings (default: 1)\n"
    "  --strict                 a lyric the instrument cannot sing fails the song (without\n"
    "                           it: a warning, and the note sings its vowel or holds on)\n"
    "  --tail SECONDS           after the last event, render until the sound falls below the\n"
    "                           threshold, at most this long (default 5; 0 stops at the end)\n"
    "  --threshold DB           tail threshold in dBFS (default -80); a render whose peak\n"
    "                           stays below it is silent, and fails\n"
    "  --gain DB                gain applied to the output (default 0); 16- and 24-bit files\n"
    "                           clip beyond full scale (the renderer says how much), float\n"
    "                           files never clip\n"
    "  --write-midi PATH        write the MIDI file (with lyric events) that sings the input;\n"
    "                           with -o, render it as well\n"
    "  --write-phonetic PATH    write a MIDI file that spells each lyric syllable with the\n"
    "                           phonetic controller protocol instead of rendering\n"
    "  -q, --quiet              no progress bar\n"
    "  -h, --help               this text\n"
    "\n"
    "Exit status: 0 every song written; 1 a song was not (each is named with why: it cannot\n"
    "be read or written, the instrument could not read its voice, the render is silent, a\n"
    "lyric cannot be sung under --strict); 2 wrong arguments, nothing rendered.\n";

namespace {

bool Number(const std::string& option, const char* text, double& value, std::string& error) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  if (end != text && *end == 0 && std::isfinite(value)) return true;
  error = option + ": not a number: " + text;
  return false;
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& error) {
  RenderOptions& o = line.render;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](const char*& text) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      text = argv[++i];
      return true;
    };
    // A number within [low, high], for options that take one.
    const auto ranged = [&](double& number, double low, double high, const char* what) {
      const char* text = nullptr;
      if (!value(text) || !Number(arg, text, number, error)) return false;
      if (number >= low && number <= high) return true;
      error = arg + " must be between " + what;
      return false;
    };
    // One of two words, for options that choose between two: true for the second.
    const auto either = [&](const char* first, const char* second, bool& isSecond) {
      const char* text = nullptr;
      if (!value(text)) return false;
      const std::string word = text;
      if (word != first && word != second) {
        error = arg + " takes " + first + " or " + second + ", not " + word;
        return false;
      }
      isSecond = word == second;
      return true;
    };
    double number = 0.0;
    const char* text = nullptr;
    if (arg == "-h" || arg == "--help") {
      line.help = true;
      return true;
    } else if (arg == "-o" || arg == "--output") {
      if (!value(text)) return false;
      line.output = text;
    } else if (arg == "--format") {
      if (!value(text)) return false;
      line.format = text;
    } else if (arg == "--plugin") {
      if (!value(text)) return false;
      line.plugin = text;
    } else if (arg == "--rate") {
      if (!ranged(o.rate, 8000, 384000, "8000 and 384000")) return false;
    } else if (arg == "--block") {
      if (!ranged(number, 1, 65536, "1 and 65536")) return false;
      o.block = static_cast<int32_t>(number);
    } else if (arg == "--program") {
      if (!ranged(number, 0, 65535, "0 and the plug-in's last program")) return false;
      o.program = static_cast<int32_t>(number);
    } else if (arg == "--voice") {
      if (!ranged(number, 0, 127, "0 and 127")) return false;
      o.voice = static_cast<int32_t>(number);
    } else if (arg == "--timing") {
      bool beat = false;
      if (!either("live", "beat", beat)) return false;
      o.timing = beat ? Timing::kBeat : Timing::kLive;
    } else if (arg == "--quality") {
      bool high = false;
      if (!either("live", "high", high)) return false;
      o.quality = high ? QualityChoice::kHigh : QualityChoice::kLive;
    } else if (arg == "--chorus") {
      o.chorus = true;
    } else if (arg == "--param") {
      if (!value(text)) return false;
      const std::string p = text;
      const size_t eq = p.find('=');
      if (eq == std::string::npos || eq == 0) {
        error = "--param expects NUMBER=VALUE or NAME=VALUE, got " + p;
        return false;
      }
      if (!Number("--param " + p.substr(0, eq), p.substr(eq + 1).c_str(), number, error)) return false;
      line.params.emplace_back(p.substr(0, eq), static_cast<float>(number));
    } else if (arg == "--no-lyrics") {
      o.lyrics = false;
    } else if (arg == "--no-portamento") {
      o.portamento = false;
    } else if (arg == "--vibrato") {
      if (!either("off", "auto", o.vibrato)) return false;
    } else if (arg == "--strict") {
      o.strict = true;
    } else if (arg == "--tail") {
      if (!ranged(o.tail, 0, 600, "0 and 600 seconds")) return false;
    } else if (arg == "--threshold") {
      if (!ranged(o.thresholdDb, -200, 0, "-200 and 0 dBFS")) return false;
    } else if (arg == "--gain") {
      if (!ranged(o.gainDb, -120, 60, "-120 and 60 dB")) return false;
    } else if (arg == "--write-phonetic") {
      if (!value(text)) return false;
      line.phoneticOut = text;
    } else if (arg == "--write-midi") {
      if (!value(text)) return false;
      line.midiOut = text;
    } else if (arg == "--part" || arg == "--verse" || arg == "--score-voice") {
      if (!ranged(number, 1, 1000, "1 and 1000")) return false;
      if (number != std::floor(number)) {
        error = arg + " takes a whole number";
        return false;
      }
      (arg == "--part" ? o.score.part : arg == "--verse" ? o.score.verse : o.score.voice) = static_cast<int>(number);
    } else if (arg == "-q" || arg == "--quiet") {
      line.quiet = true;
    } else if (arg == "--jobs" || arg == "-j") {
      if (!ranged(number, 1, 256, "1 and 256")) return false;
      line.jobs = static_cast<int>(number);
    } else if (arg == "--shard") {
      if (!value(text)) return false;
      const std::string share = text;
      const size_t slash = share.find('/');
      double k = 0, n = 0;
      if (slash == std::string::npos || !Number("--shard", share.substr(0, slash).c_str(), k, error) ||
          !Number("--shard", share.substr(slash + 1).c_str(), n, error) || n < 1 || k < 1 || k > n || n > 1e6) {
        error = "--shard expects K/N with 1 <= K <= N, got " + share;
        return false;
      }
      line.shard = static_cast<int>(k);
      line.shards = static_cast<int>(n);
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      error = "unknown option " + arg;
      return false;
    } else {
      line.inputs.push_back(arg);
    }
  }
  if (line.inputs.empty()) {
    error = "no input file";
    return false;
  }
  if (line.output.empty() && line.phoneticOut.empty() && line.midiOut.empty()) {
    error = "no output file (-o OUTPUT.wav)";
    return false;
  }
  return true;
}

}  // namespace chantera::render
