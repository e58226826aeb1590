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

namespace {

// The largest step |v[k] - v[k - 1]| over values[0, n), v[-1] being last, with four
// independent maxima so that the comparisons overlap. A step that is not a number counts
// as none, as in Step.
double LargestStep(const float* values, float last, size_t n) {
  double m[4] = {0.0, 0.0, 0.0, 0.0};
  double previous = last;
  size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    const double v0 = values[k], v1 = values[k + 1], v2 = values[k + 2], v3 = values[k + 3];
    m[0] = std::max(m[0], std::fabs(v0 - previous));
    m[1] = std::max(m[1], std::fabs(v1 - v0));
    m[2] = std::max(m[2], std::fabs(v2 - v1));
    m[3] = std::max(m[3], std::fabs(v3 - v2));
    previous = v3;
  }
  for (; k < n; ++k) {
    const double v = values[k];
    m[0] = std::max(m[0], std::fabs(v - previous));
    previous = v;
  }
  return std::max(std::max(m[0], m[1]), std::max(m[2], m[3]));
}

}  // namespace

void ClickDetector::Feed(const float* left, const float* right, size_t frames) {
  // Block by block. A frame is a click only if its step rises above the floor and above
  // kFactor times every step of the window before it, so above kFactor times the largest
  // step known when the piece starts (the last blocks' and this block's so far). Where no
  // step of a piece does, none of its frames can be a click and only the block's maxima
  // move on: such pieces (nearly all of a song) are looked at in one pass. The others go
  // frame by frame.
  const auto bound = [](const Channel& c) {
    double before = c.current;
    for (const double m : c.blockMax) before = std::max(before, m);
    return std::max(kFloor, kFactor * before);
  };
  while (frames > 0) {
    const size_t piece = std::min(frames, blockFrames_ - inBlock_);
    const double largestLeft = LargestStep(left, channels_[0].last, piece);
    const double largestRight = LargestStep(right, channels_[1].last, piece);
    if (largestLeft > bound(channels_[0]) || largestRight > bound(channels_[1])) {
      FeedFrames(left, right, piece);
    } else {
      channels_[0].current = std::max(channels_[0].current, largestLeft);
      channels_[1].current = std::max(channels_[1].current, largestRight);
      channels_[0].last = left[piece - 1];
      channels_[1].last = right[piece - 1];
      frame_ += piece;
      inBlock_ += piece;
      if (inBlock_ == blockFrames_) EndBlock();
    }
    left += piece;
    right += piece;
    frames -= piece;
  }
}

void ClickDetector::EndBlock() {
  for (Channel& c : channels_) {
    c.blockMax[static_cast<size_t>(nextBlock_)] = c.current;
    c.current = 0.0;
  }
  nextBlock_ = (nextBlock_ + 1) % kBlocks;
  inBlock_ = 0;
}

void ClickDetector::FeedFrames(const float* left, const float* right, size_t frames) {
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
    if (++inBlock_ == blockFrames_) EndBlock();
  }
}

}  // namespace chantera
