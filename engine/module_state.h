// State that belongs to the plug-in library rather than to one instance: every instance
// in the process sees the same copies (MIDI controller and phonetic input state, the two
// release constants, the folder of the voice selected last, the most recent instance).
// Atomics, because instances may run on different audio threads and the host sets the
// release constants from its own threads; relaxed ordering is enough for independent
// values.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace chantera {

class Sampler;

struct ModuleState {
  std::atomic<double> releaseFactor{1.0 / 110000.0};
  std::atomic<double> releaseLimit{0.001};

  std::atomic<int32_t> rpnMsb{-1};
  std::atomic<int32_t> rpnLsb{-1};
  std::atomic<int32_t> dataEntryMsb{-1};  // the last data entry for a registered parameter
  std::atomic<int32_t> dataEntryLsb{-1};
  std::atomic<int32_t> nrpnMsb{-1};
  std::atomic<int32_t> nrpnLsb{-1};
  // Which kind of parameter data entry goes to: 1 after controller 99 or 98 (a
  // non-registered one: the phonetic protocol), 0 after 101 or 100 (a registered one),
  // as MIDI selects them. 0 at module load.
  std::atomic<int32_t> nrpnSelected{0};
  std::atomic<int32_t> bankMsb{0};
  std::atomic<int32_t> bankLsb{0};

  static constexpr double beatMs = 500.0;
  static constexpr int32_t noteTicks = 480;

  // The phonetic symbol being spelled: bytes 0..2 hold its characters, the rest stays 0.
  std::array<std::atomic<char>, 256> phoneticBuffer{};
  std::atomic<int32_t> phoneticKey{0};
  std::atomic<int32_t> heldKey{0};
  std::atomic<int32_t> noteHeld{0};
  std::atomic<int32_t> timerGeneration{0};

  std::atomic<Sampler*> activeInstance{nullptr};

  void ClearPhoneticBuffer() noexcept {
    for (auto& c : phoneticBuffer) c.store(0, std::memory_order_relaxed);
  }

  // The folder of the voice selected last by any instance: a separator, the folder
  // name, a separator. Copied under a short lock (reloads of two instances may run on
  // two threads).
  std::string VoiceFolder() const {
    std::lock_guard<std::mutex> lock(voiceFolderMutex_);
    return voiceFolder_;
  }
  void SetVoiceFolder(std::string folder) {
    std::lock_guard<std::mutex> lock(voiceFolderMutex_);
    voiceFolder_ = std::move(folder);
  }

 private:
  mutable std::mutex voiceFolderMutex_;
  std::string voiceFolder_;
};

ModuleState& Module() noexcept;

}  // namespace chantera
