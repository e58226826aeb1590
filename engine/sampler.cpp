#include "engine/sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/module_state.h"
#include "library/loader.h"
#include "library/program_file.h"
#include "params/parameters.h"
#include "platform/platform.h"

namespace chantera {

namespace {
// Marks a reload for its whole duration, also when it ends early or by an exception (out
// of memory while reading a voice): the instrument must not stay silent for good.
class ReloadScope {
 public:
  explicit ReloadScope(std::atomic<int32_t>& flag) : flag_(flag) { flag_.store(1, std::memory_order_release); }
  ~ReloadScope() { flag_.store(0, std::memory_order_release); }
  ReloadScope(const ReloadScope&) = delete;
  ReloadScope& operator=(const ReloadScope&) = delete;

 private:
  std::atomic<int32_t>& flag_;
};
}  // namespace

Sampler::Sampler(std::string pluginDir) : pluginDir_(std::move(pluginDir)), bank_(std::make_shared<SampleBank>()) {
  ModuleState& module = Module();
  // Every new instance puts the module-wide release constants back to their defaults,
  // for the instances already running too.
  module.releaseFactor.store(kDefaultReleaseFactor, std::memory_order_relaxed);
  module.releaseLimit.store(kDefaultReleaseLimit, std::memory_order_relaxed);
  module.ClearPhoneticBuffer();

  // The engine: the bank, voice 0 (samples, then programs), then program 0, whose key map
  // refers to the samples just loaded.
  SelectVoice(0);
  SetProgram(0);
  programs_.keyMap.Snapshot(keySnapshot_, keySnapshotSequence_);

  module.activeInstance.store(this, std::memory_order_release);
  module.timerGeneration.store(0, std::memory_order_relaxed);
}

Sampler::~Sampler() {
  // A run started by an Effect switch that outlived Shutdown stops at its next sample; the
  // bank it shares is freed by whichever of the two lets go last.
  bank_->loaderStop.store(1, std::memory_order_release);
  Sampler* self = this;
  Module().activeInstance.compare_exchange_strong(self, nullptr);
}

void Sampler::Shutdown() {
  // Waits while a loader run or a reload is under way. The stop request is made anew at
  // every look: an Effect switch still running on another host thread (a host that
  // closes while it automates) may have withdrawn it or started a new run meanwhile.
  // Given up or not, the bank is shared with a loader that still runs: it is freed when
  // the last of the two lets go of it, and nothing else of the instance is the loader's.
  SampleBank& bank = *bank_;
  WaitWithGiveUp([this, &bank] {
    bank.loaderStop.store(1, std::memory_order_release);
    return bank.loaderBusy.load(std::memory_order_acquire) != 0 || reloading_.load(std::memory_order_acquire) != 0;
  });
}

// ---- Voices ---------------------------------------------------------------------------------

bool Sampler::StopLoaderForReload() {
  // Thread: the Effect switch's host thread, or the audio thread inside a bank select.
  // Both may wait here at once on the one bank; each withdraws only its own request
  // after the run has ended, which is harmless to the other.
  SampleBank& bank = *bank_;
  if (bank.loaderBusy.load(std::memory_order_acquire) == 0) return true;
  bank.loaderStop.store(1, std::memory_order_release);
  // On giving up the request is withdrawn before the beep, so that the run goes on to its
  // end rather than stopping during the second the beep lasts.
  const auto withdraw = [&bank] { bank.loaderStop.store(0, std::memory_order_release); };
  if (!WaitWithGiveUp([&bank] { return bank.loaderBusy.load(std::memory_order_acquire) != 0; }, withdraw)) return false;
  withdraw();
  return true;
}

int32_t Sampler::SelectVoice(int32_t index) {
  char listPath[platform::kMaxPath];
  BuildVoiceListPath(pluginDir_.c_str(), listPath);
  {
    VoiceListReader reader(listPath);
    reader.GetVoiceList(voices_);
  }
  if (index < 0 || index >= voices_.voiceCount) index = 0;
  voiceIndex_.store(index, std::memory_order_relaxed);
  // The samples belong to a running loader: stop it first. One that is still busy after
  // a minute keeps the bank, and the voice stays as it was.
  if (!StopLoaderForReload()) return 0;
  const char* folder = voices_.voiceCount > 0 ? voices_.voiceFolders[index] : "Undef";
  std::string voiceFolder;
  voiceFolder.reserve(std::strlen(folder) + 2);
  voiceFolder += platform::kPathSeparator;
  voiceFolder += folder;
  voiceFolder += platform::kPathSeparator;
  Module().SetVoiceFolder(voiceFolder);

  const ReloadScope reloading(reloading_);
  bank_->LoadSampleList(pluginDir_.c_str(), voiceFolder.c_str());
  StartLoader(bank_, effectOn_.load(std::memory_order_relaxed) == 1);
  return LoadProgramFile(pluginDir_.c_str(), voiceFolder.c_str(), programs_, *bank_);
}

void Sampler::SwitchVoice(int32_t index) {
  std::lock_guard<std::mutex> oneSwitchAtATime(effectSwitch_);
  if (index == VoiceIndex()) return;
  {
    std::lock_guard<std::mutex> reload(reloadGuard_);
    SelectVoice(index);
    std::lock_guard<std::mutex> lock(programs_.mutex);
    BuildAndPublishKeyMap(GetProgram());
  }
  ModuleState& module = Module();
  module.bankLsb.store(VoiceIndex(), std::memory_order_relaxed);
}

// ---- Programs -------------------------------------------------------------------------------

void Sampler::BuildAndPublishKeyMap(int32_t program) {
  // Caller holds programs_.mutex.
  KeyTable table;
  programs_.BuildKeyMap(program, table);
  programs_.keyMap.Publish(table);
}

void Sampler::SelectProgram(int32_t program, bool onAudioThread) {
  if (program < 0 || program >= kProgramCount) return;
  ModuleState& module = Module();
  if (module.noteHeld.exchange(0, std::memory_order_acq_rel) == 1) {
    const int32_t key = module.heldKey.load(std::memory_order_relaxed);
    if (onAudioThread)
      slots_.ReleaseNote(key);
    else
      RequestRelease(key);
  }
  std::unique_lock<std::mutex> lock(programs_.mutex, std::defer_lock);
  if (!onAudioThread) {
    lock.lock();
  } else if (!lock.try_lock()) {
    // The audio thread never waits for a control thread that holds the programs (reading
    // a program name, or selecting a program itself): it selects the program for itself
    // and publishes the key map at a later stretch (PublishPendingKeyMap). Reading the
    // records without the lock is safe here: they are rewritten only by a reload, which
    // holds the reload guard that this thread holds while it processes.
    const ProgramRecord& record = programs_.records[static_cast<size_t>(program)];
    programs_.BuildKeyMap(program, keySnapshot_);
    keyMapPending_ = true;
    currentProgram_.store(program, std::memory_order_relaxed);
    volume_.store(record.volume, std::memory_order_relaxed);
    pitchBendRange_.store(record.pitchBendRange, std::memory_order_relaxed);
    return;
  }
  currentProgram_.store(program, std::memory_order_relaxed);
  BuildAndPublishKeyMap(program);
  const ProgramRecord& record = programs_.records[static_cast<size_t>(program)];
  volume_.store(record.volume, std::memory_order_relaxed);
  pitchBendRange_.store(record.pitchBendRange, std::memory_order_relaxed);
}

void Sampler::SetProgram(int32_t program) {
  SelectProgram(program, false);
}

void Sampler::SetProgramOnAudioThread(int32_t program) noexcept {
  SelectProgram(program, true);
}

void Sampler::SetProgramName(const char* name) {
  std::lock_guard<std::mutex> lock(programs_.mutex);
  CopyProgramName(programs_.records[static_cast<size_t>(GetProgram())].name, name);
}

void Sampler::GetProgramName(char* text) const {
  std::lock_guard<std::mutex> lock(programs_.mutex);
  CopyProgramName(text, programs_.records[static_cast<size_t>(GetProgram())].name);
}

bool Sampler::GetProgramNameIndexed(int32_t index, char* text) const {
  if (index < 0 || index >= kProgramCount) return false;
  std::lock_guard<std::mutex> lock(programs_.mutex);
  CopyProgramName(text, programs_.records[static_cast<size_t>(index)].name);
  return true;
}

// ---- Parameters -------------------------------------------------------------------------------

void Sampler::SetHostSampleRate(float rate) noexcept {
  // A host may announce nonsense (0, negative, NaN) before it knows its rate; pitch and
  // the phonetic release keep the last usable rate.
  if (rate >= 1.0f && std::isfinite(rate)) hostSampleRate_.store(rate, std::memory_order_relaxed);
}

void Sampler::SetParameter(int32_t index, float value) {
  // Hosts send 0..1, but any float is taken as it is, except values that are not numbers
  // or infinite: stored, they would make every later block NaN.
  if (!std::isfinite(value)) return;
  ModuleState& module = Module();
  switch (index) {
    case kParamVolume:
      volume_.store(value, std::memory_order_relaxed);
      break;
    case kParamPitchBendRange:
      pitchBendRange_.store(PitchBendRangeFromValue(value), std::memory_order_relaxed);
      break;
    case kParamEffect:
      SetEffect(value);
      break;
    case kParamReleaseFactor:
      module.releaseFactor.store(static_cast<double>(value), std::memory_order_relaxed);
      break;
    case kParamReleaseLimit:
      module.releaseLimit.store(static_cast<double>(value), std::memory_order_relaxed);
      break;
    default:
      break;
  }
}

float Sampler::GetParameter(int32_t index) const noexcept {
  const ModuleState& module = Module();
  switch (index) {
    case kParamVolume:
      return Volume();
    case kParamPitchBendRange:
      return ValueFromPitchBendRange(PitchBendRange());
    case kParamEffect:
      return EffectOn() == 1 ? 1.0f : 0.0f;
    case kParamReleaseFactor:
      return static_cast<float>(module.releaseFactor.load(std::memory_order_relaxed));
    case kParamReleaseLimit:
      return static_cast<float>(module.releaseLimit.load(std::memory_order_relaxed));
    default:
      return 0.0f;
  }
}

void Sampler::SetEffect(float value) {
  std::lock_guard<std::mutex> oneSwitchAtATime(effectSwitch_);
  if (reloading_.load(std::memory_order_acquire) == 1) return;  // a bank select is reloading

  // A value that leaves the switch as it is changes nothing: a Chorus rebuild under way
  // goes on to its end (stopped, it would leave the bank half rebuilt). Hosts send the
  // same value again freely (automation, a restored project, a generic control).
  const int32_t on = value > 0.5f ? 1 : 0;
  if (on == effectOn_.load(std::memory_order_relaxed)) return;

  // A loader still busy after a minute goes on to its end, and nothing changes.
  if (!StopLoaderForReload()) return;

  // Wait for the audio thread to finish its block; from here on it skips blocks.
  std::lock_guard<std::mutex> reload(reloadGuard_);
  // A bank select may have started a loader between the wait above and the guard.
  if (!StopLoaderForReload()) return;
  effectOn_.store(on, std::memory_order_relaxed);
  const ReloadScope reloading(reloading_);
  const std::string voiceFolder = Module().VoiceFolder();
  bank_->FreeSamples();
  bank_->AllocateSamples();
  bank_->LoadSampleList(pluginDir_.c_str(), voiceFolder.c_str());
  StartLoader(bank_, on == 1);
  LoadProgramFile(pluginDir_.c_str(), voiceFolder.c_str(), programs_, *bank_);
}

// ---- Audio ------------------------------------------------------------------------------------

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
      const int bit = __builtin_ctzll(keys);
      keys &= keys - 1;
      slots_.ReleaseNote(static_cast<int32_t>(word * 64 + static_cast<size_t>(bit)));
    }
  }
}

