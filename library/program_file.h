// Reading a voice's "programs.txt" into the 129 program records.
#pragma once

#include <cstdint>
#include <string>

namespace chantera {

struct LoadReport;
class ProgramSet;
class SampleBank;

// Reads pluginDir + voiceFolder + "programs.txt". A file that cannot be opened is a
// failure ("<path> Program file load failed." / "Error", see load_report.h) and changes
// nothing; without a report the message is shown here and the result is its answer
// (with one, the caller shows it and the result is 0). Otherwise the result is that of
// closing the file (0, or -1). report, when given, also receives the lines of each
// program and what was ignored, cut or not found (the voice check tool); the load is the
// same with or without it.
// Thread: the thread that builds the voice the records belong to.
int32_t LoadProgramFile(const std::string& pluginDir, const std::string& voiceFolder, ProgramSet& programs,
                        const SampleBank& bank, LoadReport* report = nullptr);

}  // namespace chantera
