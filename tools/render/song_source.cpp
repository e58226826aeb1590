#include "tools/render/song_source.h"

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "platform/platform.h"
#include "tools/render/midi_file.h"
#include "tools/render/midi_writer.h"
#include "tools/render/song.h"

namespace chantera::render {

namespace {

constexpr uint16_t kTicksPerQuarter = 480;

bool ParsePitch(const std::string& text, int& note) {
  static const int kSteps[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
  if (text.size() < 2) return false;
  const char letter = static_cast<char>(text[0] & ~0x20);
  if (letter < 'A' || letter > 'G') return false;
  int semitone = kSteps[letter - 'A'];
  size_t i = 1;
  while (i < text.size() && (text[i] == '#' || text[i] == 'b')) semitone += text[i++] == '#' ? 1 : -1;
  if (i >= text.size()) return false;
  char* end = nullptr;
  const long octave = std::strtol(text.c_str() + i, &end, 10);
  if (*end != 0 || octave < -1 || octave > 9) return false;
  note = static_cast<int>((octave + 1) * 12 + semitone);
  return note >= 0 && note <= 127;
}

// A length in beats: a decimal number ("1", "0.5") or a fraction ("1/2", "3/4").
bool ParseBeats(const std::string& text, double& beats) {
  const size_t slash = text.find('/');
  const auto number = [](const std::string& part, double& value) {
    char* end = nullptr;
    value = std::strtod(part.c_str(), &end);
    return !part.empty() && end == part.c_str() + part.size() && std::isfinite(value);
  };
  if (slash == std::string::npos) return number(text, beats);
  double over = 0.0, under = 0.0;
  if (!number(text.substr(0, slash), over) || !number(text.substr(slash + 1), under) || under <= 0.0) return false;
  beats = over / under;
  return true;
}

// The source read line by line into the MIDI file: the directives set what the notes after
// them take, each note and rest moves the song on by its length.
class SongCompiler {
 public:
  SongCompiler(std::string& error, LyricRule* rule) : error_(error), rule_(rule) {}

  // One line of the source. False with the error, which names the line.
  bool Line(std::string line) {
    ++lineNumber_;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // '#' starts a comment at the start of the line or after a blank; elsewhere it is a
    // sharp ("C#4").
    for (size_t hash = line.find('#'); hash != std::string::npos; hash = line.find('#', hash + 1))
      if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t') {
        line.erase(hash);
        break;
      }
    std::istringstream words(line);
    std::string first;
    if (!(words >> first)) return true;
    for (const auto& [name, read] : kDirectives)
      if (first == name) return (this->*read)(words);
    return Note(first, words);
  }

  // The MIDI file of the lines read. False with the error when it has no notes.
  bool Finish(std::string& midi) {
    if (!anyNote_) {
      error_ = "the song has no notes";
      return false;
    }
    midi = out_.Finish(kTicksPerQuarter);
    if (!phonetic_) return true;
    MidiFile file;
    if (!file.Parse(reinterpret_cast<const uint8_t*>(midi.data()), midi.size(), error_)) return false;
    midi = PhoneticMidi(file);
    return true;
  }

 private:
  using Directive = bool (SongCompiler::*)(std::istringstream& words);
  static const std::pair<const char*, Directive> kDirectives[5];

  bool Fail(const std::string& what) {
    error_ = "line " + std::to_string(lineNumber_) + ": " + what;
    return false;
  }
  // What is left of the line once its words are read must be nothing.
  bool NothingMore(std::istringstream& words, const std::string& after) {
    std::string extra;
    if (!(words >> extra)) return true;
    return Fail("\"" + extra + "\" after " + after + ": nothing may follow it" +
                (after.starts_with("the syllable") ? " (a word written as one, such as \"kaki\", sings on this note "
                                                     "and the next)"
                                                   : ""));
  }

  bool Title(std::istringstream& words) {
    std::string rest;
    std::getline(words >> std::ws, rest);
    out_.Meta(tick_, kMetaTrackName, rest);
    return true;
  }
  bool Tempo(std::istringstream& words) {
    double bpm = 0;
    if (!(words >> bpm) || bpm < 10 || bpm > 400) return Fail("tempo needs quarter notes per minute (10..400)");
    if (!NothingMore(words, "the tempo")) return false;
    out_.Tempo(tick_, static_cast<uint32_t>(std::lround(60e6 / bpm)));
    return true;
  }
  bool Velocity(std::istringstream& words) {
    if (!(words >> velocity_) || velocity_ < 1 || velocity_ > 127) return Fail("velocity must be 1..127");
    return NothingMore(words, "the velocity");
  }
  bool Mode(std::istringstream& words) {
    std::string mode;
    words >> mode;
    if (mode != "lyrics" && mode != "phonetic") return Fail("mode is lyrics or phonetic");
    if (!NothingMore(words, "the mode")) return false;
    phonetic_ = mode == "phonetic";
    return true;
  }
  bool Encoding(std::istringstream& words) {
    std::string encoding;
    words >> encoding;
    if (encoding != "utf-8" && encoding != "shift-jis") return Fail("encoding is utf-8 or shift-jis");
    if (!NothingMore(words, "the encoding")) return false;
    shiftJis_ = encoding == "shift-jis";
    return true;
  }

  // A note (its pitch, its length and the syllable it sings) or a rest ("r" and its length).
  bool Note(const std::string& first, std::istringstream& words) {
    int note = 0;
    if (first != "r" && !ParsePitch(first, note))
      return Fail("\"" + first +
                  "\" is neither a pitch (such as C4, F#3, Bb5), a rest (r) nor a directive (title, tempo, "
                  "velocity, encoding, mode)");
    std::string length;
    double beats = 0;
    if (!(words >> length)) return Fail("the note " + first + " needs its length in beats (such as 1, 0.5 or 1/2)");
    if (!ParseBeats(length, beats)) return Fail("\"" + length + "\" is not a length in beats (such as 1, 0.5 or 1/2)");
    if (beats <= 0 || beats > 64) return Fail("a length must be more than 0 and at most 64 beats, not " + length);
    const auto ticks = static_cast<uint64_t>(std::llround(beats * kTicksPerQuarter));
    if (first == "r") {
      if (!NothingMore(words, "a rest")) return false;
      tick_ += ticks;
      return true;
    }
    std::string syllable;
    words >> syllable;
    if (!NothingMore(words, syllable.empty() ? "the length" : "the syllable \"" + syllable + "\"")) return false;
    if (!syllable.empty() && syllable != "-") {
      if (rule_ != nullptr) rule_->Sing(syllable, "line " + std::to_string(lineNumber_));
      std::string text = syllable;
      // Kana written in Shift-JIS bytes, as older karaoke files carry them.
      if (shiftJis_) text = platform::Utf8ToShiftJis(syllable);
      out_.Meta(tick_, kMetaLyric, text);
    }
    out_.Channel(tick_, midi::kNoteOn, static_cast<uint8_t>(note), static_cast<uint8_t>(velocity_));
    out_.Channel(tick_ + ticks, midi::kNoteOff, static_cast<uint8_t>(note), 0);
    tick_ += ticks;
    anyNote_ = true;
    return true;
  }

  std::string& error_;
  LyricRule* rule_;
  MidiWriter out_;
  int lineNumber_ = 0;
  uint64_t tick_ = 0;
  int velocity_ = 96;
  bool phonetic_ = false;
  bool shiftJis_ = false;
  bool anyNote_ = false;
};

const std::pair<const char*, SongCompiler::Directive> SongCompiler::kDirectives[5] = {
    {"title", &SongCompiler::Title},
    {"tempo", &SongCompiler::Tempo},
    {"velocity", &SongCompiler::Velocity},
    {"mode", &SongCompiler::Mode},
    {"encoding", &SongCompiler::Encoding}};

}  // namespace

bool CompileSong(const std::string& source, std::string& midi, std::string& error, LyricRule* rule) {
  SongCompiler compiler(error, rule);
  std::istringstream lines(source);
  std::string line;
  while (std::getline(lines, line))
    if (!compiler.Line(line)) return false;
  return compiler.Finish(midi);
}

}  // namespace chantera::render
