// The band-limited interpolator of Quality "high": a Kaiser-windowed sinc whose cut-off
// follows the playback step, so that a note played above its root loses the partials that
// would pass the host's Nyquist frequency instead of mirroring them back (as the linear
// kernel does), and one played below keeps the recording's images out.
//
// The prototype low-pass spans kSincHalfWidth frames on each side; its Kaiser window puts
// the stopband kSincStopbandDb down from half the frame rate on, which places its -6 dB
// point (kSincCutoff) half a transition band below. At a step above 1 it is stretched by
// the step (scale = 1 / step, rounded down to a semitone's up to an octave above the
// root): the cut-off falls with the new Nyquist frequency and the window reads step times
// as many frames. Values come from tables of kSincTablePoints points per frame, linearly
// interpolated.
//
// How the recording is read around a position: frames before 0 and past the readable end
// read 0; a held note on a sustain loop reads the loop over and over past its end. Frames
// before the loop's start stay the recording's own, also just after the position wrapped
// (as the linear kernel's, at once): the seam was blended when the sample loaded, so
// they are close to the loop's last frames.
//
// Thread: audio thread for everything but the reference (tests). noexcept, allocation-free
// (the window lives on the stack; the table is built when the library loads).
#pragma once

#include <cstdint>

namespace chantera {

class Sample;

// Half the prototype's length, in frames of the recording at a step of 1 or less.
inline constexpr int kSincHalfWidth = 16;
// Table points per frame of the prototype.
inline constexpr int kSincTablePoints = 512;
// How far down the stopband lies, in dB.
inline constexpr double kSincStopbandDb = 95.0;
// The prototype's cut-off (-6 dB), in cycles per frame of the recording: Kaiser's
// transition band for that depth over that length, (A - 7.95) / (2.285 × 2π × length),
// ends at the Nyquist frequency.
inline constexpr double kSincCutoff =
    0.5 - (kSincStopbandDb - 7.95) / (2.285 * 2.0 * 3.141592653589793 * (2 * kSincHalfWidth)) / 2.0;
// The largest step the cut-off follows (four octaves above the root): the window reads
// 2 × kSincHalfWidth × step frames per output frame, which stays bounded above it.
inline constexpr double kSincMaxStep = 16.0;

// A recording as the interpolator reads it.
struct SincSource {
  const uint8_t* pcm = nullptr;  // interleaved little-endian frames
  uint32_t frames = 0;           // readable frames
  uint32_t channels = 1;         // 1 or 2
  bool sixteenBit = true;        // otherwise unsigned 8-bit
  // A held note on a sustain loop: frames from loopEnd on read the loop again
  // (loopEnd > loopStart; 0 and 0 when the note reads straight through).
  uint32_t loopStart = 0;
  uint32_t loopEnd = 0;

  bool Looping() const noexcept { return loopEnd > loopStart; }
  // The value of a frame and channel as a signed 16-bit number, with the edges above.
  int32_t Value(int64_t frame, uint32_t channel) const noexcept;
};

// The source of a sample; looping: the note is held and the sample has a loop.
SincSource SincSourceOf(const Sample& sample, bool looping) noexcept;

// How many frames the kernel reads on either side of a position for a note advancing by
// step: past the data's end by more than this, a value is 0.
int32_t SincReach(double step) noexcept;

// True when the processor runs the AVX2 path (x86 with AVX2 and FMA).
bool SincAvx2Available() noexcept;

// The value of channel c of the band-limited signal at a position (in frames of the
// recording) for a note advancing by step frames per output frame; the chosen path.
double SincValue(const SincSource& source, double position, double step, uint32_t c) noexcept;
// Adds frames of a mono 16-bit source (value × gain into left and right, position
// advanced by step for each) for as long as, up to n, every frame the kernel reads lies
// inside the data (and before a loop's end), on the fast path where the processor has
// one: AVX-512 where it has it, else AVX2. Returns how many it rendered (0 without a fast
// path); the caller renders the rest frame by frame through SincValue, which gives the
// same values to within the float sums' rounding. SincRunMono16Avx2 runs the AVX2 path
// only (tests).
int32_t SincRunMono16(const SincSource& source, double& position, double step, double gain, float* left, float* right,
                      int32_t n) noexcept;
int32_t SincRunMono16Avx2(const SincSource& source, double& position, double step, double gain, float* left,
                          float* right, int32_t n) noexcept;
// True when the processor runs the AVX-512 run (x86 with AVX-512F).
bool SincAvx512Available() noexcept;
// The same through one path: the plain one runs everywhere; the AVX2 one only where
// SincAvx2Available (elsewhere it answers the plain one's value).
double SincValuePlain(const SincSource& source, double position, double step, uint32_t c) noexcept;
double SincValueAvx2(const SincSource& source, double position, double step, uint32_t c) noexcept;
// The same in double precision with the kernel computed exactly (no table): what both
// paths are checked against. Thread: any (tests).
double SincValueReference(const SincSource& source, double position, double step, uint32_t c) noexcept;

}  // namespace chantera
