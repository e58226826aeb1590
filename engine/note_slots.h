// The 16 note slots and the rendering of one stretch of frames between MIDI events.
// Thread: audio thread only. Every function here is noexcept, allocates nothing and
// takes no lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "library/pitch.h"
#include "params/parameters.h"
#include "params/programs.h"

namespace chantera {

class Sample;
class SampleBank;

inline constexpr int kNoteSlots = 16;

// What a slot's note is doing: nothing (free), held (started and not yet released), or in
// its release phase.
enum class SlotState : uint8_t { kFree, kHeld, kReleasing };

struct NoteSlot {
  SlotState state = SlotState::kFree;
  int32_t key = 60;
  int32_t velocity = 0;
  double position = 0.0;  // playback position in sample frames
  double level = 0.0;     // release level
  // The bank slot the note plays: the key map's at the note's first stretch (-1 until
  // then). A released note keeps it to the end; a held note follows the key map, and a
  // change of recording under it crosses over rather than jumping.
  int32_t sampleIndex = -1;
  // The crossover from the recording a program change took away: its bank slot, its own
  // position, and the frames of the crossover still to come (0: none under way).
  int32_t fadeIndex = -1;
  double fadePosition = 0.0;
  int32_t fadeFrames = 0;
  // Which voice's bank sampleIndex and fadeIndex point into: 0 the voice that sings now,
  // 1 the one before it, ... (a note keeps the recordings of the voice it started on).
  uint8_t sampleAge = 0;
  uint8_t fadeAge = 0;
  // Timing "beat" (engine/beat_timing.h), in frames of the instance's clock, -1 for none:
  // a note placed ahead of its note-on waits silent until startAt; a note-off is carried
  // out at releaseAt (releaseAtOnce: ended without a release phase, as all notes off
  // does); a note that the next one overlaps fades out linearly over fadeOutLength frames
  // from fadeOutAt and ends. fadeOutLeft counts the frames of the fade still to come.
  int64_t startAt = -1;
  int64_t releaseAt = -1;
  bool releaseAtOnce = false;
  int64_t fadeOutAt = -1;
  int32_t fadeOutLength = 0;
  int32_t fadeOutLeft = 0;
  // Expression (engine/expression.h): the pitch offset in semitones the note renders with
  // (0.0 without a glide or vibrato), the glide from another pitch (semitones at its start,
  // its length and the frames of it done), and the vibrato's own clock. A legato note
  // under Timing "beat" takes its new key at retuneAt (-1: none pending).
  double pitchOffset = 0.0;
  double glideFrom = 0.0;
  int32_t glideFrames = 0;
  int32_t glideDone = 0;
  double pitchRatio = 1.0;  // 2^(pitchOffset / 12)
  int64_t vibratoAge = 0;
  int32_t vibratoDelay = 0;
  double vibratoCos = 1.0;  // the vibrato's phase as a point on the unit circle,
  double vibratoSin = 0.0;  // turned on by Advance (no sine per slot and stretch)
  int64_t retuneAt = -1;
  int32_t retuneKey = 0;
  int32_t retuneGlide = 0;
  bool Held() const noexcept { return state == SlotState::kHeld; }
  bool Releasing() const noexcept { return state == SlotState::kReleasing; }
  bool Sounding() const noexcept { return state != SlotState::kFree; }
  // The key its note-off names: a pending legato retune's.
  int32_t HeldKey() const noexcept { return retuneAt >= 0 ? retuneKey : key; }
};

// What shapes every note's pitch besides its key and the bend: the vibrato the controllers
// set (depth in semitones, 0: none; rate in cycles per frame; fade-in in frames), and the
// glide a legato retune or a new note takes (frames; 0: none).
struct Modulation {
  double vibratoDepth = 0.0;
  double vibratoStep = 0.0;
  double vibratoFade = 1.0;
};

// Voices whose recordings notes may play at once: the one that sings and those that
// notes started before the last voice switches still fade out on.
inline constexpr int kVoiceAges = 4;

// Length of a crossover between two recordings under a held note.
inline constexpr double kCrossoverSeconds = 0.005;

// ReleaseFactor is defined frame by frame at this rate: a released note's level is
// multiplied by 1 − releaseFactor × frequency every frame of 44.1 kHz.
inline constexpr double kReleaseReferenceRate = 44100.0;
// The multiplier of one frame at hostRate that gives the same release in time; exactly
// 1 − releaseFactor × frequency at the reference rate (and for a rate that is unusable).
double ReleaseMultiplier(double releaseFactor, double frequency, double hostRate) noexcept;

// A bank as a stretch reads it: the bank and its Chorus loader's flags, loaded with
// acquire ordering at the stretch's start.
struct BankView {
  const SampleBank* bank = nullptr;
  bool loaderBusy = false;
  int32_t loaderProgress = -1;
};

// How a note's recording is read between its frames: kLive by linear interpolation (the
// instrument as it always played, bit for bit), kHigh by the band-limited kernel of
// sinc_kernel.h, for renders that need not keep up with a live host.
enum class Quality : uint8_t { kLive, kHigh };

// What a stretch reads, taken once at its start by the instrument.
struct StretchContext {
  const KeyTable* keyMap = nullptr;  // the key map of the current program
  // The bank of the voice that sings (age 0), with its loader flags.
  const SampleBank* bank = nullptr;
  bool loaderBusy = false;
  int32_t loaderProgress = -1;
  // The banks of ages 1 .. kVoiceAges - 1 (null where none is kept).
  std::array<BankView, kVoiceAges - 1> older{};
  int32_t pitchBend = 0;       // -8192..8191
  int32_t pitchBendRange = 2;  // semitones
  float volume = 1.0f;
  float expression = 100.0f / 127.0f;
  double releaseFactor = kDefaultReleaseFactor;
  const std::atomic<double>* releaseLimit = nullptr;  // read anew every frame
  double hostSampleRate = 44100.0;
  Quality quality = Quality::kLive;
};

// The bank slot in the key map for key, or -1 when there is no map or no such key.
int32_t MappedIndex(const StretchContext& context, int32_t key) noexcept;
// Bank slot index of the bank of the given age, with the guards of its Chorus loader
// (see KeySample).
const Sample* IndexSample(const StretchContext& context, int32_t index, int age = 0) noexcept;
// The sample that plays a key, with the guards of the Chorus loader: null before the
// loader finished its first sample; while the loader runs, never a sample above
// loaderProgress.
const Sample* KeySample(const StretchContext& context, int32_t key) noexcept;
// Root frequency of the key's sample, or 0.0 when none may be read.
double GetKeyRootFrequency(const StretchContext& context, int32_t key) noexcept;
// Value of the key's sample at a frame and channel (0 when none may be read).
int16_t GetKeySampleValue(const StretchContext& context, int32_t key, uint32_t frame, int channel) noexcept;
// The step of a note of the given frequency on a sample: frequency / root, times the
// ratio of the sample's rate to the host's. 0.0 when the sample cannot be played.
double SampleStep(const Sample* sample, double frequency, double hostRate) noexcept;
// Frames of a crossover between two recordings at the host's rate (at least 1).
int32_t CrossoverFrames(double hostRate) noexcept;

class NoteSlots {
 public:
  // First free slot (neither held nor releasing) takes the note and its index is
  // returned; none free: the note is dropped (-1).
  int32_t StartNote(int32_t key, int32_t velocity) noexcept;
  // Releases every held slot of key; key -1 ends every held slot at once (releasing
  // slots go on fading).
  void ReleaseNote(int32_t key) noexcept;
  // The same, carried out at frame `at` of the instance's clock (ApplyDue). A slot whose
  // note-off is already on its way keeps it.
  void ScheduleRelease(int32_t key, int64_t at) noexcept;
  // Carries out what is due at frame now: notes that start, note-offs, fades that begin.
  void ApplyDue(int64_t now) noexcept;
  // The earliest frame at which something is still to be carried out (INT64_MAX: none).
  int64_t NextDue() const noexcept;
  // Sets each sounding slot's pitch offset for the frames about to render from its glide
  // and the vibrato; true when any offset is not 0 or may change (the caller then renders
  // in short stretches). Without either, every offset stays exactly 0.0.
  bool Modulate(const Modulation& modulation) noexcept;
  // Whether any note sounds now (started, held or releasing).
  bool Audible() const noexcept;
  // Moves each sounding slot's clocks on by frames rendered.
  void Advance(int32_t frames, const Modulation& modulation) noexcept;
  // A held slot takes another key without a new attack: its recording and position go on,
  // its pitch glides there over glideFrames (0: at once) from where it sounds now.
  static void Retune(NoteSlot& slot, int32_t key, int32_t glideFrames) noexcept;
  // A voice switch: every recording a sounding note plays becomes one age older. A note
  // whose recording would pass the oldest age kept ends at once (its voice is let go).
  void AgeVoices() noexcept;
  // Whether a sounding note still plays a recording of the voice of this age.
  bool PlaysVoice(int age) const noexcept;
  // Adds n frames from firstFrame on of every sounding slot into left and right.
  void RenderStretch(float* left, float* right, int32_t firstFrame, int32_t n, const StretchContext& context) noexcept;
  // The same with each slot's glide and the vibrato (Modulate), in stretches of
  // kPitchControlFrames while a pitch moves; the slots' clocks advance (Advance).
  void RenderModulated(float* left, float* right, int32_t firstFrame, int32_t n, const StretchContext& context,
                       const Modulation& modulation) noexcept;

  std::array<NoteSlot, kNoteSlots> slots;

 private:
  // NoteToHz of each slot's last note (key + bend): the power function runs only when a
  // slot's note changes, not for every slot of every stretch.
  struct FrequencyCache {
    double note = -1.0e300;
    double hz = 0.0;
  };
  std::array<FrequencyCache, kNoteSlots> frequencies_{};
};

}  // namespace chantera
