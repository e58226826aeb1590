// The instrument itself, free of any plug-in interface: one instance's voice, programs,
// note slots and MIDI state, and the operations a host drives it with. The VST 2 layer
// (host/) and the DPF one (formats/) translate their calls into these. Nothing here is
// shared between instances: two instances in one process never hear of each other.
//
// Threads and what keeps them apart:
// - Control threads (the host's main thread, and whichever thread sets parameters or
//   programs) call the operations marked "control".
// - The audio thread calls BeginEvents/QueueEvent/Process (and through them
//   HandleMidiMessage). It never waits, reads no file and allocates nothing, unless a
//   host that renders offline (or does not say) has it switch voices at once.
// - The voice is built whole on another thread and handed over through VoiceSwitch
//   (voice_switch.h): the audio thread takes a new voice at the start of a block, or, in
//   an offline render, at the frame of the bank select that asked for it; notes that
//   sound then play on from the voice they started on until they end.
// - The Chorus loader thread touches only the sample bank it rebuilds, which it shares.
// - Releases asked for by control threads (a program selection releasing the held
//   phonetic note) are handed to the audio thread through an atomic key mask and applied
//   at the start of its next block; the note slots are the audio thread's alone.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/beat_timing.h"
#include "engine/event_queue.h"
#include "engine/midi_state.h"
#include "engine/note_slots.h"
#include "engine/voice_switch.h"
#include "library/sample_bank.h"
#include "library/voice_list.h"
#include "params/parameters.h"
#include "params/programs.h"

namespace chantera {

class Sampler {
 public:
  // How a voice switch (bank select, Voice parameter, Effect switch) is carried out.
  enum class Switching : uint8_t {
    // On the calling thread, before the call returns; a bank select on the audio thread
    // takes effect at its own frame. Offline renders, and hosts that do not say.
    kAtOnce,
    // On the instance's voice loader: the call returns at once, the old voice sings on
    // until the new one is complete, which takes over at the start of a block.
    kInBackground,
  };

  // Builds the instrument: loads voice 0 of the voice list in pluginDir (samples, then
  // programs), sets up the event queue, slots and controller defaults and selects
  // program 0. What the voices' files make it say goes to messageSink (null: where the
  // module's messages go), from voice 0 on. Control thread.
  explicit Sampler(std::string pluginDir, platform::MessageSink messageSink = nullptr);
  // Control thread; the host has stopped calling the audio operations.
  ~Sampler();
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  // Ends the voice loader and asks every Chorus run to stop, then waits while the one
  // over the newest voice is busy (sleeps of 100 ms; after the 601st a beep, and the wait
  // is given up). A bank stays alive for as long as a run uses it. Control thread,
  // before destruction, with the audio operations no longer called.
  void Shutdown();

  // ---- Control operations -------------------------------------------------------------
  void SetHostSampleRate(float rate) noexcept;
  void SetProgram(int32_t program);
  int32_t GetProgram() const noexcept { return currentProgram_.load(std::memory_order_relaxed); }
  void SetProgramName(const char* name);
  void GetProgramName(char* text) const;  // writes 25 bytes
  bool GetProgramNameIndexed(int32_t index, char* text) const;
  // Parameters 0..4; the Effect switch (2) as SetEffect with the given switching.
  void SetParameter(int32_t index, float value, Switching switching = Switching::kAtOnce);
  float GetParameter(int32_t index) const noexcept;
  // The Effect switch: a change of state reloads every sample and the programs of the
  // voice (a fresh bank, rebuilt for the Chorus by a loader run when on). A value that
  // leaves the state as it is does nothing (a running rebuild finishes). In the
  // background it never waits, so it may be called on the audio thread.
  void SetEffect(float value, Switching switching);

  float Volume() const noexcept { return volume_.load(std::memory_order_relaxed); }
  int32_t PitchBendRange() const noexcept { return pitchBendRange_.load(std::memory_order_relaxed); }
  // The Chorus state asked for last (the voice that sings follows once built).
  int32_t EffectOn() const noexcept { return voices_.EffectRequested() ? 1 : 0; }
  double ReleaseFactor() const noexcept { return releaseFactor_.load(std::memory_order_relaxed); }
  double ReleaseLimit() const noexcept { return releaseLimit_.load(std::memory_order_relaxed); }

