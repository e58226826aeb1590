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

// The command line read one option at a time: the option itself and the values it takes.
// Each reading that fails says why in error.
class Arguments {
 public:
  Arguments(int argc, char** argv, std::string& error) : argc_(argc), argv_(argv), error_(error) {}

  // Moves to the next argument; false after the last.
  bool Next() {
    if (++i_ >= argc_) return false;
    arg_ = argv_[i_];
    return true;
  }
  const std::string& arg() const { return arg_; }
  std::string& error() { return error_; }

  // The option's value: the argument after it.
  bool Value(const char*& text) {
    if (i_ + 1 >= argc_) {
      error_ = arg_ + " needs a value";
      return false;
    }
    text = argv_[++i_];
    return true;
  }
  bool Text(std::string& text) {
    const char* value = nullptr;
    if (!Value(value)) return false;
    text = value;
    return true;
  }
  // A number within [low, high], for options that take one.
  bool Ranged(double& number, double low, double high, const char* what) {
    const char* text = nullptr;
    if (!Value(text) || !Number(arg_, text, number, error_)) return false;
    if (number >= low && number <= high) return true;
    error_ = arg_ + " must be between " + what;
    return false;
  }
  // A number within [low, high] into a whole-number setting (the fraction dropped).
  bool Ranged(int32_t& setting, double low, double high, const char* what) {
    double number = 0.0;
    if (!Ranged(number, low, high, what)) return false;
    setting = static_cast<int32_t>(number);
    return true;
  }
  // One of two words, for options that choose between two: true for the second.
  bool Either(const char* first, const char* second, bool& isSecond) {
    const char* text = nullptr;
    if (!Value(text)) return false;
    const std::string word = text;
    if (word != first && word != second) {
      error_ = arg_ + " takes " + first + " or " + second + ", not " + word;
      return false;
    }
    isSecond = word == second;
    return true;
  }

 private:
  int argc_;
  char** argv_;
  std::string& error_;
  int i_ = 0;
  std::string arg_;
};

// --part, --verse and --score-voice: a whole number from 1 to 1000.
bool ReadScoreChoice(Arguments& args, int& choice) {
  double number = 0.0;
  if (!args.Ranged(number, 1, 1000, "1 and 1000")) return false;
  if (number != std::floor(number)) {
    args.error() = args.arg() + " takes a whole number";
    return false;
  }
  choice = static_cast<int>(number);
  return true;
}

// --param NUMBER=VALUE or NAME=VALUE.
bool ReadParam(Arguments& args, CommandLine& line) {
  std::string p;
  if (!args.Text(p)) return false;
  const size_t eq = p.find('=');
  if (eq == std::string::npos || eq == 0) {
    args.error() = "--param expects NUMBER=VALUE or NAME=VALUE, got " + p;
    return false;
  }
  double number = 0.0;
  if (!Number("--param " + p.substr(0, eq), p.substr(eq + 1).c_str(), number, args.error())) return false;
  line.params.emplace_back(p.substr(0, eq), static_cast<float>(number));
  return true;
}

// --shard K/N.
bool ReadShard(Arguments& args, CommandLine& line) {
  std::string share;
  if (!args.Text(share)) return false;
  const size_t slash = share.find('/');
  std::string& error = args.error();
  double k = 0, n = 0;
  if (slash == std::string::npos || !Number("--shard", share.substr(0, slash).c_str(), k, error) ||
      !Number("--shard", share.substr(slash + 1).c_str(), n, error) || n < 1 || k < 1 || k > n || n > 1e6) {
    error = "--shard expects K/N with 1 <= K <= N, got " + share;
    return false;
  }
  line.shard = static_cast<int>(k);
  line.shards = static_cast<int>(n);
  return true;
}

// A switch: sets its flag, and takes no value.
bool Set(bool& flag, bool value) {
  flag = value;
  return true;
}

// An option by its names (at most two), and how it is read.
struct Option {
  const char* names[2];
  bool (*read)(Arguments& args, CommandLine& line);
};

