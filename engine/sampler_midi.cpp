// MIDI interpretation: notes, controllers, pitch bend, bank select and the phonetic
// protocol. Thread: audio thread, inside Process, at each event's frame.
#include <cstring>

#include "engine/beat_timing.h"
#include "engine/expression.h"
#include "engine/midi_protocol.h"
#include "engine/phoneme_table.h"
#include "engine/sampler.h"

namespace chantera {

namespace {
// A phonetic note is released a beat of 500 ms of 480 ticks after its commit, 480 ticks on.
constexpr double kBeatMs = 500.0;
constexpr int32_t kNoteTicks = 480;
constexpr auto kPhoneticReleaseMs = static_cast<uint32_t>(kBeatMs * kNoteTicks / 480);  // 500 ms
}  // namespace

void Sampler::HandleMidiMessage(int32_t status, int32_t data1, int32_t data2) noexcept {
  // Under a latency the notes sound late, and so do the controllers that shape them
  // (beat_timing.h); the rest (program, phonetic spelling, bank select) is read now, for
  // the notes that follow to find their recordings.
  const int32_t type = status & 0xF0;
  const int32_t controller = data1 & 0x7F;
  const bool shapesSound =
      type == midi::kPitchBend ||
      (type == midi::kControlChange &&
       (controller == midi::kVolume || controller == midi::kExpression || controller == midi::kModulationWheel ||
        controller == midi::kVibratoRate || controller == midi::kVibratoDepth));
  const int64_t latency = LatencyFrames();
  if (shapesSound && latency > 0 && delayed_.Push({now_ + latency, status, data1, data2})) return;
  Interpret(status, data1, data2);
}

void Sampler::Interpret(int32_t status, int32_t data1, int32_t data2) noexcept {
  const int32_t type = status & 0xF0;  // the channel is ignored: all 16 act alike
  const int32_t number = data1 & 0x7F;
  const int32_t value = data2 & 0x7F;

  switch (type) {
    case midi::kNoteOn:
      if (value != 0) {
        midi_.noteHeld.store(true, std::memory_order_relaxed);
        StartNote(number, value);
        // The phonetic key, not this note's key: a note-on only keeps a pending phonetic
        // release from happening.
        midi_.heldKey.store(midi_.phoneticKey, std::memory_order_relaxed);
        ++midi_.timerGeneration;
        return;
      }
      [[fallthrough]];  // velocity 0 is a note-off
    case midi::kNoteOff:
      ReleaseNote(number);
      midi_.noteHeld.store(false, std::memory_order_relaxed);
      return;
    case midi::kPitchBend:
      pitchBend_ = value * 128 + number - 8192;
      return;
    case midi::kControlChange:
      HandleController(number, value);
      // The registered-parameter rule, after every controller message: once RPN 0/0 is
      // selected and both data-entry controllers have been seen, every controller sets
      // the pitch-bend range to the last data-entry value again. Selecting a
      // non-registered parameter (99, 98) deselects it until 101 or 100 come again, so
      // the phonetic protocol's data entries (keys, characters) never become ranges.
      if (midi_.nrpnSelected == 0 && midi_.rpnMsb == 0 && midi_.rpnLsb == 0 && midi_.dataEntryMsb >= 0 &&
          midi_.dataEntryLsb >= 0) {
        pitchBendRange_.store(midi_.dataEntryMsb, std::memory_order_relaxed);
        rangeSetSinceSwitch_.store(true, std::memory_order_relaxed);
      }
      return;
    default:
      return;  // pressure, program change, system messages, stray data bytes
  }
}

void Sampler::HandleController(int32_t controller, int32_t value) noexcept {
  switch (controller) {
    case midi::kAllSoundOff:
    case midi::kAllNotesOff:
      ReleaseNote(-1);
      break;
    case midi::kTiming:
      timingBeat_.store(value >= 64, std::memory_order_relaxed);
      break;
    case midi::kQuality:
      SetQuality(value >= 64 ? Quality::kHigh : Quality::kLive);
      break;
    case midi::kLegato:
      midi_.legato = value >= 64;
      break;
    case midi::kPortamento:
      midi_.portamento = value >= 64;
      break;
    case midi::kPortamentoTime:
      midi_.portamentoTime = value;
      break;
    case midi::kPortamentoFrom:
      midi_.portamentoFrom = value;
      break;
    case midi::kModulationWheel:
      midi_.modulationWheel = value;
      break;
    case midi::kVibratoDepth:
      midi_.vibratoDepth = value;
      break;
    case midi::kVibratoRate:
      midi_.vibratoRate = value;
      break;
    case midi::kVibratoDelay:
      midi_.vibratoDelay = value;
      break;
    case midi::kBankSelect:
      midi_.bankMsb = value;
      break;
    case midi::kBankSelectLow:
      if (midi_.bankMsb == midi::kVoiceBank && value != midi_.bankLsb.load(std::memory_order_relaxed)) {
        midi_.bankLsb.store(value, std::memory_order_relaxed);
        const int32_t index = value < sung_[0]->list.voiceCount ? value : 0;
        if (bankSelectInBackground_.load(std::memory_order_relaxed)) {
          // In real time: loaded on the voice loader while this voice sings on; it takes
          // over at the start of the first block after it is complete.
          SwitchVoice(index, Switching::kInBackground);
        } else {
          // Offline: loaded here, and it sings from this very frame on.
          SwitchVoice(index, Switching::kAtOnce);
          TakeOverVoice();
        }
      }
      break;
    case midi::kExpression:
      expression_ = static_cast<float>(value * (1.0 / 127.0));
      break;
    case midi::kVolume:
      volume_.store(static_cast<float>(value * (1.0 / 127.0)), std::memory_order_relaxed);
      volumeSetSinceSwitch_.store(true, std::memory_order_relaxed);
      break;
    case midi::kRpnHigh:
      midi_.rpnMsb = value;
      midi_.nrpnSelected = 0;
      break;
    case midi::kRpnLow:
      midi_.rpnLsb = value;
      midi_.nrpnSelected = 0;
      break;
    case midi::kNrpnHigh:
      midi_.nrpnMsb = value;
      midi_.nrpnSelected = 1;
      break;
    case midi::kNrpnLow:
      midi_.nrpnLsb = value;
      midi_.nrpnSelected = 1;
      break;
    case midi::kDataEntry:
      DataEntry(value);
      break;
    case midi::kDataEntryLow:
      midi_.dataEntryLsb = 0;
      break;
    default:
      break;
  }
}

void Sampler::DataEntry(int32_t value) noexcept {
  // Data entry goes to the kind of parameter selected last. A registered parameter's
  // value (the pitch-bend range) spells nothing, even when the last phonetic parameter
  // is still set; a phonetic key or character is no range, not even once 101 or 100
  // select the registered parameter again.
  if (midi_.nrpnSelected == 0) {
    midi_.dataEntryMsb = value;
    return;
  }
  if (value == midi::kPhoneticCommit && midi_.nrpnLsb == midi::kPhoneticCommit) {
    CommitPhonetic();
    return;
  }
  switch (midi_.nrpnLsb) {
    case midi::kPhoneticKey:
      if (midi_.nrpnMsb == midi::kPhoneticNrpn) midi_.phoneticKey = value;
      break;
    case midi::kPhoneticFirstCharacter:
    case midi::kPhoneticFirstCharacter + 1:
    case midi::kPhoneticFirstCharacter + 2:
      midi_.phoneticBuffer[static_cast<size_t>(midi_.nrpnLsb - midi::kPhoneticFirstCharacter)] =
          static_cast<char>(value);
      break;
    default:
      break;
  }
}

void Sampler::CommitPhonetic() noexcept {
  bool held = true;
  if (midi_.noteHeld.compare_exchange_strong(held, false, std::memory_order_acq_rel))
    ReleaseNote(midi_.heldKey.load(std::memory_order_relaxed));

  char symbol[4];
  for (size_t i = 0; i < 3; ++i) symbol[i] = midi_.phoneticBuffer[i];
  symbol[3] = 0;
  SelectProgram(FindPhonemeProgram(symbol), true);

  const int32_t key = midi_.phoneticKey;
  midi_.noteHeld.store(true, std::memory_order_relaxed);
  StartNote(key, 127);
  midi_.heldKey.store(key, std::memory_order_relaxed);
  ++midi_.timerGeneration;
  ArmReleaseTimer(kPhoneticReleaseMs);
  midi_.ClearPhoneticBuffer();
}

}  // namespace chantera
