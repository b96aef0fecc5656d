#pragma once

#include <memory>
#include <vector>

#include "image/ImageBuffer.h"
#include "stacking/StackerSettings.h"

// The working context of one stacking operation: settings, reference frame,
// dark frame and the frames to combine. Built, filled, used once and dropped;
// it shares the frames it is given and never modifies them.
class ImageStacker {
public:
    ImageStacker();

    std::shared_ptr<StackerSettings>& settings() { return settings_; }
    ByteImagePtr& referenceFrame() { return referenceFrame_; }
    ByteImagePtr& darkFrame() { return darkFrame_; }
    std::vector<ByteImagePtr>& frames() { return frames_; }

    // The frame itself without a dark frame, else a new buffer holding
    // max(frame - dark, 0). Throws std::runtime_error when the sizes differ.
    ByteImagePtr applyDarkSubtraction(const ByteImagePtr& frame);

    // Ratio of the smaller to the larger sample standard deviation of frame
    // and reference, in [0, 1]: 1.0 without a reference, 0.0 (with a warning)
    // when the sizes differ, NaN when both are flat. Images above 2 000 000
    // samples are measured on every fourth sample.
    float calculateFrameQuality(const ByteImagePtr& frame);

private:
    std::shared_ptr<StackerSettings> settings_;
    ByteImagePtr referenceFrame_;
    ByteImagePtr darkFrame_;
    std::vector<ByteImagePtr> frames_;
};
