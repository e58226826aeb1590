// Reading a voice's "programs.txt" into the 129 program records.
#pragma once

#include <cstdint>

namespace chantera {

class ProgramSet;
class SampleBank;

// Reads pluginDir + voiceFolder + "programs.txt". A file that cannot be opened shows
// "<path> Program file load failed." / "Error" and changes nothing; the result is then
// the message box's answer, otherwise the result of closing the file (0).
// Thread: the reloading thread; takes the program set's lock while it writes records.
int32_t LoadProgramFile(const char* pluginDir, const char* voiceFolder, ProgramSet& programs, const SampleBank& bank);

}  // namespace chantera
