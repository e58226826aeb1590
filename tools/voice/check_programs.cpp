// chantera-voice check (see check.h): the programs, judged by the key maps the instrument
// builds from them and by what lyrics and phonetic input reach.
#include <algorithm>
#include <set>

#include "engine/phoneme_table.h"
#include "tools/common/syllables.h"
#include "tools/render/words.h"
#include "tools/voice/checker.h"

namespace chantera::voice {
namespace {

constexpr int kStretchLimit = 12;  // semitones from a recording's root

std::string KeySpan(int low, int high) {
  return low == high ? "key " + std::to_string(low) : "keys " + std::to_string(low) + "-" + std::to_string(high);
}

// "program 1 (い) "i"". Appended piece by piece: GCC 12 warns -Wrestrict wrongly about
// "text" + std::string once it inlines the string's insert (as Release builds do).
std::string ProgramLabel(int32_t p, const ProgramRecord& record) {
  std::string label = "program " + std::to_string(p);
  const std::string kana = tools::ProgramKana(p);
  if (!kana.empty()) label += " (" + kana + ")";
  label += " \"";
  label += DisplayText(record.name);
  label += '"';
  return label;
}

}  // namespace

void Checker::CheckPrograms(const ProgramSet& programs, const SampleBank& bank, const std::string& file,
                            const LoadReport& report, const std::string& samplesFile, const LoadReport& samplesReport) {
  const int32_t count = bank.sampleCount.load();
  const Sample* fallback = count > 0 ? bank.slot(0) : nullptr;
  std::string slot0 = "sample slot 0 (";
  if (fallback != nullptr) {
    slot0 += '"';
    slot0 += DisplayText(fallback->fileName);
    slot0 += "\")";
  } else {
    slot0 += "silence)";
  }
  if (report.programs.empty()) {
    // One cause for every syllable: the programs and recordings it leaves unused follow.
    Add(FindingKind::kNoPrograms, file, 0, {slot0});
    return;
  }
  std::vector<bool> used(size_t(std::max(count, 0)), false);
  std::vector<int32_t> undefined;
  std::set<int32_t> reachable;
  for (const PhonemeRow& row : kPhonemeTable) reachable.insert(row.program);

  for (int32_t p = 0; p < kProgramCount; ++p) {
    const ProgramRecord& record = programs.records[size_t(p)];
    const bool defined = p < static_cast<int32_t>(report.programs.size());
    if (!defined || record.ranges.empty()) {
      if (reachable.count(p) == 0) continue;
      if (!defined) {
        undefined.push_back(p);
      } else {
        Add(FindingKind::kNoRange, file, report.programs[size_t(p)].start, {ProgramLabel(p, record), slot0});
      }
      continue;
    }
    const ProgramLines& lines = report.programs[size_t(p)];
    KeyTable table{};
    programs.BuildKeyMap(p, table);
    const std::vector<int> setter = KeySetters(record, file, lines, used);
    ReportUncovered(p, record, setter, file, lines.start, slot0);
    ReportStretch(bank, setter, table, file, lines);
  }
  if (!undefined.empty()) {
    std::string list;
    for (int32_t p : undefined) {
      if (!list.empty()) list += ' ';
      list += tools::ProgramKana(p);
    }
    Add(FindingKind::kUndefinedPrograms, file, 0,
        {render::Plural(static_cast<int64_t>(undefined.size()), "syllable"), list, slot0});
  }
  ReportUnplayed(bank, used, samplesFile, samplesReport);
}

// Which range sets each key (the last one that covers it wins; -1 for none), for the line
// to name; the ranges that set no key are reported, and the recordings played marked in
// used.
std::vector<int> Checker::KeySetters(const ProgramRecord& record, const std::string& file, const ProgramLines& lines,
                                     std::vector<bool>& used) {
  const auto count = static_cast<int32_t>(used.size());
  std::vector<int> setter(kKeyCount, -1);
  for (size_t r = 0; r < record.ranges.size(); ++r) {
    const KeyRange& range = record.ranges[r];
    const int32_t rangeLine = r < lines.ranges.size() ? lines.ranges[r] : lines.start;
    if (range.lowKey > range.highKey) {
      Add(FindingKind::kInvertedRange, file, rangeLine, {std::to_string(range.lowKey), std::to_string(range.highKey)});
      continue;
    }
    if (range.highKey < 0 || range.lowKey >= kKeyCount) {
      Add(FindingKind::kRangeOutside, file, rangeLine);
      continue;
    }
    for (int32_t k = std::max(range.lowKey, 0); k <= std::min(range.highKey, kKeyCount - 1); ++k)
      setter[size_t(k)] = static_cast<int>(r);
    if (range.sampleIndex >= 0 && range.sampleIndex < count) used[size_t(range.sampleIndex)] = true;
  }
  return setter;
}

// Recordings of samples.txt that no program plays, at their lines.
void Checker::ReportUnplayed(const SampleBank& bank, const std::vector<bool>& used, const std::string& samplesFile,
                             const LoadReport& samplesReport) {
  for (int32_t n = 0; n < static_cast<int32_t>(used.size()); ++n) {
    if (used[size_t(n)]) continue;
    const int32_t line =
        n < static_cast<int32_t>(samplesReport.sampleLines.size()) ? samplesReport.sampleLines[size_t(n)] : 0;
    // A second line of the same name: every range finds the first one.
    const bool duplicate = bank.FindSample(bank.slot(n)->fileName.c_str()) != n;
    Add(duplicate ? FindingKind::kListedTwice : FindingKind::kUnplayed, samplesFile, line, {bank.slot(n)->fileName});
  }
}

void Checker::ReportUncovered(int32_t p, const ProgramRecord& record, const std::vector<int>& setter,
                              const std::string& file, int32_t line, const std::string& slot0) {
  std::string spans;
  int uncovered = 0;
  for (int k = 0; k < kKeyCount;) {
    if (setter[size_t(k)] >= 0) {
      ++k;
      continue;
    }
    int end = k;
    while (end + 1 < kKeyCount && setter[size_t(end) + 1] < 0) ++end;
    if (!spans.empty()) spans += ", ";
    spans += std::to_string(k);
    if (end > k) {
      spans += '-';
      spans += std::to_string(end);
    }
    uncovered += end - k + 1;
    k = end + 1;
  }
  if (uncovered == 0) return;
  Add(FindingKind::kUncovered, file, line,
      {ProgramLabel(p, record), (uncovered == 1 ? "key " : "keys ") + spans, slot0});
}

// Keys that play a recording more than an octave from its root, within an octave of the
// roots the program has: outside that span every recording is stretched, and saying so
// would only repeat that the voice was not recorded there.
void Checker::ReportStretch(const SampleBank& bank, const std::vector<int>& setter, const KeyTable& table,
                            const std::string& file, const ProgramLines& lines) {
  int lowestRoot = kKeyCount, highestRoot = -1;
  std::vector<int> rootOf(kKeyCount, -1);
  for (int k = 0; k < kKeyCount; ++k) {
    if (setter[size_t(k)] < 0) continue;
    const Sample* s = bank.slot(table[size_t(k)]);
    if (s == nullptr || !(s->rootFrequency > 0.0)) continue;
    rootOf[size_t(k)] = NoteOf(s->rootFrequency);
    lowestRoot = std::min(lowestRoot, rootOf[size_t(k)]);
    highestRoot = std::max(highestRoot, rootOf[size_t(k)]);
  }
  for (int k = 0; k < kKeyCount;) {
    auto stretched = [&](int key) {
      return rootOf[size_t(key)] >= 0 && std::abs(key - rootOf[size_t(key)]) > kStretchLimit &&
             key >= lowestRoot - kStretchLimit && key <= highestRoot + kStretchLimit;
    };
    if (!stretched(k)) {
      ++k;
      continue;
    }
    int end = k;
    while (end + 1 < kKeyCount && stretched(end + 1) && setter[size_t(end) + 1] == setter[size_t(k)]) ++end;
    const size_t r = size_t(setter[size_t(k)]);
    const int32_t line = r < lines.ranges.size() ? lines.ranges[r] : lines.start;
    const Sample* s = bank.slot(table[size_t(k)]);
    Add(FindingKind::kStretched, file, line, {KeySpan(k, end), s->fileName, std::to_string(rootOf[size_t(k)])});
    k = end + 1;
  }
}

}  // namespace chantera::voice