  // Timing (beat_timing.h): "beat" (true) places each note so that its vowel falls on it,
  // behind a latency; "live" (false, the default) plays every note at its event. Also set
  // by MIDI controller midi::kTiming. Thread: any; it applies from the next event.
  void SetTiming(bool beat) noexcept { timingBeat_.store(beat, std::memory_order_relaxed); }
  bool TimingBeat() const noexcept { return timingBeat_.load(std::memory_order_relaxed); }
  // Quality (note_slots.h): what SetQuality or the controller midi::kQuality chose
  // last; until either did, kHigh while the host renders offline (SetRenderingOffline)
  // and kLive otherwise. Thread: any; it applies from the next stretch.
  void SetQuality(Quality quality) noexcept {
    qualityChosen_.store(static_cast<int8_t>(quality), std::memory_order_relaxed);
  }
  void SetRenderingOffline(bool offline) noexcept { renderingOffline_.store(offline, std::memory_order_relaxed); }
  Quality QualityInUse() const noexcept {
    const int8_t chosen = qualityChosen_.load(std::memory_order_relaxed);
    if (chosen >= 0) return static_cast<Quality>(chosen);
    return renderingOffline_.load(std::memory_order_relaxed) ? Quality::kHigh : Quality::kLive;
  }
  // The latency the host must compensate, in frames at the host's rate: the longest
  // preutterance of the voice library (at most kLargestLatencySeconds) under "beat", 0
  // under "live" or for a library without timing. Thread: any.
  int64_t LatencyFrames() const noexcept;

  // ---- Audio operations ---------------------------------------------------------------
  // How a bank select in the MIDI stream switches voices, from the next one on. Thread:
  // any (the VST 2 layer sets it at each block from what the host says).
  void SetBankSelectSwitching(Switching switching) noexcept {
    bankSelectInBackground_.store(switching == Switching::kInBackground, std::memory_order_relaxed);
  }
  // A new block's event list; then one QueueEvent per MIDI event. Events still queued
  // from earlier blocks stay, ahead of the new ones.
  void BeginEvents() noexcept;
  void QueueEvent(const MidiEvent& event) noexcept;
  // Renders frames into left and right (both written in full), handing each queued
  // event to HandleMidiMessage at its frame; events of earlier blocks first, at frame 0.
  // A voice built meanwhile takes over first (TakeOverVoice).
  void Process(float* left, float* right, int32_t frames) noexcept;
  // One MIDI message; the bytes arrive sign-extended from 8 bits (status 0x90 as -112).
  void HandleMidiMessage(int32_t status, int32_t data1, int32_t data2) noexcept;
  // Takes over a voice that was built since the last block, applying the current
  // program to it (its key map; for a new voice also its volume and pitch-bend range,
  // unless MIDI or the host set them since the switch was asked for). Formats that
  // apply parameters before Process call it first. Thread: audio thread.
  void TakeOverVoice() noexcept;
  // A program selection on the audio thread, for formats whose host sets the program as
  // a parameter inside its process call. Thread: audio thread, outside Process.
  void SetProgramOnAudioThread(int32_t program) noexcept;

  // ---- Voice library ----------------------------------------------------------------------
  // Loads voice index (0 when out of range) and sings it from now on, applying the
  // current program to it. Control thread, while no audio operation runs (construction,
  // tests, tools). Returns the program file's status.
  int32_t SelectVoice(int32_t index);
  // A voice chosen without MIDI bytes, as a bank select (recorded as the last one, so
  // that a MIDI bank select to the same voice changes nothing): the Voice parameter with
  // kInBackground (any thread, never waits), a restored project with kAtOnce (a control
  // thread: loaded before the call returns, sung from the next block). Nothing happens
  // when the voice is the one asked for last.
  void ChooseVoice(int32_t index, Switching switching);
  // The voice asked for last (by bank select, ChooseVoice or construction), as an index
  // into the voice list.
  int32_t VoiceIndex() const noexcept { return voices_.RequestedVoice(); }
  // A switch the audio thread has not taken over yet.
  bool SwitchPending() const noexcept { return voices_.Pending(); }
  // A switch still loading, or a Chorus rebuild still under way: what an offline render
  // waits for before it starts. Control thread.
  bool BackgroundWorkPending() const { return voices_.Busy(); }
  // This instance's messages (each a voice file it could not read): their count, and
  // where they go. Thread: any.
  platform::MessageRoute& Messages() noexcept { return voices_.Messages(); }

  // ---- For tests and tools, while no switch runs -------------------------------------------
  const std::string& PluginDir() const noexcept { return pluginDir_; }
  // Of the newest voice loaded; the folder as a separator, its name, a separator.
  const VoiceList& Voices() const;
  std::string VoiceFolder() const;
  std::shared_ptr<SampleBank> Bank() const;
  const ProgramSet& Programs() const;
  // The key map the audio thread plays (from the voice it sings).
  const KeyTable& KeyMap() const noexcept { return keyMap_; }
  const NoteSlots& Slots() const noexcept { return slots_; }
  const EventQueue& Events() const noexcept { return queue_; }
  const MidiState& Midi() const noexcept { return midi_; }
  MidiState& Midi() noexcept { return midi_; }
  int32_t PitchBend() const noexcept { return pitchBend_; }
  float Expression() const noexcept { return expression_; }
  // Frames until the pending phonetic release, or -1 when none is pending.
  int64_t ReleaseTimerFrames() const noexcept { return releaseTimerFrames_; }

