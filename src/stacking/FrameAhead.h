#pragma once

#include <exception>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "alignment/StarExtraction.h"
#include "image/BayerMosaic.h"
#include "stacking/CameraFrame.h"
#include "stacking/FrameCalibration.h"

// A frame read, calibrated and its stars measured while the state is being
// read: on two cores a run then waits for the larger of the two instead of
// their sum.
struct PreparedFrame {
    CameraFrame frame;  // calibrated, unless calibrationFailure holds why not
    // What calibration threw, raised only once the frame's kind has been
    // checked against the stack's, so that a frame of the wrong kind is
    // reported as such, as it would be had it been read in turn.
    std::exception_ptr calibrationFailure;
    // The stars registration would extract from this frame; none when they
    // were not asked for or could not be measured.
    std::optional<std::vector<ExtractedStar>> stars;
};

// The work runs on a thread of its own from construction; take() waits for
// it and passes on what reading the frame threw. Destruction waits too, so
// the thread never outlives the calibration it copied.
class FrameAhead {
public:
    FrameAhead(std::string path, FrameCalibration calibration, DebayerMethod debayerMethod, bool measureStars);
    ~FrameAhead();
    FrameAhead(const FrameAhead&) = delete;
    FrameAhead& operator=(const FrameAhead&) = delete;

    const std::string& path() const { return path_; }
    PreparedFrame take();

private:
    PreparedFrame prepare() const;

    std::string path_;
    FrameCalibration calibration_;
    DebayerMethod debayerMethod_;
    bool measureStars_;
    std::future<PreparedFrame> result_;
};
