// A "programs.txt" through the program loader against a small sample list, then the key
// map of every program.
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.h"
#include "library/program_file.h"
#include "library/sample_bank.h"
#include "params/programs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chantera;
  static SampleBank bank;
  static const bool prepared = [] {
    const char list[] = "a.wav,a,60\nb.wav,b,62\nc.wav,c,64\n";
    fuzz::WriteInput("samples.txt", reinterpret_cast<const uint8_t*>(list), sizeof list - 1);
    bank.LoadSampleList(fuzz::Folder().c_str(), "/");
    return true;
  }();
  (void)prepared;
  fuzz::WriteInput("programs.txt", data, size);
  static ProgramSet programs;  // records carry over from one file to the next, as in use
  LoadProgramFile(fuzz::Folder().c_str(), "/", programs, bank);
  KeyTable table;
  for (int p = 0; p < kProgramCount; ++p) {
    const ProgramRecord& record = programs.records[static_cast<size_t>(p)];
    if (record.rangeCount != static_cast<int32_t>(record.ranges.size()) && record.rangeCount != 0) std::abort();
    if (record.name[kProgramNameLength] != '\0') std::abort();
    programs.BuildKeyMap(p, table);
    for (int32_t index : table)
      if (index < 0 || index >= kSampleSlots) std::abort();
  }
  return 0;
}
