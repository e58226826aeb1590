// The MIDI the instrument understands, by name: the controllers it reads, the bank select
// that switches voices, and the phonetic protocol that spells a syllable and sings it
// (and its one encoder, for the renderer and the tests). Thread: any (constants and a
// pure function).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace chantera::midi {

// ---- Message types (the high nibble of the status byte; the channel is ignored) ---------
inline constexpr int32_t kNoteOff = 0x80;
inline constexpr int32_t kNoteOn = 0x90;
inline constexpr int32_t kControlChange = 0xB0;
inline constexpr int32_t kPitchBend = 0xE0;

// ---- Controllers -------------------------------------------------------------------------
inline constexpr int32_t kBankSelect = 0;  // then kBankSelectLow = the voice
inline constexpr int32_t kBankSelectLow = 32;
inline constexpr int32_t kModulationWheel = 1;  // vibrato depth
inline constexpr int32_t kPortamentoTime = 5;
inline constexpr int32_t kDataEntry = 6;
inline constexpr int32_t kVolume = 7;
inline constexpr int32_t kExpression = 11;
inline constexpr int32_t kDataEntryLow = 38;
inline constexpr int32_t kPortamento = 65;
inline constexpr int32_t kLegato = 68;
inline constexpr int32_t kVibratoRate = 76;   // sound controller 7
inline constexpr int32_t kVibratoDepth = 77;  // sound controller 8
inline constexpr int32_t kVibratoDelay = 78;  // sound controller 9
inline constexpr int32_t kPortamentoFrom = 84;
inline constexpr int32_t kTiming = 85;   // Timing (beat_timing.h): 64 and above "beat"
inline constexpr int32_t kQuality = 86;  // Quality (note_slots.h): 64 and above "high"
inline constexpr int32_t kNrpnLow = 98;
inline constexpr int32_t kNrpnHigh = 99;
inline constexpr int32_t kRpnLow = 100;
inline constexpr int32_t kRpnHigh = 101;
inline constexpr int32_t kAllSoundOff = 120;
inline constexpr int32_t kAllNotesOff = 123;

// A bank select of kVoiceBank then N switches to voice N of voice.csv.
inline constexpr int32_t kVoiceBank = 100;

// ---- The phonetic protocol -----------------------------------------------------------------
// NRPN kPhoneticNrpn / kPhoneticKey with data entry sets the key; NRPN (any) /
// kPhoneticFirstCharacter + i with data entry sets character i (at most three); NRPN
// (any) / kPhoneticCommit with data entry kPhoneticCommit sings it.
inline constexpr int32_t kPhoneticNrpn = 80;
inline constexpr int32_t kPhoneticKey = 2;
inline constexpr int32_t kPhoneticFirstCharacter = 19;
inline constexpr int32_t kPhoneticCharacters = 3;
inline constexpr int32_t kPhoneticCommit = 127;

struct Message {
  uint8_t status, data1, data2;
};
// Every message of one phonetic note: at most 3 + 2 × 3 + 2.
inline constexpr size_t kPhoneticNoteMessages = 3 + 2 * kPhoneticCharacters + 2;
struct PhoneticNote {
  std::array<Message, kPhoneticNoteMessages> messages{};
  size_t count = 0;
};

// The controller messages on channel that spell symbol (its first three characters) on
// key and sing it.
constexpr PhoneticNote EncodePhoneticNote(int32_t key, std::string_view symbol, uint8_t channel = 0) {
  PhoneticNote note;
  const auto status = static_cast<uint8_t>(kControlChange | (channel & 0x0F));
  const auto add = [&note, status](int32_t controller, int32_t value) {
    note.messages[note.count++] = {status, static_cast<uint8_t>(controller), static_cast<uint8_t>(value & 0x7F)};
  };
  add(kNrpnHigh, kPhoneticNrpn);
  add(kNrpnLow, kPhoneticKey);
  add(kDataEntry, key);
  for (size_t i = 0; i < symbol.size() && i < static_cast<size_t>(kPhoneticCharacters); ++i) {
    add(kNrpnLow, kPhoneticFirstCharacter + static_cast<int32_t>(i));
    add(kDataEntry, static_cast<unsigned char>(symbol[i]));
  }
  add(kNrpnLow, kPhoneticCommit);
  add(kDataEntry, kPhoneticCommit);
  return note;
}

}  // namespace chantera::midi
