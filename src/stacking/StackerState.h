#pragma once

// Private to the Stacker's implementation files.

#include <string>
#include <vector>

#include "stacking/Stacker.h"

struct Stacker::State {
    StackerOptions options;
    ByteImagePtr referenceFrame;
    ByteImagePtr darkFrame;
    std::vector<ByteImagePtr> frames;
    int frameCount = 0;
    FloatImagePtr stackedFrame;
    float orientation = 0.0f;
    NebulosityCache nebulosity;
    std::string lastError;
    bool lastFrameAccepted = true;
};
