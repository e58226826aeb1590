#include "tools/render/lyrics.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

#include "engine/phoneme_table.h"
#include "platform/platform.h"
#include "tools/common/syllables.h"

namespace chantera::render {

namespace {

// Kana (UTF-8) to the first table row that sings it.
const std::map<std::string, Syllable>& KanaTable() {
  static const std::map<std::string, Syllable> table = [] {
    std::map<std::string, Syllable> t;
    for (const PhonemeRow& row : kPhonemeTable) {
      if (row.kana == nullptr || row.phoneme == nullptr) continue;
      const std::string kana = platform::ShiftJisToUtf8(row.kana);
      t.emplace(kana, Syllable{row.program, row.phoneme, kana});  // emplace keeps the first row
    }
    return t;
  }();
  return table;
}

// Romaji (Hepburn and Kunrei spellings) to hiragana.
const std::map<std::string, std::string>& RomajiTable() {
  static const std::map<std::string, std::string> table = {
      {"a", "あ"},     {"i", "い"},     {"u", "う"},     {"e", "え"},     {"o", "お"},     {"ka", "か"},
      {"ki", "き"},    {"ku", "く"},    {"ke", "け"},    {"ko", "こ"},    {"ga", "が"},    {"gi", "ぎ"},
      {"gu", "ぐ"},    {"ge", "げ"},    {"go", "ご"},    {"sa", "さ"},    {"shi", "し"},   {"si", "し"},
      {"su", "す"},    {"se", "せ"},    {"so", "そ"},    {"za", "ざ"},    {"ji", "じ"},    {"zi", "じ"},
      {"zu", "ず"},    {"ze", "ぜ"},    {"zo", "ぞ"},    {"ta", "た"},    {"chi", "ち"},   {"ti", "ち"},
      {"tsu", "つ"},   {"tu", "つ"},    {"te", "て"},    {"to", "と"},    {"da", "だ"},    {"di", "ぢ"},
      {"du", "づ"},    {"de", "で"},    {"do", "ど"},    {"na", "な"},    {"ni", "に"},    {"nu", "ぬ"},
      {"ne", "ね"},    {"no", "の"},    {"ha", "は"},    {"hi", "ひ"},    {"fu", "ふ"},    {"hu", "ふ"},
      {"he", "へ"},    {"ho", "ほ"},    {"ba", "ば"},    {"bi", "び"},    {"bu", "ぶ"},    {"be", "べ"},
      {"bo", "ぼ"},    {"pa", "ぱ"},    {"pi", "ぴ"},    {"pu", "ぷ"},    {"pe", "ぺ"},    {"po", "ぽ"},
      {"ma", "ま"},    {"mi", "み"},    {"mu", "む"},    {"me", "め"},    {"mo", "も"},    {"ya", "や"},
      {"yu", "ゆ"},    {"yo", "よ"},    {"ra", "ら"},    {"ri", "り"},    {"ru", "る"},    {"re", "れ"},
      {"ro", "ろ"},    {"wa", "わ"},    {"wo", "を"},    {"kya", "きゃ"}, {"kyu", "きゅ"}, {"kyo", "きょ"},
      {"gya", "ぎゃ"}, {"gyu", "ぎゅ"}, {"gyo", "ぎょ"}, {"sha", "しゃ"}, {"shu", "しゅ"}, {"sho", "しょ"},
      {"sya", "しゃ"}, {"syu", "しゅ"}, {"syo", "しょ"}, {"ja", "じゃ"},  {"ju", "じゅ"},  {"jo", "じょ"},
      {"zya", "じゃ"}, {"zyu", "じゅ"}, {"zyo", "じょ"}, {"jya", "じゃ"}, {"jyu", "じゅ"}, {"jyo", "じょ"},
      {"cha", "ちゃ"}, {"chu", "ちゅ"}, {"cho", "ちょ"}, {"tya", "ちゃ"}, {"tyu", "ちゅ"}, {"tyo", "ちょ"},
      {"nya", "にゃ"}, {"nyu", "にゅ"}, {"nyo", "にょ"}, {"hya", "ひゃ"}, {"hyu", "ひゅ"}, {"hyo", "ひょ"},
      {"bya", "びゃ"}, {"byu", "びゅ"}, {"byo", "びょ"}, {"pya", "ぴゃ"}, {"pyu", "ぴゅ"}, {"pyo", "ぴょ"},
      {"mya", "みゃ"}, {"myu", "みゅ"}, {"myo", "みょ"}, {"rya", "りゃ"}, {"ryu", "りゅ"}, {"ryo", "りょ"},
  };
  return table;
}

// Decodes one UTF-8 code point at text[i]; returns its length (1 for a stray byte).
size_t DecodeUtf8(const std::string& text, size_t i, char32_t& cp) {
  const auto b = static_cast<unsigned char>(text[i]);
  size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
  if (i + n > text.size()) n = 1;
  cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
  for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  return n;
}

std::string EncodeUtf8(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return s;
}

bool IsAsciiVowel(char c) {
  return c == 'a' || c == 'i' || c == 'u' || c == 'e' || c == 'o';
}

// The five bare vowels, by their letter.
Syllable BareVowel(char vowel) {
  static const char* const kKana[] = {"あ", "い", "う", "え", "お"};
  const size_t i = std::string_view("aiueo").find(vowel);
  return KanaTable().at(kKana[i == std::string_view::npos ? 0 : i]);
}

// A Latin letter as the lower-case ASCII letter it is written with ('é' is 'e'), or 0
// for any other character; longMark for a macron or circumflex ("ō", "ô": a long vowel).
char LatinLetter(char32_t cp, bool& longMark) {
  longMark = false;
  if (cp >= 'a' && cp <= 'z') return static_cast<char>(cp);
  if (cp >= 'A' && cp <= 'Z') return static_cast<char>(cp - 'A' + 'a');
  // Latin-1 letters À..Þ, and their lower case 0x20 above; × ÷ ß Þ þ are not romaji.
  constexpr std::string_view kLatin1("aaaaaaaceeeeiiiidnooooo\0ouuuuy", 0xDE - 0xC0);
  if (cp >= 0xC0 && cp <= 0xFF) {
    if (cp == 0xFF) return 'y';
    const char32_t upper = cp >= 0xE0 ? cp - 0x20 : cp;
    if (upper >= 0xDE) return 0;
    longMark = upper == 0xC2 || upper == 0xCA || upper == 0xCE || upper == 0xD4 || upper == 0xDB;  // circumflex
    return kLatin1[upper - 0xC0];
  }
  // The macrons of Hepburn romaji: Ā ā Ē ē Ī ī Ō ō Ū ū.
  static const std::pair<char32_t, char> kMacrons[] = {
      {0x100, 'a'}, {0x112, 'e'}, {0x12A, 'i'}, {0x14C, 'o'}, {0x16A, 'u'}};
  for (const auto& [upper, letter] : kMacrons)
    if (cp == upper || cp == upper + 1) {
      longMark = true;
      return letter;
    }
  return 0;
}

bool IsLongMark(char32_t cp) {
  return cp == U'ー' || cp == U'〜' || cp == U'～';
}

// Karaoke markers, the hold marks of score formats and white space: they only separate.
bool IsSeparator(char32_t cp) {
  return cp == ' ' || cp == '\t' || cp == '\r' || cp == '\n' || cp == 0x3000 || cp == '/' || cp == '\\' || cp == '-' ||
         cp == '+';
}

// Punctuation, Latin and Japanese: it separates syllables, and alone it is no lyric.
bool IsPunctuation(char32_t cp) {
  if (cp < 0x80)
    return cp > ' ' && cp < 0x7F && !(cp >= '0' && cp <= '9') && !((cp | 0x20) >= 'a' && (cp | 0x20) <= 'z');
  return (cp >= 0x2000 && cp <= 0x206F) || (cp >= 0x3001 && cp <= 0x303F) || cp == 0x30FB ||
         (cp >= 0xFF01 && cp <= 0xFF0F) || (cp >= 0xFF1A && cp <= 0xFF20) || (cp >= 0xFF3B && cp <= 0xFF40) ||
         (cp >= 0xFF5B && cp <= 0xFF65) || cp == 0xA1 || cp == 0xBF;
}

// Hiragana, katakana (as hiragana where it has one) and the katakana ヷ..ヺ.
bool IsKana(char32_t cp) {
  return (cp >= 0x3041 && cp <= 0x3096) || (cp >= 0x30F7 && cp <= 0x30FA);
}
char32_t AsHiragana(char32_t cp) {
  return cp >= U'ァ' && cp <= U'ヶ' ? cp - 0x60 : cp;
}

// The vowel of a small kana that follows a syllable (ぁ ぃ ぅ ぇ ぉ ゃ ゅ ょ ゎ), or 0.
char SmallVowel(char32_t cp) {
  switch (cp) {
    case U'ぁ':
    case U'ゃ':
    case U'ゎ':
      return 'a';
    case U'ぃ':
      return 'i';
    case U'ぅ':
    case U'ゅ':
      return 'u';
    case U'ぇ':
      return 'e';
    case U'ぉ':
    case U'ょ':
      return 'o';
    default:
      return 0;
  }
}

// The vowel of a kana the table does not sing: ゔ (vu), ゐ (wi), ゑ (we), the small ゎ ゕ ゖ
// and ヷ ヸ ヹ ヺ (va, vi, ve, vo); 0 for any other.
char KanaVowel(char32_t cp) {
  switch (cp) {
    case U'ゔ':
      return 'u';
    case U'ゐ':
    case U'ヸ':
      return 'i';
    case U'ゑ':
    case U'ゖ':
    case U'ヹ':
      return 'e';
    case U'ゎ':
    case U'ゕ':
    case U'ヷ':
      return 'a';
    case U'ヺ':
      return 'o';
    default:
      return SmallVowel(cp);
  }
}

// A written letter of a romaji word.
struct Letter {
  char c;             // lower-case ASCII
  bool longMark;      // a macron or circumflex: the vowel is long
  std::string shown;  // as written, UTF-8
};

// The romaji spelling that starts at word[i]: its length (3 to 1) and its kana, or 0.
size_t MatchRomaji(const std::vector<Letter>& word, size_t i, std::string& kana) {
  for (size_t length = 3; length >= 1; --length) {
    if (i + length > word.size()) continue;
    std::string spelling;
    for (size_t k = i; k < i + length; ++k) spelling.push_back(word[k].c);
    const auto found = RomajiTable().find(spelling);
    if (found == RomajiTable().end()) continue;
    kana = found->second;
    return length;
  }
  // "n" before a consonant or at the end is ん, and so is "m" before b, m and p ("tempura");
  // a doubled consonant (and the t of "tch") is っ.
  const char c = word[i].c;
  const char next = i + 1 < word.size() ? word[i + 1].c : 0;
  if ((c == 'n' && next != 'y' && !IsAsciiVowel(next)) || (c == 'm' && (next == 'b' || next == 'm' || next == 'p'))) {
    kana = "ん";
    return 1;
  }
  if (next != 0 && std::string_view("bcdfghjkmprstwz").find(c) != std::string_view::npos &&
      (next == c || (c == 't' && next == 'c'))) {
    kana = "っ";
    return 1;
  }
  return 0;
}

// Appends the syllables of a romaji word. A stretch that spells nothing runs to its first
// vowel (sung in its place) or to where a spelling starts.
void ReadRomaji(const std::vector<Letter>& word, LyricReading& out) {
  size_t i = 0;
  while (i < word.size()) {
    std::string kana;
    size_t length = MatchRomaji(word, i, kana);
    if (length > 0) {
      out.syllables.push_back(KanaTable().at(kana));
      if (word[i + length - 1].longMark) out.syllables.push_back(VowelOf(out.syllables.back()));
      i += length;
      continue;
    }
    UnsungPiece piece;
    bool longMark = false;
    for (length = 0; i + length < word.size(); ++length) {
      const Letter& letter = word[i + length];
      if (IsAsciiVowel(letter.c)) {
        piece.piece += letter.shown;
        piece.vowel = BareVowel(letter.c);
        longMark = letter.longMark;
        ++length;
        break;
      }
      if (length > 0 && MatchRomaji(word, i + length, kana) > 0) break;
      piece.piece += letter.shown;
    }
    if (piece.vowel) out.syllables.push_back(*piece.vowel);
    if (longMark) out.syllables.push_back(*piece.vowel);
    out.unsung.push_back(std::move(piece));
    i += length;
  }
}

// Appends the syllable of the kana at text[i] (with a small kana after it that belongs to
// it); returns the bytes read.
size_t ReadKana(const std::string& text, size_t i, LyricReading& out) {
  char32_t cp;
  size_t n = DecodeUtf8(text, i, cp);
  const auto& table = KanaTable();
  std::string key = EncodeUtf8(AsHiragana(cp));
  char32_t next = 0;
  const size_t m = i + n < text.size() ? DecodeUtf8(text, i + n, next) : 0;
  next = AsHiragana(next);
  const bool small = SmallVowel(next) != 0 && SmallVowel(AsHiragana(cp)) == 0;
  if (small && table.count(key + EncodeUtf8(next)) != 0) {
    out.syllables.push_back(table.at(key + EncodeUtf8(next)));
    return n + m;
  }
  if (!small && table.count(key) != 0) {
    out.syllables.push_back(table.at(key));
    return n;
  }
  // A pair the table lacks (ふぁ, てぃ, ヴァ) sings the small kana's vowel; a kana of its own
  // its vowel, when it has one.
  UnsungPiece piece{text.substr(i, small ? n + m : n), std::nullopt};
  const char vowel = small ? SmallVowel(next) : KanaVowel(AsHiragana(cp));
  if (vowel != 0) {
    piece.vowel = BareVowel(vowel);
    out.syllables.push_back(*piece.vowel);
  }
  out.unsung.push_back(std::move(piece));
  return small ? n + m : n;
}
}  // namespace

Syllable VowelOf(const Syllable& syllable) {
  const std::string& p = syllable.phoneme;
  if (p.empty() || p == "N") return syllable;
  const PhonemeRow* row = tools::FirstRowOf(tools::LastSymbol(p));
  return row != nullptr ? Syllable{row->program, row->phoneme, platform::ShiftJisToUtf8(row->kana)} : syllable;
}

LyricReading ReadLyric(const std::string& raw) {
  LyricReading out;
  const std::string text = platform::IsValidUtf8(raw) ? raw : platform::ShiftJisToUtf8(raw);
  if (!text.empty() && text[0] == '@') return out;  // karaoke information line

  std::vector<Letter> word;
  std::string others;  // characters that name no syllable: kanji, digits, symbols
  bool punctuation = false;
  const auto flushWord = [&] {
    if (!word.empty()) ReadRomaji(word, out);
    word.clear();
  };
  const auto flushOthers = [&] {
    if (!others.empty()) out.unsung.push_back({others, std::nullopt});
    others.clear();
  };
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    const size_t n = DecodeUtf8(text, i, cp);
    // A byte that neither UTF-8 nor Shift-JIS reads is shown as the replacement character.
    const std::string shown = n == 1 && cp >= 0x80 ? std::string("\xEF\xBF\xBD") : text.substr(i, n);
    bool longMark = false;
    if (const char letter = LatinLetter(cp, longMark)) {
      flushOthers();
      word.push_back({letter, longMark, shown});
      i += n;
      continue;
    }
    flushWord();
    if (IsKana(AsHiragana(cp))) {
      flushOthers();
      i += ReadKana(text, i, out);
      continue;
    }
    i += n;
    if (IsLongMark(cp)) {
      flushOthers();
      if (!out.syllables.empty()) out.syllables.push_back(VowelOf(out.syllables.back()));
    } else if (IsSeparator(cp) || IsPunctuation(cp)) {
      flushOthers();
      punctuation |= !IsSeparator(cp);
    } else {
      others += shown;
    }
  }
  flushWord();
  flushOthers();
  if (out.syllables.empty() && out.unsung.empty() && punctuation) {
    // Punctuation alone ("!!") is no lyric: shown as written, without the blanks around it.
    const size_t first = text.find_first_not_of(" \t\r\n");
    const size_t last = text.find_last_not_of(" \t\r\n");
    out.unsung.push_back({text.substr(first, last - first + 1), std::nullopt});
  }
  return out;
}

