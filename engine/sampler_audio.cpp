// The audio side of the instrument: the block loop, the stretches between events, the
// phonetic release timer, and the hand-over of a new voice at the start of a block.
// Thread: audio thread (and, for TakeOverVoice, a control thread while no audio runs).
#include <algorithm>
#include <bit>

#include "engine/beat_timing.h"
#include "engine/expression.h"

#include "engine/sampler.h"

namespace chantera {

// ---- Voices -----------------------------------------------------------------------------------

void Sampler::TakeOverVoice() noexcept {
  Voice* taken = voices_.Take();
  if (taken == nullptr) return;
  // Sounding notes keep the recordings they play, now in a voice one age older; the
  // oldest voice kept goes back to be freed, with any note still fading on it.
  slots_.AgeVoices();
  voices_.HandBack(sung_[kVoiceAges - 1]);
  for (size_t age = kVoiceAges - 1; age > 0; --age) sung_[age] = sung_[age - 1];
  sung_[0] = taken;
  ApplyProgramToVoice(taken->selection);
}

void Sampler::ApplyProgramToVoice(bool selection) noexcept {
  // The current program, as a program selection of it would apply it, but for the held
  // phonetic note, which sings on: its key map always (the sample indices are the new
  // voice's), and for a voice selection its volume and pitch-bend range, unless MIDI or
  // the host set them after the switch was asked for (they came later). An Effect
  // switch reloads the same voice and leaves both as they are.
  const int32_t program = currentProgram_.load(std::memory_order_relaxed);
  const ProgramSet& programs = sung_[0]->programs;
  programs.BuildKeyMap(program, keyMap_);
  programSelectionsSeen_ = programSelections_.load(std::memory_order_acquire);
  if (!selection) return;
  const ProgramRecord& record = programs.records[static_cast<size_t>(program)];
  if (!volumeSetSinceSwitch_.load(std::memory_order_relaxed)) volume_.store(record.volume, std::memory_order_relaxed);
  if (!rangeSetSinceSwitch_.load(std::memory_order_relaxed))
    pitchBendRange_.store(record.pitchBendRange, std::memory_order_relaxed);
}

void Sampler::ReleaseUnheardVoices() noexcept {
  for (int age = 1; age < kVoiceAges; ++age) {
    Voice*& voice = sung_[static_cast<size_t>(age)];
    if (voice == nullptr || slots_.PlaysVoice(age)) continue;
    voices_.HandBack(voice);
    voice = nullptr;
  }
}

// ---- Events -----------------------------------------------------------------------------------

void Sampler::BeginEvents() noexcept {
  queue_.Begin();
}

void Sampler::QueueEvent(const MidiEvent& event) noexcept {
  queue_.Push(event);
}

void Sampler::RequestRelease(int32_t key) noexcept {
  if (key < 0 || key >= kKeyCount) return;
  requestedReleases_[static_cast<size_t>(key) / 64].fetch_or(uint64_t{1} << (key % 64), std::memory_order_release);
}

void Sampler::ApplyRequestedReleases() noexcept {
  for (size_t word = 0; word < requestedReleases_.size(); ++word) {
    uint64_t keys = requestedReleases_[word].exchange(0, std::memory_order_acquire);
    while (keys != 0) {
      const int bit = std::countr_zero(keys);
      keys &= keys - 1;
      ReleaseNote(static_cast<int32_t>(word * 64 + static_cast<size_t>(bit)));
    }
  }
}

// ---- Rendering ---------------------------------------------------------------------------------

void Sampler::RefreshKeyMap() noexcept {
  // A program selected on a control thread: its key map, from the voice sung now.
  const uint32_t selections = programSelections_.load(std::memory_order_acquire);
  if (selections != programSelectionsSeen_) {
    programSelectionsSeen_ = selections;
    sung_[0]->programs.BuildKeyMap(currentProgram_.load(std::memory_order_relaxed), keyMap_);
  }
}

StretchContext Sampler::Context() noexcept {
  RefreshKeyMap();
  StretchContext context;
  context.keyMap = &keyMap_;
  const SampleBank& bank = *sung_[0]->bank;
  context.bank = &bank;
  context.loaderBusy = bank.loaderBusy.load(std::memory_order_acquire);
  context.loaderProgress = bank.loaderProgress.load(std::memory_order_acquire);
  for (size_t age = 1; age < kVoiceAges; ++age) {
    if (const Voice* voice = sung_[age]) {
      const SampleBank& older = *voice->bank;
      context.older[age - 1] = {&older, older.loaderBusy.load(std::memory_order_acquire),
                                older.loaderProgress.load(std::memory_order_acquire)};
    }
  }
  context.pitchBend = pitchBend_;
  context.pitchBendRange = pitchBendRange_.load(std::memory_order_relaxed);
  context.volume = volume_.load(std::memory_order_relaxed);
  context.expression = expression_;
  context.releaseFactor = releaseFactor_.load(std::memory_order_relaxed);
  context.releaseLimit = &releaseLimit_;
  context.hostSampleRate = hostSampleRate_.load(std::memory_order_relaxed);
  context.quality = QualityInUse();
  return context;
}

void Sampler::RenderStretch(float* left, float* right, int32_t firstFrame, int32_t n) noexcept {
  // What the latency put off (notes that start, note-offs, fades, controllers) falls due at
  // exact frames: the stretch is split there. Without a latency nothing is ever due.
  int64_t at = blockClock_ + firstFrame;
  while (n > 0) {
    slots_.ApplyDue(at);
    while (const DelayedMessages::Message* due = delayed_.PopDue(at)) {
      const DelayedMessages::Message message = *due;
      Interpret(message.status, message.data1, message.data2);
    }
    const int64_t next = std::min(slots_.NextDue(), delayed_.NextDue());
    int32_t head = next < at + n ? static_cast<int32_t>(std::max<int64_t>(next - at, 1)) : n;
    StretchContext context = Context();
    // While the level ramps, in short stretches of a steady level (and pitches move in
    // stretches of their own).
    if (RampLevel(context)) head = std::min(head, kLevelControlFrames);
    slots_.RenderModulated(left, right, firstFrame, head, context, CurrentModulation());
    rampLeft_ = std::max(rampLeft_ - head, 0);
    firstFrame += head;
    n -= head;
    at += head;
  }
}

Modulation Sampler::CurrentModulation() const noexcept {
  Modulation m;
  const int32_t depth = std::max(midi_.modulationWheel, midi_.vibratoDepth);
  if (depth == 0) return m;
  const double rate = hostSampleRate_.load(std::memory_order_relaxed);
  const double hz = VibratoRateHz(midi_.vibratoRate);
  m.vibratoDepth = VibratoDepthSemitones(depth);
  m.vibratoStep = hz / rate;
  m.vibratoFade = rate / hz;  // one period
  return m;
}

bool Sampler::RampLevel(StretchContext& context) noexcept {
  const double target = static_cast<double>(context.volume) * context.expression;
  // With no note sounding there is nothing to click: the level is simply the new one, and
  // the next note starts at it.
  if (!levelKnown_ || (target != levelTarget_ && !slots_.Audible())) {
    levelKnown_ = true;
    levelTarget_ = target;
    rampLeft_ = 0;
  }
  if (target != levelTarget_) {
    // From where the level stands now, a ramp under way included.
    levelFrom_ = rampLeft_ > 0
                     ? levelFrom_ + (levelTarget_ - levelFrom_) * (1.0 - static_cast<double>(rampLeft_) / rampFrames_)
                     : levelTarget_;
    levelTarget_ = target;
    rampFrames_ = rampLeft_ = std::max(
        1, static_cast<int32_t>(std::lround(kLevelRampSeconds * hostSampleRate_.load(std::memory_order_relaxed))));
  }
  if (rampLeft_ <= 0) return false;
  // The level in the middle of the next short stretch.
  const double x = 1.0 - (rampLeft_ - kLevelControlFrames / 2.0) / rampFrames_;
  context.volume = static_cast<float>(levelFrom_ + (levelTarget_ - levelFrom_) * std::clamp(x, 0.0, 1.0));
  context.expression = 1.0f;
  return true;
}

void Sampler::RenderWithReleaseTimer(float* left, float* right, int32_t firstFrame, int32_t n) noexcept {
  // The phonetic release falls at an exact frame of rendered audio: split the stretch there.
  if (releaseTimerFrames_ >= 0 && releaseTimerFrames_ <= n) {
    const auto head = static_cast<int32_t>(releaseTimerFrames_);
    RenderStretch(left, right, firstFrame, head);
    now_ = blockClock_ + firstFrame + head;
    FireReleaseTimer();
    RenderStretch(left, right, firstFrame + head, n - head);
    return;
  }
  RenderStretch(left, right, firstFrame, n);
  if (releaseTimerFrames_ >= 0) releaseTimerFrames_ -= n;
}

void Sampler::ArmReleaseTimer(uint32_t delayMs) noexcept {
  const double rate = hostSampleRate_.load(std::memory_order_relaxed);
  releaseTimerFrames_ = static_cast<int64_t>(rate * delayMs / 1000.0);
  releaseTimerGeneration_ = midi_.timerGeneration;
}

void Sampler::FireReleaseTimer() noexcept {
  // The note this instance started, unless a later note-on or commit of its own took the
  // release over.
  releaseTimerFrames_ = -1;
  if (releaseTimerGeneration_ != midi_.timerGeneration) return;
  bool held = true;
  if (midi_.noteHeld.compare_exchange_strong(held, false, std::memory_order_acq_rel))
    ReleaseNote(midi_.heldKey.load(std::memory_order_relaxed));
}

void Sampler::Process(float* left, float* right, int32_t frames) noexcept {
  if (frames <= 0) return;
  now_ = blockClock_;
  TakeOverVoice();
  ReleaseUnheardVoices();
  ApplyRequestedReleases();
  std::fill_n(left, frames, 0.0f);
  std::fill_n(right, frames, 0.0f);

  int32_t done = 0;
  int32_t remaining = frames;
  while (remaining > 0) {
    const MidiEvent* pending = queue_.Pending();
    int32_t n = remaining;
    if (pending != nullptr) {
      // Widened: deltaFrames and the frames counted so far come from the host. An event
      // of an earlier block is due at once.
      const int64_t offset =
          queue_.PendingIsLate() ? 0 : static_cast<int64_t>(pending->deltaFrames) - queue_.blockFramesDone;
      n = static_cast<int32_t>(std::clamp<int64_t>(offset, 0, remaining));
    }
    RenderWithReleaseTimer(left, right, done, n);
    queue_.blockFramesDone += n;
    done += n;
    if (pending != nullptr) {
      const MidiEvent event = *pending;
      queue_.Advance();
      now_ = blockClock_ + done;
      HandleMidiMessage(static_cast<int8_t>(event.status), static_cast<int8_t>(event.data1),
                        static_cast<int8_t>(event.data2));
    }
    remaining -= n;
  }
  blockClock_ += frames;
}

}  // namespace chantera
