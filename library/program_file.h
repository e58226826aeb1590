// Reading a voice's "programs.txt" into the 129 program records.
#pragma once

#include <cstdint>

namespace chantera {

struct LoadReport;
class ProgramSet;
class SampleBank;

// Reads pluginDir + voiceFolder + "programs.txt". A file that cannot be opened shows
// "<path> Program file load failed." / "Error" and changes nothing; the result is then
// the message box's answer, otherwise the result of closing the file (0). report, when
// given, receives the lines of each program and what was ignored, cut or not found (the
// voice check tool); the load is the same with or without it.
// Thread: the thread that builds the voice the records belong to.
int32_t LoadProgramFile(const char* pluginDir, const char* voiceFolder, ProgramSet& programs, const SampleBank& bank,
                        LoadReport* report = nullptr);

}  // namespace chantera