constexpr Option kOptions[] = {
    {{"-h", "--help"}, [](Arguments&, CommandLine& line) { return Set(line.help, true); }},
    {{"-o", "--output"}, [](Arguments& args, CommandLine& line) { return args.Text(line.output); }},
    {{"--format"}, [](Arguments& args, CommandLine& line) { return args.Text(line.format); }},
    {{"--plugin"}, [](Arguments& args, CommandLine& line) { return args.Text(line.plugin); }},
    {{"--rate"},
     [](Arguments& args, CommandLine& line) { return args.Ranged(line.render.rate, 8000, 384000, "8000 and 384000"); }},
    {{"--block"},
     [](Arguments& args, CommandLine& line) { return args.Ranged(line.render.block, 1, 65536, "1 and 65536"); }},
    {{"--program"},
     [](Arguments& args, CommandLine& line) {
       return args.Ranged(line.render.program, 0, 65535, "0 and the plug-in's last program");
     }},
    {{"--voice"},
     [](Arguments& args, CommandLine& line) { return args.Ranged(line.render.voice, 0, 127, "0 and 127"); }},
    {{"--timing"},
     [](Arguments& args, CommandLine& line) {
       bool beat = false;
       if (!args.Either("live", "beat", beat)) return false;
       line.render.timing = beat ? Timing::kBeat : Timing::kLive;
       return true;
     }},
    {{"--quality"},
     [](Arguments& args, CommandLine& line) {
       bool high = false;
       if (!args.Either("live", "high", high)) return false;
       line.render.quality = high ? QualityChoice::kHigh : QualityChoice::kLive;
       return true;
     }},
    {{"--chorus"}, [](Arguments&, CommandLine& line) { return Set(line.render.chorus, true); }},
    {{"--param"}, &ReadParam},
    {{"--no-lyrics"}, [](Arguments&, CommandLine& line) { return Set(line.render.lyrics, false); }},
    {{"--no-portamento"}, [](Arguments&, CommandLine& line) { return Set(line.render.portamento, false); }},
    {{"--vibrato"}, [](Arguments& args, CommandLine& line) { return args.Either("off", "auto", line.render.vibrato); }},
    {{"--strict"}, [](Arguments&, CommandLine& line) { return Set(line.render.strict, true); }},
    {{"--tail"},
     [](Arguments& args, CommandLine& line) { return args.Ranged(line.render.tail, 0, 600, "0 and 600 seconds"); }},
    {{"--threshold"},
     [](Arguments& args, CommandLine& line) {
       return args.Ranged(line.render.thresholdDb, -200, 0, "-200 and 0 dBFS");
     }},
    {{"--gain"},
     [](Arguments& args, CommandLine& line) { return args.Ranged(line.render.gainDb, -120, 60, "-120 and 60 dB"); }},
    {{"--write-phonetic"}, [](Arguments& args, CommandLine& line) { return args.Text(line.phoneticOut); }},
    {{"--write-midi"}, [](Arguments& args, CommandLine& line) { return args.Text(line.midiOut); }},
    {{"--part"}, [](Arguments& args, CommandLine& line) { return ReadScoreChoice(args, line.render.score.part); }},
    {{"--verse"}, [](Arguments& args, CommandLine& line) { return ReadScoreChoice(args, line.render.score.verse); }},
    {{"--score-voice"},
     [](Arguments& args, CommandLine& line) { return ReadScoreChoice(args, line.render.score.voice); }},
    {{"-q", "--quiet"}, [](Arguments&, CommandLine& line) { return Set(line.quiet, true); }},
    {{"--jobs", "-j"}, [](Arguments& args, CommandLine& line) { return args.Ranged(line.jobs, 1, 256, "1 and 256"); }},
    {{"--shard"}, &ReadShard},
};

const Option* Find(const std::string& arg) {
  for (const Option& option : kOptions)
    for (const char* name : option.names)
      if (name != nullptr && arg == name) return &option;
  return nullptr;
}

// What a complete command line must have: an input and an output.
bool Complete(const CommandLine& line, std::string& error) {
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

}  // namespace

bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& error) {
  Arguments args(argc, argv, error);
  while (args.Next()) {
    const std::string& arg = args.arg();
    if (const Option* option = Find(arg)) {
      if (!option->read(args, line)) return false;
      if (line.help) return true;  // --help reads no further
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      error = "unknown option " + arg;
      return false;
    } else {
      line.inputs.push_back(arg);
    }
  }
  return Complete(line, error);
}

}  // namespace chantera::render
