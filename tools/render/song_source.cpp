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

}  // namespace

bool CompileSong(const std::string& source, std::string& midi, std::string& error, LyricRule* rule) {
  MidiWriter out;
  std::istringstream lines(source);
  std::string line;
  int lineNumber = 0;
  uint64_t tick = 0;
  int velocity = 96;
  bool phonetic = false;
  bool shiftJis = false;
  bool anyNote = false;
  auto fail = [&](const std::string& what) {
    error = "line " + std::to_string(lineNumber) + ": " + what;
    return false;
  };
  while (std::getline(lines, line)) {
    ++lineNumber;
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
    if (!(words >> first)) continue;
    // What is left of the line once its words are read must be nothing.
    const auto nothingMore = [&](const std::string& after) {
      std::string extra;
      if (!(words >> extra)) return true;
      return fail("\"" + extra + "\" after " + after + ": nothing may follow it" +
                  (after.starts_with("the syllable") ? " (a word written as one, such as \"kaki\", sings on this note "
                                                       "and the next)"
                                                     : ""));
    };
    if (first == "title") {
      std::string rest;
      std::getline(words >> std::ws, rest);
      out.Meta(tick, 0x03, rest);
    } else if (first == "tempo") {
      double bpm = 0;
      if (!(words >> bpm) || bpm < 10 || bpm > 400) return fail("tempo needs quarter notes per minute (10..400)");
      if (!nothingMore("the tempo")) return false;
      out.Tempo(tick, static_cast<uint32_t>(std::lround(60e6 / bpm)));
    } else if (first == "velocity") {
      if (!(words >> velocity) || velocity < 1 || velocity > 127) return fail("velocity must be 1..127");
      if (!nothingMore("the velocity")) return false;
    } else if (first == "mode") {
      std::string mode;
      words >> mode;
      if (mode != "lyrics" && mode != "phonetic") return fail("mode is lyrics or phonetic");
      if (!nothingMore("the mode")) return false;
      phonetic = mode == "phonetic";
    } else if (first == "encoding") {
      std::string encoding;
      words >> encoding;
      if (encoding != "utf-8" && encoding != "shift-jis") return fail("encoding is utf-8 or shift-jis");
      if (!nothingMore("the encoding")) return false;
      shiftJis = encoding == "shift-jis";
    } else {
      int note = 0;
      if (first != "r" && !ParsePitch(first, note))
        return fail("\"" + first +
                    "\" is neither a pitch (such as C4, F#3, Bb5), a rest (r) nor a directive (title, tempo, "
                    "velocity, encoding, mode)");
      std::string length;
      double beats = 0;
      if (!(words >> length)) return fail("the note " + first + " needs its length in beats (such as 1, 0.5 or 1/2)");
      if (!ParseBeats(length, beats))
        return fail("\"" + length + "\" is not a length in beats (such as 1, 0.5 or 1/2)");
      if (beats <= 0 || beats > 64) return fail("a length must be more than 0 and at most 64 beats, not " + length);
      const auto ticks = static_cast<uint64_t>(std::llround(beats * kTicksPerQuarter));
      if (first == "r") {
        if (!nothingMore("a rest")) return false;
        tick += ticks;
        continue;
      }
      std::string syllable;
      words >> syllable;
      if (!nothingMore(syllable.empty() ? "the length" : "the syllable \"" + syllable + "\"")) return false;
      if (!syllable.empty() && syllable != "-") {
        if (rule != nullptr) rule->Sing(syllable, "line " + std::to_string(lineNumber));
        std::string text = syllable;
        // Kana written in Shift-JIS bytes, as older karaoke files carry them.
        if (shiftJis) text = platform::Utf8ToShiftJis(syllable);
        out.Meta(tick, 0x05, text);
      }
      out.Channel(tick, 0x90, static_cast<uint8_t>(note), static_cast<uint8_t>(velocity));
      out.Channel(tick + ticks, 0x80, static_cast<uint8_t>(note), 0);
      tick += ticks;
      anyNote = true;
    }
  }
  if (!anyNote) {
    error = "the song has no notes";
    return false;
  }
  midi = out.Finish(kTicksPerQuarter);
  if (phonetic) {
    MidiFile file;
    if (!file.Parse(reinterpret_cast<const uint8_t*>(midi.data()), midi.size(), error)) return false;
    midi = PhoneticMidi(file);
  }
  return true;
}

}  // namespace chantera::render
