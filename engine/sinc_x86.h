// The x86 paths of the band-limited interpolator, for its sources only: where the build
// is for x86 with GCC-style builtins, CHANTERA_SINC_X86 is defined and these exist.
// Thread: audio thread (the flags are set when the library loads).
#pragma once

#include <cstdint>

#include "engine/sinc_tables.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define CHANTERA_SINC_X86 1

namespace chantera::sinc {

// The processor runs the AVX2 paths (AVX2 and FMA), the AVX-512 run (AVX-512F too).
extern const bool avx2Available;
extern const bool avx512Available;

// A stretched kernel's value over a window of floats, its points gathered from the point
// table (steps above 2).
double DotGatherAvx2(const float* window, int32_t count, double distance, double scale) noexcept;
// A value from a phase table: its frames 16-bit values read in place, or a window of floats.
double DotPhasePcm16Avx2(const PhaseTable& t, const uint8_t* frames, double fraction) noexcept;
double DotPhaseWindowAvx2(const PhaseTable& t, const float* window, double fraction) noexcept;
// A held note's run over its frames inside the recording (see SincRunMono16).
int32_t RunMono16Avx2(const PhaseTable& t, const SincSource& source, double& position, double step, double gain,
                      float* left, float* right, int32_t n) noexcept;
int32_t RunMono16Avx512(const PhaseTable& t, const SincSource& source, double& position, double step, double gain,
                        float* left, float* right, int32_t n) noexcept;

}  // namespace chantera::sinc

#endif
