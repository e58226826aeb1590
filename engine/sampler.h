// The instrument itself, free of any plug-in interface: one instance's samples,
// programs, note slots and MIDI state, and the operations a host drives it with. The
// VST 2 layer (host/) translates opcodes and records into these calls.
//
// Threads and what keeps them apart:
// - Control threads (the host's main thread, and whichever thread sets parameters or
//   programs) call the operations marked "control".
// - The audio thread calls BeginEvents/QueueEvent/Process (and through them
//   HandleMidiMessage). It never waits: it takes the reload guard with try_lock and skips
//   the block (writing silence) when a reload holds it.
// - A reload (the Effect switch on a control thread, or a bank select on the audio thread
//   inside Process) holds the reload guard for its whole duration, so no render ever reads
//   a sample that is being freed or replaced.
// - The Chorus loader thread touches only the sample bank, which it shares.
// - Releases asked for by control threads (a program selection releasing the held
//   phonetic note) are handed to the audio thread through an atomic key mask and applied
//   at the start of its next block; the note slots are the audio thread's alone.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/event_queue.h"
#include "engine/note_slots.h"
#include "library/sample_bank.h"
#include "library/voice_list.h"
#include "params/programs.h"

namespace chantera {

class Sampler {
 public:
  // Builds the instrument: resets the module-wide release constants and phonetic buffer,
  // loads voice 0 of the voice list in pluginDir (samples, then programs), sets up the
  // event queue, slots and controller defaults, selects program 0 and becomes the
  // module's active instance. Control thread.
  explicit Sampler(std::string pluginDir);
  // Control thread; the host has stopped calling the audio operations.
  ~Sampler();
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  // Asks a running loader to stop and waits while it or a reload is busy (sleeps of
  // 100 ms; after the 601st a beep, and the wait is given up). The bank stays alive for
  // as long as a loader uses it. Control thread, before destruction.
  void Shutdown();

  // ---- Control operations -------------------------------------------------------------
  void SetHostSampleRate(float rate) noexcept;
  void SetProgram(int32_t program);
  int32_t GetProgram() const noexcept { return currentProgram_.load(std::memory_order_relaxed); }
  void SetProgramName(const char* name);
  void GetProgramName(char* text) const;  // writes 25 bytes
  bool GetProgramNameIndexed(int32_t index, char* text) const;
  void SetParameter(int32_t index, float value);
  float GetParameter(int32_t index) const noexcept;
  // The Effect switch: on a change of state stops a running loader and reloads every
  // sample and the programs of the voice selected last, starting a loader when on. A
  // value that leaves the state as it is does nothing (a running loader finishes).
  void SetEffect(float value);

  float Volume() const noexcept { return volume_.load(std::memory_order_relaxed); }
  int32_t PitchBendRange() const noexcept { return pitchBendRange_.load(std::memory_order_relaxed); }
  int32_t EffectOn() const noexcept { return effectOn_.load(std::memory_order_relaxed); }

  // ---- Audio operations ---------------------------------------------------------------
  // A new block's event list; then one QueueEvent per MIDI event. Events still queued
  // from earlier blocks stay, ahead of the new ones.
  void BeginEvents() noexcept;
  void QueueEvent(const MidiEvent& event) noexcept;
  // Renders frames into left and right (both written in full), handing each queued
  // event to HandleMidiMessage at its frame; events of earlier blocks first, at frame 0.
  // A block that a reload keeps from rendering is silence, and its events wait.
  void Process(float* left, float* right, int32_t frames) noexcept;
  // One MIDI message; the bytes arrive sign-extended from 8 bits (status 0x90 as -112).
  void HandleMidiMessage(int32_t status, int32_t data1, int32_t data2) noexcept;

