// "programs.txt": for each program a "Program" line, a P line (gain, pitch-bend range,
// name), S lines (low key, high key, sample name) and an "End" line.
//
// The records are those of a voice being built: nobody else reads them until the voice is
// handed over (see library/voice.h).
#include "library/program_file.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "library/load_report.h"
#include "library/sample_bank.h"
#include "library/text_lines.h"
#include "params/programs.h"
#include "platform/platform.h"

namespace chantera {
namespace {

constexpr size_t kMaxPendingRanges = 128;

// The gain is read in double precision and stored as a float; a value beyond the float
// range becomes an infinity of its sign (a plain conversion would be undefined).
float ToFloat(double value) {
  if (value > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
  if (value < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

// Applies the lines to the records, noting in report (when given) what it did with
// them.
void ApplyLines(const std::vector<std::string>& lines, ProgramSet& programs, const SampleBank& bank,
                LoadReport* report) {
  size_t current = 0;  // program index; kProgramCount and beyond: past the last record
  std::vector<KeyRange> pending;
  pending.reserve(kMaxPendingRanges);
  ProgramLines where;   // lines of the program being read, for the report
  bool open = false;    // a line of a program has come since the last "End"
  bool header = false;  // a P line has come since the last "Program" or "End"
  int32_t number = 0;
  for (const std::string& line : lines) {
    ++number;
    if (line == "Program") {
      // A program still open: its "End" is missing, and every program after it moves up.
      if (report != nullptr && open && where.start != 0)
        report->Add(LoadNoteKind::kEndMissing, number, std::to_string(where.start));
      header = false;
      pending.clear();
      where.ranges.clear();
      where.start = number;
      open = true;
      continue;
    }
    if (line == "End") {
      // Programs past the 129th have no record: their "End" lines change nothing.
      if (current < static_cast<size_t>(kProgramCount)) {
        ProgramRecord& record = programs.records[current];
        record.ranges = pending;  // the pending list stays for a program without "Program"
        record.rangeCount = static_cast<int32_t>(pending.size());
        if (report != nullptr) {
          where.end = number;
          report->programs.push_back(where);
        }
      } else if (report != nullptr && current == static_cast<size_t>(kProgramCount)) {
        report->Add(LoadNoteKind::kProgramsPastLimit, number);
      }
      where.start = 0;
      open = false;
      header = false;
      ++current;
      continue;
    }
    const auto fields = text::SplitFields(line, 4);
    if (fields.empty()) continue;
    if (report != nullptr && (fields[0][0] == 'P' || fields[0][0] == 'S')) {
      open = true;
      if (where.start == 0) where.start = number;
    }
    switch (fields[0][0]) {
      case 'P': {
        if (current >= static_cast<size_t>(kProgramCount)) break;
        if (report != nullptr) {
          // A second header in one program: its "End" and the next "Program" are missing.
          if (header) report->Add(LoadNoteKind::kEndMissing, number, std::to_string(where.start));
          if (fields.size() < 4) report->Add(LoadNoteKind::kHeaderIncomplete, number, line);
          if (fields.size() > 1 && !text::HoldsNumber(fields[1], false))
            report->Add(LoadNoteKind::kGainNotANumber, number, std::string(fields[1]));
          if (fields.size() > 2 && !text::HoldsNumber(fields[2], true))
            report->Add(LoadNoteKind::kBendRangeNotANumber, number, std::string(fields[2]));
          if (fields.size() > 3 && fields[3].size() > static_cast<size_t>(kProgramNameLength))
            report->Add(LoadNoteKind::kProgramNameCut, number, std::string(fields[3]));
        }
        header = true;
        // A missing field leaves its value as it was.
        ProgramRecord& record = programs.records[current];
        if (fields.size() > 1) record.volume = ToFloat(text::ParseDouble(fields[1]));
        if (fields.size() > 2) record.pitchBendRange = text::ParseInt(fields[2]);
        if (fields.size() > 3) CopyProgramName(record.name, std::string(fields[3]).c_str());
        break;
      }
      case 'S': {
        // A range needs both keys and a sample name; a line without them is ignored, and
        // ranges beyond the list's 128 are dropped.
        if (fields.size() < 4 || pending.size() >= kMaxPendingRanges) {
          if (report != nullptr)
            report->Add(fields.size() < 4 ? LoadNoteKind::kRangeIncomplete : LoadNoteKind::kRangesPastLimit, number,
                        line);
          break;
        }
        KeyRange range;
        range.lowKey = text::ParseInt(fields[1]);
        range.highKey = text::ParseInt(fields[2]);
        const int32_t index = bank.FindSample(std::string(fields[3]).c_str());
        range.sampleIndex = index < 0 ? 0 : index;
        pending.push_back(range);
        if (report != nullptr) {
          where.ranges.push_back(number);
          for (size_t key = 1; key <= 2; ++key)
            if (!text::HoldsNumber(fields[key], true))
              report->Add(LoadNoteKind::kKeyNotANumber, number, std::string(fields[key]));
          if (index < 0) report->Add(LoadNoteKind::kSampleNotFound, number, std::string(fields[3]));
        }
        break;
      }
      default:
        if (report != nullptr) report->Add(LoadNoteKind::kUnknownLine, number, line);
        break;
    }
  }
  if (report != nullptr && open) report->Add(LoadNoteKind::kProgramWithoutEnd, where.start);
}

}  // namespace

int32_t LoadProgramFile(const std::string& pluginDir, const std::string& voiceFolder, ProgramSet& programs,
                        const SampleBank& bank, LoadReport* given) {
  LoadReportScope out(given);
  const std::string path = pluginDir + voiceFolder + "programs.txt";
  // A path longer than the platform's path buffers names no file there.
  platform::File file =
      path.size() < static_cast<size_t>(platform::kMaxPath) ? platform::OpenForReading(path.c_str()) : nullptr;
  if (!file) {
    out->Fail(LoadFailureKind::kProgramFile, path);
    return out.ShowOwn();
  }

  LoadReport* report = given;  // lines are noted only for a caller that asked
  std::vector<std::string> lines;
  std::string line;
  bool cut = false;
  while (text::ReadLine(file.get(), line, &cut)) {
    lines.push_back(line);
    if (report != nullptr && cut) report->Add(LoadNoteKind::kLineCut, static_cast<int32_t>(lines.size()), line);
  }
  const int closed = platform::CloseFile(file);

  ApplyLines(lines, programs, bank, report);
  return closed == 0 ? 0 : -1;
}

}  // namespace chantera
