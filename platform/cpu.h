// What the processor offers the vector kernels: asked once, when the library loads (each
// kernel keeps its answer in a flag of its own, so the audio thread reads only that).
// Thread: any.
#pragma once

namespace chantera::platform {

struct CpuFeatures {
  bool avx2 = false;
  bool fma = false;
  bool avx512f = false;
};
// All false where the build is not for x86 with GCC-style builtins.
const CpuFeatures& Cpu() noexcept;

}  // namespace chantera::platform
