#include "engine/sampler.h"

#include <algorithm>
#include <cmath>

#include "library/loader.h"
#include "library/voice_timing.h"
#include "params/parameters.h"
#include "platform/platform.h"

namespace chantera {

Sampler::Sampler(std::string pluginDir, platform::MessageSink messageSink)
    : pluginDir_(std::move(pluginDir)), voices_(pluginDir_, messageSink) {
  // The engine: voice 0 (samples, then programs), then program 0, whose key map refers to
  // the samples just loaded.
  SelectVoice(0);
  SetProgram(0);
  Programs().BuildKeyMap(0, keyMap_);
  programSelectionsSeen_ = programSelections_.load(std::memory_order_relaxed);
  latencySeconds_ = std::min(kLargestLatencySeconds, LargestPreutteranceSeconds(pluginDir_, Voices()));
}

Sampler::~Sampler() {
  voices_.Stop();
  // The voices the audio thread kept; Chorus runs over their banks stop at their next
  // sample (~Voice), each keeping its bank alive until then.
  for (Voice*& voice : sung_) {
    delete voice;
    voice = nullptr;
  }
}

void Sampler::Shutdown() {
  voices_.Stop();
  // Every run is asked to stop; the wait is for the one over the newest voice, which
  // works for as long as the Chorus rebuild of the whole voice lasts. The stop request
  // is made anew at every look: an Effect switch still running on another host thread
  // (a host that closes while it automates) may have started a new run meanwhile. Given
  // up or not, a bank shared with a loader that still runs is freed when the last of the
  // two lets go of it, and nothing else of the instance is the loader's.
  for (Voice* voice : sung_)
    if (voice != nullptr) voice->bank->loaderStop.store(true, std::memory_order_release);
  WaitWithGiveUp([this] {
    return voices_.WithNewest([](Voice& newest) {
      newest.bank->loaderStop.store(true, std::memory_order_release);
      return newest.bank->loaderBusy.load(std::memory_order_acquire);
    });
  });
}

// ---- Voices ---------------------------------------------------------------------------------

int32_t Sampler::SelectVoice(int32_t index) {
  volumeSetSinceSwitch_.store(false, std::memory_order_relaxed);
  rangeSetSinceSwitch_.store(false, std::memory_order_relaxed);
  voices_.SelectVoice(index);
  voices_.BuildNow();
  // No audio runs: the voice takes over here, and the one it replaces goes at once.
  TakeOverVoice();
  ReleaseUnheardVoices();
  return sung_[0]->programFileStatus;
}

void Sampler::ChooseVoice(int32_t index, Switching switching) {
  if (index == VoiceIndex()) return;
  midi_.bankLsb.store(index, std::memory_order_relaxed);
  SwitchVoice(index, switching);
}

void Sampler::SwitchVoice(int32_t index, Switching switching) noexcept {
  // From here until the new voice takes over, a volume or pitch-bend range set by MIDI or
  // the host stays; otherwise the voice brings its current program's.
  volumeSetSinceSwitch_.store(false, std::memory_order_relaxed);
  rangeSetSinceSwitch_.store(false, std::memory_order_relaxed);
  voices_.SelectVoice(index);
  BuildVoice(switching);
}

void Sampler::BuildVoice(Switching switching) noexcept {
  // Live: the voice loader reads it while the voice that sings goes on. Offline: read here,
  // so that it takes over at the frame that asked for it.
  if (switching == Switching::kInBackground) {
    voices_.BuildInBackground();
    return;
  }
  try {
    voices_.BuildNow();
  } catch (...) {
    // Out of memory while reading the voice: the one that sings stays.
  }
}

// ---- Programs -------------------------------------------------------------------------------

void Sampler::SelectProgram(int32_t program, bool onAudioThread) noexcept {
  if (program < 0 || program >= kProgramCount) return;
  if (midi_.noteHeld.exchange(false, std::memory_order_acq_rel)) {
    const int32_t key = midi_.heldKey.load(std::memory_order_relaxed);
    if (onAudioThread)
      ReleaseNote(key);
    else
      RequestRelease(key);
  }
  volumeSetSinceSwitch_.store(false, std::memory_order_relaxed);
  rangeSetSinceSwitch_.store(false, std::memory_order_relaxed);
  if (onAudioThread) {
    // The voice this thread sings: its key map at once, from records nobody rewrites.
    const ProgramSet& programs = sung_[0]->programs;
    const ProgramRecord& record = programs.records[static_cast<size_t>(program)];
    currentProgram_.store(program, std::memory_order_relaxed);
    programs.BuildKeyMap(program, keyMap_);
    volume_.store(record.volume, std::memory_order_relaxed);
    pitchBendRange_.store(record.pitchBendRange, std::memory_order_relaxed);
    return;
  }
  // The newest voice's values, under the lock that keeps it: one built but not taken yet
  // is the one that will sing them. The audio thread builds the key map at its next
  // stretch, from the voice it sings by then.
  voices_.WithNewest([&](const Voice& newest) {
    const ProgramRecord& record = newest.programs.records[static_cast<size_t>(program)];
    currentProgram_.store(program, std::memory_order_relaxed);
    volume_.store(record.volume, std::memory_order_relaxed);
    pitchBendRange_.store(record.pitchBendRange, std::memory_order_relaxed);
    programSelections_.fetch_add(1, std::memory_order_release);
    return 0;
  });
}

void Sampler::SetProgram(int32_t program) {
  SelectProgram(program, false);
}

void Sampler::SetProgramOnAudioThread(int32_t program) noexcept {
  SelectProgram(program, true);
}

void Sampler::SetProgramName(const char* name) {
  voices_.WithNewest([&](Voice& newest) {
    CopyProgramName(newest.programs.records[static_cast<size_t>(GetProgram())].name, name);
    return 0;
  });
}

void Sampler::GetProgramName(char* text) const {
  voices_.WithNewest([&](const Voice& newest) {
    CopyProgramName(text, newest.programs.records[static_cast<size_t>(GetProgram())].name);
    return 0;
  });
}

bool Sampler::GetProgramNameIndexed(int32_t index, char* text) const {
  if (index < 0 || index >= kProgramCount) return false;
  voices_.WithNewest([&](const Voice& newest) {
    CopyProgramName(text, newest.programs.records[static_cast<size_t>(index)].name);
    return 0;
  });
  return true;
}

// ---- Parameters -------------------------------------------------------------------------------

void Sampler::SetHostSampleRate(float rate) noexcept {
  // A host may announce nonsense (0, negative, NaN) before it knows its rate; pitch and
  // the phonetic release keep the last usable rate.
  if (rate >= 1.0f && std::isfinite(rate)) hostSampleRate_.store(rate, std::memory_order_relaxed);
}

void Sampler::SetParameter(int32_t index, float value, Switching switching) {
  // Hosts send 0..1, but any float is taken as it is, except values that are not numbers
  // or infinite: stored, they would make every later block NaN.
  if (!std::isfinite(value)) return;
  switch (index) {
    case kParamVolume:
      volume_.store(value, std::memory_order_relaxed);
      volumeSetSinceSwitch_.store(true, std::memory_order_relaxed);
      break;
    case kParamPitchBendRange:
      pitchBendRange_.store(PitchBendRangeFromValue(value), std::memory_order_relaxed);
      rangeSetSinceSwitch_.store(true, std::memory_order_relaxed);
      break;
    case kParamEffect:
      SetEffect(value, switching);
      break;
    case kParamReleaseFactor:
      releaseFactor_.store(static_cast<double>(value), std::memory_order_relaxed);
      break;
    case kParamReleaseLimit:
      releaseLimit_.store(static_cast<double>(value), std::memory_order_relaxed);
      break;
    default:
      break;
  }
}

float Sampler::GetParameter(int32_t index) const noexcept {
  switch (index) {
    case kParamVolume:
      return Volume();
    case kParamPitchBendRange:
      return ValueFromPitchBendRange(PitchBendRange());
    case kParamEffect:
      return EffectOn() == 1 ? 1.0f : 0.0f;
    case kParamReleaseFactor:
      return static_cast<float>(ReleaseFactor());
    case kParamReleaseLimit:
      return static_cast<float>(ReleaseLimit());
    default:
      return 0.0f;
  }
}

void Sampler::SetEffect(float value, Switching switching) {
  // A value that leaves the switch as it is changes nothing: a Chorus rebuild under way
  // goes on to its end (stopped, it would leave the bank half rebuilt). Hosts send the
  // same value again freely (automation, a restored project, a generic control).
  if (!voices_.SetEffect(value > 0.5f)) return;
  // The voice is loaded again into a fresh bank beside the one that sings, which goes on
  // singing (and a run over it goes on rebuilding) until the new one takes over.
  BuildVoice(switching);
}

// ---- For tests and tools -----------------------------------------------------------------------

const VoiceList& Sampler::Voices() const {
  return voices_.WithNewest([](const Voice& newest) -> const VoiceList& { return newest.list; });
}

std::string Sampler::VoiceFolder() const {
  return voices_.WithNewest([](const Voice& newest) { return newest.folder; });
}

std::shared_ptr<SampleBank> Sampler::Bank() const {
  return voices_.WithNewest([](const Voice& newest) { return newest.bank; });
}

const ProgramSet& Sampler::Programs() const {
  return voices_.WithNewest([](const Voice& newest) -> const ProgramSet& { return newest.programs; });
}

}  // namespace chantera
