// TEMPORARY placeholders until the component lands; delete this file when it does.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include "library/sample.h"
#include "library/sample_bank.h"
#include "library/voice_list.h"
#include "library/program_file.h"
#include "library/chorus_builder.h"
#include "library/loader.h"
#include "library/wave_reader.h"
#include "engine/note_slots.h"
#include "engine/phoneme_table.h"
namespace chantera {
double NoteToHz(double note) noexcept { return 440.0 * std::pow(2.0, (note - 69.0) * 0.08333333333333333); }
void NoteSlots::StartNote(int32_t, int32_t) noexcept {}
void NoteSlots::ReleaseNote(int32_t) noexcept {}
void NoteSlots::RenderStretch(float*, float*, int32_t, int32_t, const StretchContext&) noexcept {}
const std::array<PhonemeRow, kPhonemeRows> kPhonemeTable{};
int32_t StripSpaces(char*) noexcept { return 0; }
int32_t FindPhonemeProgram(const char*) noexcept { return 0; }
}
