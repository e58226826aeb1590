// MIDI interpretation: notes, controllers, pitch bend, bank select and the phonetic
// protocol. Thread: audio thread, inside Process, at each event's frame.
#include <cstring>

#include "engine/module_state.h"
#include "engine/phoneme_table.h"
#include "engine/sampler.h"

namespace chantera {

namespace {
constexpr uint32_t kPhoneticReleaseMs =
    static_cast<uint32_t>(ModuleState::beatMs * ModuleState::noteTicks / 480);  // 500 ms
}

void Sampler::HandleMidiMessage(int32_t status, int32_t data1, int32_t data2) noexcept {
  if (reloading_.load(std::memory_order_acquire) != 0) return;
  ModuleState& module = Module();
  const int32_t type = status & 0xF0;  // the channel is ignored: all 16 act alike
  const int32_t number = data1 & 0x7F;
  const int32_t value = data2 & 0x7F;

  switch (type) {
    case 0x90:
      if (value != 0) {
        module.noteHeld.store(1, std::memory_order_relaxed);
        slots_.StartNote(number, value);
        // The phonetic key, not this note's key: a note-on only keeps a pending phonetic
        // release from happening.
        module.heldKey.store(module.phoneticKey.load(std::memory_order_relaxed), std::memory_order_relaxed);
        module.timerGeneration.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      [[fallthrough]];  // velocity 0 is a note-off
    case 0x80:
      slots_.ReleaseNote(number);
      module.noteHeld.store(0, std::memory_order_relaxed);
      return;
    case 0xE0:
      pitchBend_ = value * 128 + number - 8192;
      return;
    case 0xB0:
      HandleController(number, value);
      // The registered-parameter rule, after every controller message: once RPN 0/0 is
      // selected and both data-entry controllers have been seen, every controller sets
      // the pitch-bend range to the last data-entry value again. Selecting a
      // non-registered parameter (99, 98) deselects it until 101 or 100 come again, so
      // the phonetic protocol's data entries (keys, characters) never become ranges.
      if (module.nrpnSelected.load(std::memory_order_relaxed) == 0 &&
          module.rpnMsb.load(std::memory_order_relaxed) == 0 && module.rpnLsb.load(std::memory_order_relaxed) == 0 &&
          module.dataEntryMsb.load(std::memory_order_relaxed) >= 0 &&
          module.dataEntryLsb.load(std::memory_order_relaxed) >= 0)
        pitchBendRange_.store(module.dataEntryMsb.load(std::memory_order_relaxed), std::memory_order_relaxed);
      return;
    default:
      return;  // pressure, program change, system messages, stray data bytes
  }
}

void Sampler::HandleController(int32_t controller, int32_t value) noexcept {
  ModuleState& module = Module();
  switch (controller) {
    case 120:
    case 123:
      slots_.ReleaseNote(-1);
      break;
    case 0:
      module.bankMsb.store(value, std::memory_order_relaxed);
      break;
    case 32:
      if (module.bankMsb.load(std::memory_order_relaxed) == 100 &&
          value != module.bankLsb.load(std::memory_order_relaxed)) {
        module.bankLsb.store(value, std::memory_order_relaxed);
        try {
          // Loads the voice's files here, inside the audio callback, before the next
          // stretch is rendered: a bank select is a deliberate, heavy operation.
          SelectVoice(value < voices_.voiceCount ? value : 0);
        } catch (...) {
          // Out of memory while reading the voice: play on with what is loaded.
        }
      }
      break;
    case 11:
      expression_ = static_cast<float>(value * (1.0 / 127.0));
      break;
    case 7:
      volume_.store(static_cast<float>(value * (1.0 / 127.0)), std::memory_order_relaxed);
      break;
    case 101:
      module.rpnMsb.store(value, std::memory_order_relaxed);
      module.nrpnSelected.store(0, std::memory_order_relaxed);
      break;
    case 100:
      module.rpnLsb.store(value, std::memory_order_relaxed);
      module.nrpnSelected.store(0, std::memory_order_relaxed);
      break;
    case 99:
      module.nrpnMsb.store(value, std::memory_order_relaxed);
      module.nrpnSelected.store(1, std::memory_order_relaxed);
      break;
    case 98:
      module.nrpnLsb.store(value, std::memory_order_relaxed);
      module.nrpnSelected.store(1, std::memory_order_relaxed);
      break;
    case 6:
      DataEntry(value);
      break;
    case 38:
      module.dataEntryLsb.store(0, std::memory_order_relaxed);
      break;
    default:
      break;
  }
}

void Sampler::DataEntry(int32_t value) noexcept {
  ModuleState& module = Module();
  // Data entry goes to the kind of parameter selected last. A registered parameter's
  // value (the pitch-bend range) spells nothing, even when the last phonetic parameter
  // is still set; a phonetic key or character is no range, not even once 101 or 100
  // select the registered parameter again.
  if (module.nrpnSelected.load(std::memory_order_relaxed) == 0) {
    module.dataEntryMsb.store(value, std::memory_order_relaxed);
    return;
  }
  const int32_t nrpnLsb = module.nrpnLsb.load(std::memory_order_relaxed);
  if (value == 127 && nrpnLsb == 127) {
    CommitPhonetic();
    return;
  }
  switch (nrpnLsb) {
    case 2:
      if (module.nrpnMsb.load(std::memory_order_relaxed) == 80)
        module.phoneticKey.store(value, std::memory_order_relaxed);
      break;
    case 19:
    case 20:
    case 21:
      module.phoneticBuffer[static_cast<size_t>(nrpnLsb - 19)].store(static_cast<char>(value),
                                                                     std::memory_order_relaxed);
      break;
    default:
      break;
  }
}

void Sampler::CommitPhonetic() noexcept {
  ModuleState& module = Module();
  int32_t held = 1;
  if (module.noteHeld.compare_exchange_strong(held, 0, std::memory_order_acq_rel))
    slots_.ReleaseNote(module.heldKey.load(std::memory_order_relaxed));

  char symbol[4];
  for (size_t i = 0; i < 3; ++i) symbol[i] = module.phoneticBuffer[i].load(std::memory_order_relaxed);
  symbol[3] = 0;
  SelectProgram(FindPhonemeProgram(symbol), true);

  const int32_t key = module.phoneticKey.load(std::memory_order_relaxed);
  module.noteHeld.store(1, std::memory_order_relaxed);
  slots_.StartNote(key, 127);
  module.heldKey.store(key, std::memory_order_relaxed);
  module.timerGeneration.fetch_add(1, std::memory_order_relaxed);
  ArmReleaseTimer(kPhoneticReleaseMs);
  module.ClearPhoneticBuffer();
}

}  // namespace chantera
