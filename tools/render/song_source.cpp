#include "tools/render/song_source.h"

#include <cmath>
#include <sstream>
#include <vector>

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

}  // namespace

bool CompileSong(const std::string& source, std::string& midi, std::string& error) {
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
    const size_t hash = line.find('#');
    // '#' starts a comment unless it is a sharp right after a note letter.
    if (hash != std::string::npos && (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t')) line.erase(hash);
    std::istringstream words(line);
    std::string first;
    if (!(words >> first)) continue;
    if (first == "title") {
      std::string rest;
      std::getline(words >> std::ws, rest);
      out.Meta(tick, 0x03, rest);
    } else if (first == "tempo") {
      double bpm = 0;
      if (!(words >> bpm) || bpm < 10 || bpm > 400) return fail("tempo needs quarter notes per minute (10..400)");
      out.Tempo(tick, static_cast<uint32_t>(std::lround(60e6 / bpm)));
    } else if (first == "velocity") {
      if (!(words >> velocity) || velocity < 1 || velocity > 127) return fail("velocity must be 1..127");
    } else if (first == "mode") {
      std::string mode;
      words >> mode;
      if (mode != "lyrics" && mode != "phonetic") return fail("mode is lyrics or phonetic");
      phonetic = mode == "phonetic";
    } else if (first == "encoding") {
      std::string encoding;
      words >> encoding;
      if (encoding != "utf-8" && encoding != "shift-jis") return fail("encoding is utf-8 or shift-jis");
      shiftJis = encoding == "shift-jis";
    } else {
      double beats = 0;
      if (!(words >> beats) || beats <= 0 || beats > 64) return fail("a note needs its length in beats: " + line);
      const auto length = static_cast<uint64_t>(std::llround(beats * kTicksPerQuarter));
      if (first == "r") {
        tick += length;
        continue;
      }
      int note = 0;
      if (!ParsePitch(first, note)) return fail("not a pitch: " + first);
      std::string syllable;
      words >> syllable;
      if (!syllable.empty() && syllable != "-") {
        if (LyricSyllables(syllable).empty()) return fail("not a syllable the instrument sings: " + syllable);
        std::string text = syllable;
        // Kana written in Shift-JIS bytes, as older karaoke files carry them.
        if (shiftJis) text = Utf8ToShiftJis(syllable);
        out.Meta(tick, 0x05, text);
      }
      out.Channel(tick, 0x90, static_cast<uint8_t>(note), static_cast<uint8_t>(velocity));
      out.Channel(tick + length, 0x80, static_cast<uint8_t>(note), 0);
      tick += length;
      anyNote = true;
    }
  }
  if (!anyNote) return fail("the song has no notes");
  midi = out.Finish(kTicksPerQuarter);
  if (phonetic) {
    MidiFile file;
    if (!file.Parse(reinterpret_cast<const uint8_t*>(midi.data()), midi.size(), error)) return false;
    midi = PhoneticMidi(file);
  }
  return true;
}

}  // namespace chantera::render
