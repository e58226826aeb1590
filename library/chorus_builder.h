// The Chorus rebuild: a recording layered with three stretched (lowered) copies of
// itself and seven echoes, scaled back to the recording's own peak. Bit-exact integer
// and double arithmetic; runs on the loader thread, never on the audio thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace chantera {

class Sample;

// Rebuilds data (signed 16-bit values) into the Chorus version. Returns false (and
// leaves out untouched) when memory cannot be had or the result could not be held.
bool BuildChorus(std::span<const int16_t> data, std::vector<int16_t>& out);

// Rebuilds one sample in place. 16-bit mono data are read as one stream of dataSize / 2
// values; 8-bit data, and data of more than one channel (which the renderer plays as two),
// channel by channel as the renderer plays them. The result is 16-bit data of the channels
// played. An allocation failure leaves the sample as it was.
void RebuildSample(Sample& sample);
// The same, working in workspace, which a caller rebuilding many samples keeps between
// calls so that the working memory is had once.
void RebuildSample(Sample& sample, std::vector<double>& workspace);

// Number of values the rebuild makes from n values.
uint32_t ChorusLength(uint32_t n);

}  // namespace chantera