 private:
  // Voices the audio thread keeps: the one it sings (age 0) and up to kVoiceAges - 1
  // older ones whose recordings fading notes still play.
  void SwitchVoice(int32_t index, Switching switching) noexcept;
  // Loads the voice asked for: in the background, or here and now (see Switching).
  void BuildVoice(Switching switching) noexcept;
  void ReleaseUnheardVoices() noexcept;
  void ApplyProgramToVoice(bool selection) noexcept;
  void SelectProgram(int32_t program, bool onAudioThread) noexcept;
  void RequestRelease(int32_t key) noexcept;
  void ApplyRequestedReleases() noexcept;
  void RefreshKeyMap() noexcept;
  // What a stretch renders with, read now (the key map brought up to date first).
  StretchContext Context() noexcept;
  void RenderStretch(float* left, float* right, int32_t firstFrame, int32_t n) noexcept;
  // Interprets one MIDI message now (HandleMidiMessage may hold it back first).
  void Interpret(int32_t status, int32_t data1, int32_t data2) noexcept;
  // A note-on and a note-off as the Timing setting places them (sampler_timing.cpp).
  void StartNote(int32_t key, int32_t velocity) noexcept;
  void ReleaseNote(int32_t key) noexcept;
  // Legato: the note before takes key over, if it is held and sings the same recording.
  bool ContinueLegato(int32_t key, int32_t glide, int64_t latency) noexcept;
  // The level ramp (engine/expression.h): true while it runs, with the context's volume
  // and expression set to the level of the frames about to render.
  bool RampLevel(StretchContext& context) noexcept;
  Modulation CurrentModulation() const noexcept;
  void RenderWithReleaseTimer(float* left, float* right, int32_t firstFrame, int32_t n) noexcept;
  void FireReleaseTimer() noexcept;
  void ArmReleaseTimer(uint32_t delayMs) noexcept;
  void HandleController(int32_t controller, int32_t value) noexcept;
  void DataEntry(int32_t value) noexcept;
  void CommitPhonetic() noexcept;

  std::string pluginDir_;
  VoiceSwitch voices_;
  EventQueue queue_;
  NoteSlots slots_;
  MidiState midi_;

  std::atomic<int32_t> currentProgram_{0};
  std::atomic<float> volume_{1.0f};
  std::atomic<int32_t> pitchBendRange_{2};
  std::atomic<double> releaseFactor_{kDefaultReleaseFactor};
  std::atomic<double> releaseLimit_{kDefaultReleaseLimit};
  std::atomic<double> hostSampleRate_{44100.0};
  std::atomic<bool> bankSelectInBackground_{false};
  std::atomic<bool> timingBeat_{false};
  std::atomic<int8_t> qualityChosen_{-1};  // -1: none chosen yet
  std::atomic<bool> renderingOffline_{false};
  double latencySeconds_ = 0.0;  // of the voice library, read once at construction
  // A program selected on a control thread since the audio thread last built the key
  // map (counted), and whether the volume and pitch-bend range were set by MIDI or the
  // host since a voice switch was asked for (a program selection clears both): the new
  // voice then leaves them as they are.
  std::atomic<uint32_t> programSelections_{0};
  std::atomic<bool> volumeSetSinceSwitch_{false};
  std::atomic<bool> rangeSetSinceSwitch_{false};

  // Audio thread only.
  std::array<Voice*, kVoiceAges> sung_{};  // [0] sings; older ones while notes fade on them
  KeyTable keyMap_{};
  uint32_t programSelectionsSeen_ = 0;
  int32_t pitchBend_ = 0;
  float expression_ = 100.0f / 127.0f;
  int64_t releaseTimerFrames_ = -1;  // frames of rendered audio until the phonetic release
  int32_t releaseTimerGeneration_ = 0;
  // The instance's clock: frames rendered before this block, and the frame of the event
  // being handled. The note started last (for the rules of touching notes) and its slot.
  int64_t blockClock_ = 0;
  int64_t now_ = 0;
  PreviousNote previous_;
  int32_t previousSlot_ = -1;
  DelayedMessages delayed_;
  // The level (volume × expression) notes render with: the value ramped to, where the
  // ramp started, and its frames (all, and still to come).
  bool levelKnown_ = false;
  double levelTarget_ = 0.0;
  double levelFrom_ = 0.0;
  int32_t rampFrames_ = 0;
  int32_t rampLeft_ = 0;

  // Keys whose held slots a control thread asked to release (bit k of word k / 64).
  std::array<std::atomic<uint64_t>, 2> requestedReleases_{};
};

}  // namespace chantera
