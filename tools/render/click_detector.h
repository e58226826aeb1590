// Finds clicks in rendered audio: a step from one frame to the next far larger than any
// step of the signal in the few milliseconds before it. Sung sound changes smoothly from
// frame to frame; a jump into another recording, or a note cut off mid-wave, does not.
// The renderer runs it over every song it writes, and the tests over their renders.
// Thread: any one thread (offline).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace chantera {

class ClickDetector {
 public:
  // A click is a step above kFactor times the largest step of the last ~5 ms, and above
  // kFloor (full scale 1.0) so that steps out of near-silence do not count.
  static constexpr double kFactor = 4.0;
  static constexpr double kFloor = 0.03;

  explicit ClickDetector(double sampleRate);

  // Feeds the next frames of a stereo signal.
  void Feed(const float* left, const float* right, size_t frames);

  size_t clicks() const { return clicks_; }
  // Frame of the first click (meaningful when clicks() > 0).
  uint64_t firstClick() const { return firstClick_; }
  // The largest step found at a click, and the largest step before it (for reports).
  double worstStep() const { return worstStep_; }

 private:
  static constexpr int kBlocks = 4;  // the window, as maxima of a few short blocks
  struct Channel {
    float last = 0.0f;
    std::array<double, kBlocks> blockMax{};  // the last complete blocks
    double current = 0.0;                    // the block being filled
  };
  void Step(Channel& channel, float value, bool& click, double& step);

  size_t blockFrames_;
  size_t inBlock_ = 0;
  int nextBlock_ = 0;
  uint64_t frame_ = 0;
  uint64_t quietUntil_ = 0;  // one click counts once, however many frames it spans
  std::array<Channel, 2> channels_{};
  size_t clicks_ = 0;
  uint64_t firstClick_ = 0;
  double worstStep_ = 0.0;
};

}  // namespace chantera