void Sampler::PublishPendingKeyMap() noexcept {
  std::unique_lock<std::mutex> lock(programs_.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return;  // still held: the audio thread's own map stays in use
  // The program selected last, whichever thread selected it (both store it under the lock
  // or, on this thread, before this publication).
  BuildAndPublishKeyMap(currentProgram_.load(std::memory_order_relaxed));
  keyMapPending_ = false;
}

void Sampler::RenderStretch(float* left, float* right, int32_t firstFrame, int32_t n) noexcept {
  if (n <= 0) return;
  if (keyMapPending_) PublishPendingKeyMap();
  if (!keyMapPending_) programs_.keyMap.Snapshot(keySnapshot_, keySnapshotSequence_);
  const ModuleState& module = Module();
  StretchContext context;
  context.keyMap = &keySnapshot_;
  context.bank = bank_.get();
  context.reloading = reloading_.load(std::memory_order_acquire) != 0;
  context.loaderBusy = bank_->loaderBusy.load(std::memory_order_acquire);
  context.loaderProgress = bank_->loaderProgress.load(std::memory_order_acquire);
  context.pitchBend = pitchBend_;
  context.pitchBendRange = pitchBendRange_.load(std::memory_order_relaxed);
  context.volume = volume_.load(std::memory_order_relaxed);
  context.expression = expression_;
  context.releaseFactor = module.releaseFactor.load(std::memory_order_relaxed);
  context.releaseLimit = &module.releaseLimit;
  context.hostSampleRate = hostSampleRate_.load(std::memory_order_relaxed);
  slots_.RenderStretch(left, right, firstFrame, n, context);
}

void Sampler::RenderWithReleaseTimer(float* left, float* right, int32_t firstFrame, int32_t n) noexcept {
  // The phonetic release falls at an exact frame of rendered audio: split the stretch there.
  if (releaseTimerFrames_ >= 0 && releaseTimerFrames_ <= n) {
    const auto head = static_cast<int32_t>(releaseTimerFrames_);
    RenderStretch(left, right, firstFrame, head);
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
  releaseTimerGeneration_ = Module().timerGeneration.load(std::memory_order_relaxed);
}

void Sampler::FireReleaseTimer() noexcept {
  releaseTimerFrames_ = -1;
  ModuleState& module = Module();
  if (releaseTimerGeneration_ != module.timerGeneration.load(std::memory_order_relaxed)) return;
  int32_t held = 1;
  if (module.noteHeld.compare_exchange_strong(held, 0, std::memory_order_acq_rel))
    slots_.ReleaseNote(module.heldKey.load(std::memory_order_relaxed));
}

void Sampler::Process(float* left, float* right, int32_t frames) noexcept {
  if (frames <= 0) return;
  std::unique_lock<std::mutex> guard(reloadGuard_, std::try_to_lock);
  if (!guard.owns_lock() || reloading_.load(std::memory_order_acquire) != 0) {
    // A reload holds the samples: this block stays silent and its events wait for the
    // next rendered block, late but in order (a note-off lost here would leave a note
    // sounding for ever). The outputs are still written, since a host may hand in
    // buffers with stale audio.
    queue_.Defer();
    std::fill_n(left, frames, 0.0f);
    std::fill_n(right, frames, 0.0f);
    return;
  }
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
      HandleMidiMessage(static_cast<int8_t>(event.status), static_cast<int8_t>(event.data1),
                        static_cast<int8_t>(event.data2));
    }
    remaining -= n;
  }
}

}  // namespace chantera
