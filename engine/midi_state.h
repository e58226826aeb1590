// What an instance remembers of its MIDI input from one message to the next: the
// parameter numbers and data entries, bank select, the phonetic symbol being spelled and
// the phonetic note it sings. Each instance has its own: two tracks never mix each
// other's letters, bank selects or held notes.
// Thread: the audio thread, except the two atomics, which a program selection on a
// control thread reads and clears (it releases the held phonetic note), and bankLsb,
// which a voice chosen by a control thread sets.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace chantera {

struct MidiState {
  int32_t rpnMsb = -1;
  int32_t rpnLsb = -1;
  int32_t dataEntryMsb = -1;  // the last data entry for a registered parameter
  int32_t dataEntryLsb = -1;
  int32_t nrpnMsb = -1;
  int32_t nrpnLsb = -1;
  // Which kind of parameter data entry goes to: 1 after controller 99 or 98 (a
  // non-registered one: the phonetic protocol), 0 after 101 or 100 (a registered one).
  int32_t nrpnSelected = 0;
  int32_t bankMsb = 0;
  std::atomic<int32_t> bankLsb{0};  // the last voice number taken from controller 32

  // The phonetic symbol being spelled: bytes 0..2 hold its characters, the rest stays 0.
  std::array<char, 256> phoneticBuffer{};
  int32_t phoneticKey = 0;
  std::atomic<int32_t> heldKey{0};    // the key the next commit or the release timer releases
  std::atomic<bool> noteHeld{false};  // while a note counts as held
  int32_t timerGeneration = 0;        // advanced by every note-on and commit

  // Expression (engine/expression.h), from the controllers of the same numbers: legato
  // (68), portamento on (65), its time (5) and the key the next note glides from (84, -1:
  // the note before), and the vibrato's depth (1 and 77), rate (76, -1: the default) and
  // delay (78).
  bool legato = false;
  bool portamento = false;
  int32_t portamentoTime = 0;
  int32_t portamentoFrom = -1;
  int32_t modulationWheel = 0;
  int32_t vibratoDepth = 0;
  int32_t vibratoRate = -1;
  int32_t vibratoDelay = 0;
  int32_t lastKey = -1;  // the key of the note started last

  void ClearPhoneticBuffer() noexcept { phoneticBuffer.fill(0); }
};

}  // namespace chantera
