#include "tools/render/lyrics.h"

#include <iconv.h>
#include <cerrno>

#include <algorithm>
#include <map>
#include <mutex>

#include "engine/phoneme_table.h"
#include "platform/platform.h"

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

bool IsSmallYaYuYoOrVowel(char32_t cp) {
  return cp == U'ゃ' || cp == U'ゅ' || cp == U'ょ' || cp == U'ぁ' || cp == U'ぃ' || cp == U'ぅ' || cp == U'ぇ' ||
         cp == U'ぉ';
}

// Kana, kanji and accented Latin letters: what a lyric spells with, unlike the spaces,
// marks and punctuation that only separate its syllables.
bool IsLetter(char32_t cp) {
  return (cp >= U'ぁ' && cp <= U'ヺ') || (cp >= 0x3400 && cp <= 0x9FFF) || (cp >= 0xC0 && cp <= 0x24F);
}

bool IsAsciiVowel(char c) {
  return c == 'a' || c == 'i' || c == 'u' || c == 'e' || c == 'o';
}

// Romaji to hiragana: longest spelling first; "n" before a consonant or at the end is ん;
// a doubled consonant is っ. A letter that starts no syllable goes to unread.
std::string RomajiToKana(const std::string& word, std::string* unread) {
  std::string lower;
  for (char c : word) lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
  std::string out;
  size_t i = 0;
  while (i < lower.size()) {
    bool matched = false;
    for (size_t len = 3; len >= 1 && !matched; --len) {
      if (i + len > lower.size()) continue;
      auto it = RomajiTable().find(lower.substr(i, len));
      if (it == RomajiTable().end()) continue;
      out += it->second;
      i += len;
      matched = true;
    }
    if (matched) continue;
    const char c = lower[i];
    if (c == 'n' && (i + 1 == lower.size() || (!IsAsciiVowel(lower[i + 1]) && lower[i + 1] != 'y'))) {
      out += "ん";
      ++i;
    } else if (i + 1 < lower.size() && c == lower[i + 1] && !IsAsciiVowel(c)) {
      out += "っ";
      ++i;
    } else {
      if (unread != nullptr) unread->push_back(lower[i]);
      ++i;  // a letter that starts no syllable
    }
  }
  return out;
}

char32_t DecodedFirst(const std::string& text) {
  char32_t cp = 0;
  if (!text.empty()) DecodeUtf8(text, 0, cp);
  return cp;
}

// The vowel of each hiragana from ぁ (U+3041) to ゖ (U+3096): 'n' for ん, '-' for っ.
constexpr char kHiraganaVowels[] =
    "aaiiuueeooaaiiuueeooaaiiuueeooaaii-uueeooaiueoaaaiiiuuueeeoooaiueoaauuooaiueoaaieonuae";
static_assert(sizeof kHiraganaVowels - 1 == 0x3097 - 0x3041);

// The last vowel a text spells, in kana or letters ('a', 'i', 'u', 'e', 'o', or 'n' for
// ん), or 0 when it spells none.
char LastVowel(const std::string& text) {
  char vowel = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    i += DecodeUtf8(text, i, cp);
    if (cp >= U'ァ' && cp <= U'ヶ') cp -= 0x60;  // katakana to hiragana
    if (cp < 0x80 && IsAsciiVowel(static_cast<char>(cp | 0x20))) {
      vowel = static_cast<char>(cp | 0x20);
    } else if (cp >= U'ぁ' && cp <= U'ゖ' && kHiraganaVowels[cp - U'ぁ'] != '-') {
      vowel = kHiraganaVowels[cp - U'ぁ'];
    }
  }
  return vowel;
}

}  // namespace

std::string Utf8ToShiftJis(const std::string& utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return utf8;
  std::string out(utf8.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* o = out.data();
  size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) break;
    // A character that Shift-JIS lacks: a question mark, and on past its bytes.
    *o++ = '?';
    --outLeft;
    ++in;
    --inLeft;
    while (inLeft > 0 && (static_cast<unsigned char>(*in) >> 6) == 2) ++in, --inLeft;
  }
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

Syllable VowelOf(const Syllable& syllable) {
  const std::string& p = syllable.phoneme;
  if (p.empty() || p == "N") return syllable;
  const std::string vowel = p.substr(p.find_last_of(' ') == std::string::npos ? 0 : p.find_last_of(' ') + 1);
  for (const PhonemeRow& row : kPhonemeTable)
    if (row.phoneme != nullptr && vowel == row.phoneme)
      return Syllable{row.program, row.phoneme, platform::ShiftJisToUtf8(row.kana)};
  return syllable;
}

NoteLyric SingNoteLyric(const std::string& text) {
  std::string unread;
  const std::vector<Syllable> syllables = LyricSyllables(text, &unread);
  if (unread.empty() && syllables.size() == 1) return {NoteLyric::kOne, syllables[0]};
  // A small vowel or ゃゅょ standing alone after a kana is a sound the table has no row
  // for ("ふぁ", "てぃ", "ぢゃ"), not a syllable of its own.
  if (unread.empty() && syllables.size() > 1 && !IsSmallYaYuYoOrVowel(DecodedFirst(syllables[1].kana)))
    return {NoteLyric::kFirst, syllables[0]};
  static const std::map<char, const char*> kVowelKana = {{'a', "あ"}, {'i', "い"}, {'u', "う"},
                                                         {'e', "え"}, {'o', "お"}, {'n', "ん"}};
  const char vowel = LastVowel(platform::IsValidUtf8(text) ? text : platform::ShiftJisToUtf8(text));
  if (vowel == 0) return {NoteLyric::kNone, std::nullopt};
  return {NoteLyric::kVowel, KanaTable().at(kVowelKana.at(vowel))};
}

std::vector<Syllable> LyricSyllables(const std::string& raw, std::string* unread) {
  std::string text = platform::IsValidUtf8(raw) ? raw : platform::ShiftJisToUtf8(raw);
  if (!text.empty() && text[0] == '@') return {};  // karaoke information line

  // Romaji words become hiragana first; kana and other characters pass through.
  std::string kana;
  std::string word;
  auto flushWord = [&] {
    if (!word.empty()) kana += RomajiToKana(word, unread);
    word.clear();
  };
  for (char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      word.push_back(c);
    } else {
      flushWord();
      kana.push_back(c);
    }
  }
  flushWord();

  std::vector<Syllable> syllables;
  const auto& table = KanaTable();
  size_t i = 0;
  while (i < kana.size()) {
    char32_t cp;
    size_t n = DecodeUtf8(kana, i, cp);
    if (cp >= U'ァ' && cp <= U'ヶ') cp -= 0x60;  // katakana to hiragana
    if (cp == U'ー' || cp == U'〜' || cp == U'～') {
      if (!syllables.empty()) syllables.push_back(VowelOf(syllables.back()));
      i += n;
      continue;
    }
    std::string key = EncodeUtf8(cp);
    // A following small ゃゅょ (or small vowel) belongs to this syllable when the table
    // has the pair.
    if (i + n < kana.size()) {
      char32_t next;
      const size_t m = DecodeUtf8(kana, i + n, next);
      if (next >= U'ァ' && next <= U'ヶ') next -= 0x60;
      if (IsSmallYaYuYoOrVowel(next) && table.count(key + EncodeUtf8(next)) != 0) {
        key += EncodeUtf8(next);
        n += m;
      }
    }
    auto it = table.find(key);
    if (it != table.end())
      syllables.push_back(it->second);
    else if (unread != nullptr && IsLetter(cp))
      *unread += key;
    i += n;
  }
  return syllables;
}

}  // namespace chantera::render
