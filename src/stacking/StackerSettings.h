#pragma once

#include <optional>
#include <string>

#include "image/BayerMosaic.h"

// The one settings record: what the user asked for, with every default in
// this one place. The Stacker's setters clamp values into it once; the
// stacking methods, the frame checks, alignment and post-processing read it
// as it is and never clamp or default a value again. Always made with
// std::make_shared and shared by pointer; the ...Set flags say which
// post-processing values the user gave.
struct StackerSettings {
    bool alignFrames = true;
    int maxStars = 200;                // >= 3
    float backgroundPercent = 15.0f;   // 0..100
    float contrast = 120.0f;           // 10..200, already mapped from the user's percentage
    float saturation = 120.0f;         // 0..200, already mapped from the user's percentage
    float compression = 20.0f;         // 0..100
    int medianFilterSize = 0;          // 0 = off, else odd, at most the largest kernel
    int sigmaClipFrames = 5;           // >= 3
    float sigmaLow = 2.0f;             // 1..7
    float sigmaHigh = 2.0f;            // 1..7
    bool diagnostic = false;
    std::string diagnosticPrefix = "frame_";
    float qualityThreshold = 0.7f;     // 0..1
    // The reference is a mean of several frames, so its noise is lower than
    // any single frame's (see calculateFrameQuality).
    bool referenceIsStack = false;
    int histEqWindow = 63;             // odd, >= 3
    float histEqClip = 1.0f;           // 0..4
    bool benchmark = false;
    DebayerMethod debayerMethod = DebayerMethod::Bilinear;
    bool autoStretch = false;          // the output of an 8-bit stack too
    int denoiseMethod = 0;             // 0 none, 1 non-local means, 2 bilateral
    int denoiseStrength = 10;          // 1..30
    bool nebulosityDetection = true;
    // The threshold of every detection of a run, the first frame's and the
    // background adjustment's alike, so a cached outcome means the same thing
    // as a fresh one.
    float nebulosityThreshold = 0.4f;
    bool nebulosityChecked = false;
    bool nebulosityDetected = false;
    float nebulosityScore = 0.0f;
    // The background model, when the user chose it; the adjustment picks
    // what is not given from the percentage and the nebulosity outcome.
    std::optional<int> polyDegree;             // 1..4
    std::optional<int> gridSize;               // 8..64
    std::optional<float> protectionThreshold;  // 0..1
    std::optional<float> smoothness;           // 0..1
    bool backgroundSet = false;
    bool contrastSet = false;
    bool saturationSet = false;
    bool compressionSet = false;
    bool medianFilterSet = false;
    bool histEqSet = false;
    bool denoiseSet = false;
};
