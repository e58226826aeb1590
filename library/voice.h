// One voice as an instrument sings it, loaded whole: voice.csv as it was read for the
// selection, the chosen folder, its samples and its 129 programs.
//
// Threads: a voice is built on one thread (the instrument's voice loader, or the thread
// that switches voices at once) and only then handed to the others; from then on it is
// read without locks. What still changes in it: a program's name (under the owning
// instrument's lock) and, while a Chorus run works over the bank, the samples that run
// rebuilds (see sample_bank.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "library/sample_bank.h"
#include "library/voice_list.h"
#include "params/programs.h"

namespace chantera {

struct Voice {
  Voice() = default;
  // Asks a Chorus run still working over the bank to stop: nobody sings these samples
  // any more. The run keeps the bank alive until it has stopped.
  ~Voice();
  Voice(const Voice&) = delete;
  Voice& operator=(const Voice&) = delete;

  int32_t index = 0;      // the entry of the list that was loaded
  bool effectOn = false;  // loaded for the Chorus: a run was started over the bank
  VoiceList list;
  std::string folder;  // a separator, the folder name, a separator
  std::shared_ptr<SampleBank> bank;
  ProgramSet programs;
  int32_t programFileStatus = 0;  // what LoadProgramFile answered

  // Kept by the instrument that switches voices (see engine/voice_switch.h).
  uint64_t request = 0;          // the last request this voice answers
  bool selection = false;        // it answers a voice selection, not only an Effect switch
  Voice* nextRetired = nullptr;  // the list of voices handed back to be freed
};

// Reads voice.csv in pluginDir, takes entry index (entry 0 when the list has no such
// entry; the folder "Undef" when it has none at all), loads the folder's samples.txt into
// a fresh bank, starts a Chorus run over it when effectOn, and reads its programs.txt
// over programs (the records the instrument had: a program the file does not list keeps
// its record, as when the file is read again in place). The messages of a missing list,
// WAV file or program file are shown on the calling thread when the voice is built.
// Thread: any thread that may read files and wait: never a real-time audio thread.
std::unique_ptr<Voice> LoadVoice(const std::string& pluginDir, int32_t index, bool effectOn,
                                 const ProgramSet& programs);

}  // namespace chantera
