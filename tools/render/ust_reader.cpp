#include "tools/render/ust_reader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>
#include <vector>

#include "platform/platform.h"

namespace chantera::render {

namespace {

constexpr double kLongestNote = 1e9;  // ticks: far beyond any song, and exact in a double

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A decimal number as UTAU writes it; some editors write a decimal comma ("120,00").
std::optional<double> Number(std::string text) {
  if (text.find('.') == std::string::npos) std::replace(text.begin(), text.end(), ',', '.');
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto [stop, failed] = std::from_chars(text.data(), end, value);
  if (failed != std::errc() || stop != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

// The text as UTF-8: what the Charset line says (UTF-8 or Shift-JIS), or without one,
// UTF-8 when the bytes are well-formed UTF-8, Shift-JIS otherwise.
std::string DecodeUst(std::string bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
  const size_t charset = Lower(bytes.substr(0, 4096)).find("charset=");
  if (charset != std::string::npos) {
    const std::string name = Lower(Trim(bytes.substr(charset + 8, bytes.find('\n', charset) - charset - 8)));
    if (name == "utf-8" || name == "utf8") return bytes;
    if (name == "shift_jis" || name == "shift-jis" || name == "sjis" || name == "cp932" || name == "windows-31j")
      return platform::ShiftJisToUtf8(bytes);
  }
  return platform::IsValidUtf8(bytes) ? bytes : platform::ShiftJisToUtf8(bytes);
}

bool IsKanaAt(const std::string& text, size_t i) {
  // U+3041..U+30FF in UTF-8: E3 81 81 .. E3 83 BF (U+30FB, the middle dot, is punctuation).
  return i + 2 < text.size() && static_cast<unsigned char>(text[i]) == 0xE3 &&
         static_cast<unsigned char>(text[i + 1]) >= 0x81 && static_cast<unsigned char>(text[i + 1]) <= 0x83 &&
         text.compare(i, 3, "・") != 0;
}

// What a note's lyric sings: the word after the last space (a VCV lyric's kana), without
// an alias suffix: the kana it starts with, or the letters up to a capital that follows a
// small one ("kaA4" is "ka"). Other text is kept for the lyric rule to judge.
std::string SungPart(const std::string& lyric) {
  std::string word = lyric.substr(lyric.find_last_of(' ') == std::string::npos ? 0 : lyric.find_last_of(' ') + 1);
  size_t end = 0;
  if (IsKanaAt(word, 0)) {
    while (IsKanaAt(word, end)) end += 3;
  } else {
    const auto letter = [&](size_t i) { return i < word.size() && std::isalpha(static_cast<unsigned char>(word[i])); };
    while (letter(end) && !(end > 0 && std::isupper(static_cast<unsigned char>(word[end])) &&
                            std::islower(static_cast<unsigned char>(word[end - 1]))))
      ++end;
  }
  return end == 0 ? word : word.substr(0, end);
}

// One note section as read, before it is checked.
struct Section {
  int line = 0;  // of its header
  std::string header;
  std::optional<std::string> length, lyric, noteNum, intensity, tempo, preUtterance, voiceOverlap, vibrato;
  int lyricLine = 0;
  std::vector<std::pair<std::string, int>> lines;  // key and line, for messages
};

class UstParser {
 public:
  UstParser(const std::string& name, Score& score) : name_(name), score_(score) {}

  bool Fail(int line, const std::string& what) {
    error_ = name_ + ":" + std::to_string(line) + ": " + what;
    return false;
  }
  const std::string& error() const { return error_; }

  // A value of the section: nothing when absent or empty, else its number; false (with
  // the error) when it is not a number within [low, high].
  bool Value(const Section& s, const std::optional<std::string>& text, const char* key, double low, double high,
             std::optional<double>& out) {
    out.reset();
    if (!text || Trim(*text).empty()) return true;
    out = Number(Trim(*text));
    if (!out || *out < low || *out > high) {
      int line = s.line;
      for (const auto& [k, l] : s.lines)
        if (k == key) line = l;
      return Fail(line, std::string(key) + " must be a number from " + Formatted(low) + " to " + Formatted(high) +
                            ", not \"" + *text + "\"");
    }
    return true;
  }

  // Adds the note of a finished section at tick_ and moves past it.
  bool AddNote(const Section& s) {
    std::optional<double> length, key, intensity, tempo;
    if (!Value(s, s.length, "Length", 0, kLongestNote, length) || !Value(s, s.noteNum, "NoteNum", 0, 127, key) ||
        !Value(s, s.intensity, "Intensity", 0, 1000, intensity) || !Value(s, s.tempo, "Tempo", 10, 1000, tempo))
      return false;
    if (!length) return Fail(s.line, s.header + " has no Length");
    ScoreNote note;
    if (!Value(s, s.preUtterance, "PreUtterance", -10000, 10000, note.preUtterance) ||
        !Value(s, s.voiceOverlap, "VoiceOverlap", -10000, 10000, note.voiceOverlap))
      return false;
    if (tempo) {
      if (!score_.tempos.empty() && score_.tempos.back().tick == tick_) score_.tempos.pop_back();
      score_.tempos.push_back({tick_, MicrosecondsPerQuarter(*tempo)});
    }
    const auto ticks = static_cast<uint64_t>(std::llround(*length));
    const std::string lyric = SungPart(Trim(s.lyric.value_or("")));
    const std::string lower = Lower(lyric);
    const bool rest = lower.empty() || lower == "r" || lower == "br" || lyric == "息" || lyric == "吸";
    if (!rest && ticks > 0) {
      if (!key) return Fail(s.line, s.header + " has no NoteNum");
      note.tick = tick_;
      note.length = ticks;
      note.key = static_cast<uint8_t>(std::lround(*key));
      note.velocity = static_cast<uint8_t>(std::clamp(std::lround(96.0 * intensity.value_or(100.0) / 100.0), 1L, 127L));
      note.continuation = IsHoldMark(lyric);
      if (!note.continuation) note.lyric = lyric;
      note.place = "line " + std::to_string(s.lyricLine);
      if (s.vibrato)
        for (size_t start = 0; start <= s.vibrato->size();) {
          const size_t comma = std::min(s.vibrato->find(',', start), s.vibrato->size());
          if (const auto v = Number(Trim(s.vibrato->substr(start, comma - start)))) note.vibrato.push_back(*v);
          start = comma + 1;
        }
      score_.notes.push_back(std::move(note));
    }
    tick_ += ticks;
    return true;
  }

  bool Parse(const std::string& text) {
    for (size_t start = 0; start < text.size() && where_ != kEnd;) {
      const size_t newline = std::min(text.find('\n', start), text.size());
      const std::string line = Trim(text.substr(start, newline - start));
      start = newline + 1;
      ++number_;
      if (line.empty()) continue;
      if (line.size() >= 3 && line.compare(0, 2, "[#") == 0 && line.back() == ']') {
        if (!StartSection(line)) return false;
        continue;
      }
      if (where_ == kNone) return Fail(number_, "not an UTAU project: no [#SETTING] or note section before this line");
      const size_t eq = line.find('=');
      if (where_ == kSetting && eq != std::string::npos) {
        if (!SettingLine(line, eq)) return false;
      } else if (where_ == kNote) {
        if (eq == std::string::npos) return Fail(number_, "not a KEY=VALUE line: " + line);
        NoteLine(line, eq);
      }
    }
    return Finish();
  }

 private:
  enum Where { kNone, kVersion, kSetting, kNote, kOther, kEnd };

  // A section's header ("[#0000]"): the note of the section before it is added, and
  // what follows is read as the header says.
  bool StartSection(const std::string& line) {
    if (where_ == kNote && !AddNote(section_)) return false;
    const std::string name = line.substr(2, line.size() - 3);
    section_ = Section{};
    section_.line = number_;
    section_.header = line;
    if (name == "VERSION") {
      where_ = kVersion;
    } else if (name == "SETTING") {
      where_ = kSetting;
    } else if (name == "TRACKEND") {
      where_ = kEnd;
    } else if (name == "INSERT" ||
               (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))) {
      where_ = kNote;
    } else {
      where_ = kOther;  // [#PREV], [#NEXT], [#DELETE] and sections of other tools
    }
    return true;
  }

  // A KEY=VALUE line of [#SETTING]: the tempo and the title.
  bool SettingLine(const std::string& line, size_t eq) {
    const std::string key = Lower(Trim(line.substr(0, eq)));
    const std::string value = Trim(line.substr(eq + 1));
    if (key == "tempo") {
      section_.tempo = value;
      section_.lines.emplace_back("Tempo", number_);
      if (!Value(section_, section_.tempo, "Tempo", 10, 1000, settingTempo_)) return false;
    } else if (key == "projectname") {
      score_.title = value;
    }
    return true;
  }

  // A KEY=VALUE line of a note section: kept as written, to be checked when the note is added.
  void NoteLine(const std::string& line, size_t eq) {
    const std::string key = Lower(Trim(line.substr(0, eq)));
    const std::string value = line.substr(eq + 1);
    static const std::pair<const char*, std::optional<std::string> Section::*> kKeys[] = {
        {"Length", &Section::length},
        {"Lyric", &Section::lyric},
        {"NoteNum", &Section::noteNum},
        {"Intensity", &Section::intensity},
        {"Tempo", &Section::tempo},
        {"PreUtterance", &Section::preUtterance},
        {"VoiceOverlap", &Section::voiceOverlap},
        {"VBR", &Section::vibrato}};
    for (const auto& [name, field] : kKeys)
      if (key == Lower(name)) {
        section_.*field = value;
        section_.lines.emplace_back(name, number_);
        if (field == &Section::lyric) section_.lyricLine = number_;
      }
  }

  // The end of the text: the last note added, and the tempo at the start.
  bool Finish() {
    if (where_ == kNote && !AddNote(section_)) return false;
    if (score_.notes.empty()) {
      error_ = name_ + ": the project has no notes to sing";
      return false;
    }
    if (score_.tempos.empty() || score_.tempos.front().tick != 0)
      score_.tempos.insert(score_.tempos.begin(), {0, MicrosecondsPerQuarter(settingTempo_.value_or(120.0))});
    return true;
  }

  static std::string Formatted(double value) {
    std::string text = std::to_string(value);
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text;
  }

  const std::string& name_;
  Score& score_;
  std::string error_;
  uint64_t tick_ = 0;
  Where where_ = kNone;
  Section section_;                     // the section being read
  int number_ = 0;                      // the line being read
  std::optional<double> settingTempo_;  // [#SETTING]'s
};

}  // namespace

bool ReadUst(const std::string& bytes, const std::string& name, Score& score, std::string& error) {
  score = Score{};
  UstParser parser(name, score);
  if (parser.Parse(DecodeUst(bytes))) return true;
  error = parser.error();
  return false;
}

}  // namespace chantera::render