std::vector<Syllable> LyricSyllables(const std::string& text) {
  return ReadLyric(text).syllables;
}

void LyricRule::Tell(const std::string& place, const std::string& piece, const std::string& written,
                     const std::optional<Syllable>& vowel) {
  std::string line = place + (strict_ ? ": error: \"" : ": warning: \"") + piece + '"';
  if (piece != written && written.find(piece) != std::string::npos) line += " (in \"" + written + "\")";
  line += " is not a syllable the instrument sings";
  if (!strict_) line += vowel ? "; sung as its vowel " + vowel->kana : std::string("; skipped");
  // A place told once: a repeated section of a score reads its lyrics again.
  if (std::find(problems_.begin(), problems_.end(), line) == problems_.end()) problems_.push_back(std::move(line));
}

std::vector<Syllable> LyricRule::Sing(const std::string& text, const std::string& place) {
  LyricReading reading = ReadLyric(text);
  const std::string written = platform::IsValidUtf8(text) ? text : platform::ShiftJisToUtf8(text);
  for (const UnsungPiece& p : reading.unsung) Tell(place, p.piece, written, p.vowel);
  return std::move(reading.syllables);
}

std::optional<Syllable> LyricRule::SingNote(const std::string& text, const std::string& place, bool* several) {
  const LyricReading reading = ReadLyric(text);
  if (several != nullptr) *several = reading.unsung.empty() && reading.syllables.size() > 1;
  if (reading.unsung.empty())
    return reading.syllables.empty() ? std::nullopt : std::optional<Syllable>(reading.syllables.front());
  std::optional<Syllable> vowel;
  if (!reading.syllables.empty()) vowel = VowelOf(reading.syllables.back());
  const std::string written = platform::IsValidUtf8(text) ? text : platform::ShiftJisToUtf8(text);
  // The whole lyric is named: it is what the note sings in its place.
  const size_t first = written.find_first_not_of(" \t\r\n");
  const size_t last = written.find_last_not_of(" \t\r\n");
  const std::string shown = first == std::string::npos ? written : written.substr(first, last - first + 1);
  Tell(place, shown, shown, vowel);
  return vowel;
}

}  // namespace chantera::render
