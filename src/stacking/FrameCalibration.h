#pragma once

#include <optional>
#include <string>

#include "stacking/CameraFrame.h"

// The corrections applied to every raw frame before it is debayered or
// registered: a master dark subtracted, a master flat (normalised to its
// mean) divided by, and hot pixels replaced. Masters are read once and
// checked against each frame.
class FrameCalibration {
public:
    // The masters as read from path. A flat whose mean is not above zero
    // throws std::runtime_error naming the file.
    void setDark(const std::string& path, CameraFrame master);
    void setFlat(const std::string& path, CameraFrame master);
    // The dark is subtracted only while enabled.
    void setDarkEnabled(bool enabled) { darkEnabled_ = enabled; }
    // Off unless set: a pixel standing more than sigma robust deviations
    // above the median of its eight nearest neighbours of the same colour is
    // replaced by that median.
    void setHotPixelSigma(float sigma) { hotPixelSigma_ = sigma; }

    // Corrects the frame's samples in place. Throws std::runtime_error, the
    // frame untouched, when a master differs from it in size, channels or
    // kind. An 8-bit frame stays within 0..255.
    void apply(CameraFrame& frame, const std::string& path) const;

private:
    struct Master {
        std::string path;
        CameraFrame frame;
    };

    std::optional<Master> dark_;
    bool darkEnabled_ = false;
    std::optional<Master> flat_;
    std::optional<float> hotPixelSigma_;
};

// Replaces every pixel that stands more than sigma robust deviations (1.4826
// times the median absolute deviation of all pixels' excess over their
// neighbours, per colour) above the median of its eight nearest neighbours
// of the same colour, by that median. For a mosaic, same colour follows the
// layout; otherwise each channel is its own colour. Pixels closer than two
// to the border are left alone.
void correctHotPixels(FloatImage& image, const std::optional<BayerLayout>& bayer, float sigma);
