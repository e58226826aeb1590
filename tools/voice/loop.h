// chantera-voice loop: sets the sustain loop of a WAV file in place (its "smpl" chunk),
// the audio kept byte for byte.
// Thread: offline only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace chantera::voice {

// Sets frames first..last (inclusive) as the file's sustain loop; done says what was done
// ("FILE: sustain loop over frames ..."). False, with the file unchanged and error saying
// why, when it is not a WAV file the instrument reads or the loop is one the instrument
// would ignore (inverted, past the data, shorter than its minimum).
bool SetSustainLoop(const std::filesystem::path& file, uint32_t first, uint32_t last, std::string& done,
                    std::string& error);

}  // namespace chantera::voice
