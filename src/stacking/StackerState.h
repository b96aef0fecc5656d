#pragma once

// Private to the Stacker's implementation files.

#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "stacking/FrameCalibration.h"
#include "stacking/RunningMean.h"
#include "stacking/StackRecord.h"
#include "stacking/Stacker.h"

struct Stacker::State {
    StackerOptions options;
    ByteImagePtr referenceFrame;
    // A linear stack's reference: its first frame, or the loaded stack itself.
    FloatImagePtr linearReference;
    ByteImagePtr darkFrame;  // the 8-bit master dark, for batch stacking
    FrameCalibration calibration;
    StackRecord record;
    // A state file that can only hold an 8-bit stack (JPEG); empty when none.
    std::string eightBitStateFile;
    std::vector<ByteImagePtr> frames;
    int frameCount = 0;
    FloatImagePtr stackedFrame;
    StackPlanes planes;  // kept only where the state can hold them: none for a JPEG state
    // The pixels of the stack's grid the frame being stacked covers; null
    // when it was not resampled.
    ByteImagePtr coverage;
    float orientation = 0.0f;
    NebulosityCache nebulosity;
    std::string lastError;
    bool lastFrameAccepted = true;
    std::string rejectionReason;
    RegistrationReport registration;
    // The reference's stars, measured when the stack held referenceStarsFrames
    // frames; kept with the state so a run extracts only the new frame's.
    std::vector<ExtractedStar> referenceStars;
    int referenceStarsFrames = 0;
    // The frame's stars, when they were measured while the state was read.
    std::optional<std::vector<ExtractedStar>> frameStars;
    float frameQuality = std::numeric_limits<float>::quiet_NaN();
    std::function<void()> beforeStackChanges;
};