  // ---- Voice library ----------------------------------------------------------------------
  // Re-reads the voice list, points the module-wide voice folder at voice index (0 when
  // out of range) and reloads the bank and the programs from it. The caller holds the
  // reload guard (Process does, for a bank select) or owns the instance alone
  // (construction). Returns the program file's status.
  int32_t SelectVoice(int32_t index);
  // The voice a bank select (or SwitchVoice) chose last: an index into the voice list.
  int32_t VoiceIndex() const noexcept { return voiceIndex_.load(std::memory_order_relaxed); }
  // A bank select made from a control thread, for formats that restore a saved voice with
  // the host's project: waits for the audio thread's block to end, reloads the voice as
  // a bank select does, rebuilds the current program's key map from it (the program and
  // its volume stay) and records index as the last bank select, so that a later MIDI
  // bank select to the same voice changes nothing, as after a MIDI one. Nothing happens
  // when the voice is already selected. Control thread.
  void SwitchVoice(int32_t index);
  // A program selection on the audio thread, for formats whose host sets the program as
  // a parameter inside its process call: it never waits for a control thread that holds
  // the programs (see SelectProgram). Thread: audio thread, outside Process.
  void SetProgramOnAudioThread(int32_t program) noexcept;

  // ---- For tests and tools ------------------------------------------------------------------
  const std::string& PluginDir() const noexcept { return pluginDir_; }
  const VoiceList& Voices() const noexcept { return voices_; }
  const std::shared_ptr<SampleBank>& Bank() const noexcept { return bank_; }
  const ProgramSet& Programs() const noexcept { return programs_; }
  const NoteSlots& Slots() const noexcept { return slots_; }
  const EventQueue& Events() const noexcept { return queue_; }
  int32_t PitchBend() const noexcept { return pitchBend_; }
  float Expression() const noexcept { return expression_; }
  bool Reloading() const noexcept { return reloading_.load(std::memory_order_acquire) != 0; }
  // Frames until the pending phonetic release, or -1 when none is pending.
  int64_t ReleaseTimerFrames() const noexcept { return releaseTimerFrames_; }

 private:
  void BuildAndPublishKeyMap(int32_t program);
  void SelectProgram(int32_t program, bool onAudioThread);
  // A phonetic commit that found the programs locked built its key map into the audio
  // thread's snapshot only; this publishes it once the lock is free (try_lock only).
  void PublishPendingKeyMap() noexcept;
  void RequestRelease(int32_t key) noexcept;
  void ApplyRequestedReleases() noexcept;
  void RenderStretch(float* left, float* right, int32_t firstFrame, int32_t n) noexcept;
  void RenderWithReleaseTimer(float* left, float* right, int32_t firstFrame, int32_t n) noexcept;
  void FireReleaseTimer() noexcept;
  void ArmReleaseTimer(uint32_t delayMs) noexcept;
  void HandleController(int32_t controller, int32_t value) noexcept;
  void DataEntry(int32_t value) noexcept;
  void CommitPhonetic() noexcept;
  // Stops a running loader of the bank (waiting at most about a minute); false when it
  // is still busy and the bank must be left alone.
  bool StopLoaderForReload();

  std::string pluginDir_;
  const std::shared_ptr<SampleBank> bank_;  // the same bank for the instance's life
  VoiceList voices_;
  ProgramSet programs_;
  EventQueue queue_;
  NoteSlots slots_;

  std::atomic<int32_t> currentProgram_{0};
  std::atomic<int32_t> voiceIndex_{0};
  std::atomic<float> volume_{1.0f};
  std::atomic<int32_t> pitchBendRange_{2};
  std::atomic<int32_t> effectOn_{0};
  std::atomic<int32_t> reloading_{0};
  std::atomic<double> hostSampleRate_{44100.0};

  // Audio thread only.
  int32_t pitchBend_ = 0;
  float expression_ = 100.0f / 127.0f;
  KeyTable keySnapshot_{};
  uint32_t keySnapshotSequence_ = 0;
  bool keyMapPending_ = false;       // keySnapshot_ holds a selection not yet published
  int64_t releaseTimerFrames_ = -1;  // frames of rendered audio until the phonetic release
  int32_t releaseTimerGeneration_ = 0;

  // Keys whose held slots a control thread asked to release (bit k of word k / 64).
  std::array<std::atomic<uint64_t>, 2> requestedReleases_{};

  std::mutex reloadGuard_;   // held by a reload; the audio thread only try_locks it
  std::mutex effectSwitch_;  // two Effect switches at once run one after the other
};

}  // namespace chantera
