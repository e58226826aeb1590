// The rendering of one stretch written as its plain per-fetch formula, slot after slot,
// through the guarded reads: what the fast kernels must match bit for bit.
#pragma once

#include <array>
#include <cstdint>

#include "engine/note_slots.h"

namespace chantera::test {

void ReferenceRender(std::array<NoteSlot, kNoteSlots>& slots, float* left, float* right, int32_t first, int32_t n,
                     const StretchContext& c);

}  // namespace chantera::test
