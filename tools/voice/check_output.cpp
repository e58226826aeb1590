// The voice check's findings as text for people and as JSON for programs.
#include <cstdio>
#include <filesystem>
#include <map>
#include <utility>

#include "tools/render/words.h"
#include "tools/voice/check.h"

namespace chantera::voice {
namespace {

using render::Plural;

// Of a kind found more often than this in one folder, the text shows this many.
constexpr int kShownOfAKind = 3;

// The bytes as well-formed UTF-8: each byte that does not begin a well-formed sequence
// (a stray continuation byte, a cut sequence, an overlong form, a surrogate, a code
// point past U+10FFFF) becomes U+FFFD. A voice's files may hold any bytes at all.
std::string WellFormed(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    size_t n = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (n > 1) {
      const auto second = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
      const unsigned char low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
      const unsigned char high = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
      if (i + n > text.size() || second < low || second > high) n = 0;
      for (size_t k = 2; k < n; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) n = 0;
    }
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : WellFormed(text)) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out.push_back(c);
        }
    }
  }
  return out + "\"";
}

// A name as one line: the line ends a display name takes in are shown as \n and \r.
std::string OneLine(const std::string& text) {
  std::string out;
  for (const char c : text) out += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
  return out;
}

const char* SeverityName(Severity severity) {
  return severity == Severity::kError ? "error" : "warning";
}

// Findings of one kind in one folder are told together.
using Group = std::pair<FindingKind, std::string>;
Group GroupOf(const Finding& f) {
  return {f.kind, std::filesystem::path(f.file).parent_path().string()};
}

}  // namespace

std::string FormatFinding(const Finding& f) {
  std::string out = f.file;
  if (f.line > 0) out += ':' + std::to_string(f.line);
  out += std::string(": ") + SeverityName(f.severity) + ": " + f.what + "; " + f.consequence;
  return WellFormed(out);
}

std::string FormatText(const CheckResult& result) {
  std::map<Group, std::vector<const Finding*>> groups;
  for (const Finding& f : result.findings) groups[GroupOf(f)].push_back(&f);
  std::map<Group, size_t> told;
  std::string out;
  for (const Finding& f : result.findings) {
    const std::vector<const Finding*>& group = groups[GroupOf(f)];
    // All of a small group; the first few of a large one, then one line for the rest.
    const size_t position = told[GroupOf(f)]++;
    if (group.size() <= kShownOfAKind + 1 || position < kShownOfAKind) {
      out += FormatFinding(f) + "\n";
    } else if (position == kShownOfAKind) {
      const Finding& last = *group.back();
      const bool oneFile = f.file == last.file;
      out += WellFormed(
          (oneFile ? f.file : GroupOf(f).second) + ": " + SeverityName(f.severity) + ": " +
          Plural(static_cast<int64_t>(group.size() - kShownOfAKind), "more", "more") + " of the kind above" +
          (oneFile && f.line > 0 ? " (lines " + std::to_string(f.line) + "-" + std::to_string(last.line) + ")"
                                 : std::string()) +
          "\n");
    }
  }
  for (const VoiceSummary& v : result.voices) {
    out +=
        WellFormed("voice \"" + OneLine(v.name) + "\" (" + OneLine(v.folder) + "): " + Plural(v.samples, "recording") +
                   (v.looped > 0 ? " (" + std::to_string(v.looped) + " with a sustain loop)" : std::string()) + ", " +
                   Plural(v.programs, "program") + ": ");
    if (v.errors == 0 && v.warnings == 0) {
      out += "clean\n";
    } else {
      out += Plural(v.errors, "error") + ", " + Plural(v.warnings, "warning") + "\n";
    }
  }
  return out;
}

std::string FormatJson(const CheckResult& result) {
  std::string out = "{\"findings\": [";
  for (size_t i = 0; i < result.findings.size(); ++i) {
    const Finding& f = result.findings[i];
    out += std::string(i ? ",\n  " : "\n  ") + "{\"file\": " + JsonString(f.file) +
           ", \"line\": " + std::to_string(f.line) + ", \"severity\": \"" + SeverityName(f.severity) +
           "\", \"kind\": \"" + KindName(f.kind) + "\", \"message\": " + JsonString(f.what) +
           ", \"consequence\": " + JsonString(f.consequence) + "}";
  }
  out += "],\n \"voices\": [";
  for (size_t i = 0; i < result.voices.size(); ++i) {
    const VoiceSummary& v = result.voices[i];
    out += std::string(i ? ",\n  " : "\n  ") + "{\"name\": " + JsonString(v.name) +
           ", \"folder\": " + JsonString(v.folder) + ", \"recordings\": " + std::to_string(v.samples) +
           ", \"looped\": " + std::to_string(v.looped) + ", \"programs\": " + std::to_string(v.programs) +
           ", \"errors\": " + std::to_string(v.errors) + ", \"warnings\": " + std::to_string(v.warnings) + "}";
  }
  out += "],\n \"errors\": " + std::to_string(result.errors) + ", \"warnings\": " + std::to_string(result.warnings) +
         "}\n";
  return out;
}

}  // namespace chantera::voice
