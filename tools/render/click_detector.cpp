#include "tools/render/click_detector.h"

#include <algorithm>
#include <cmath>

namespace chantera {

ClickDetector::ClickDetector(double sampleRate)
    : blockFrames_(std::max<size_t>(1, static_cast<size_t>(0.005 * sampleRate / kBlocks))) {}

void ClickDetector::Step(Channel& channel, float value, bool& click, double& step) {
  step = std::fabs(static_cast<double>(value) - channel.last);
  channel.last = value;
  double before = channel.current;
  for (const double m : channel.blockMax) before = std::max(before, m);
  click = step > kFloor && step > kFactor * before;
  channel.current = std::max(channel.current, step);
}

void ClickDetector::Feed(const float* left, const float* right, size_t frames) {
  for (size_t i = 0; i < frames; ++i, ++frame_) {
    bool clickLeft = false, clickRight = false;
    double stepLeft = 0.0, stepRight = 0.0;
    Step(channels_[0], left[i], clickLeft, stepLeft);
    Step(channels_[1], right[i], clickRight, stepRight);
    if ((clickLeft || clickRight) && frame_ >= quietUntil_) {
      if (clicks_ == 0) firstClick_ = frame_;
      ++clicks_;
      worstStep_ = std::max({worstStep_, stepLeft, stepRight});
      quietUntil_ = frame_ + blockFrames_ * kBlocks;
    }
    if (++inBlock_ == blockFrames_) {
      for (Channel& c : channels_) {
        c.blockMax[static_cast<size_t>(nextBlock_)] = c.current;
        c.current = 0.0;
      }
      nextBlock_ = (nextBlock_ + 1) % kBlocks;
      inBlock_ = 0;
    }
  }
}

}  // namespace chantera
