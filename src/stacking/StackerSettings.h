#pragma once

#include <string>

// The settings record read by the stacking methods, the frame checks,
// alignment and post-processing. Always made with std::make_shared and shared
// by pointer. Values arrive already mapped and clamped; the ...Set flags say
// which post-processing values the user gave.
struct StackerSettings {
    bool alignFrames = true;
    int maxStars = 200;
    float backgroundPercent = 15.0f;
    float contrast = 120.0f;
    float saturation = 120.0f;
    float compression = 20.0f;
    int medianFilterSize = 0;
    int sigmaClipFrames = 5;
    float sigmaLow = 2.0f;
    float sigmaHigh = 2.0f;
    bool diagnostic = false;
    std::string diagnosticPrefix = "frame_";
    float qualityThreshold = 0.7f;
    // The reference is a mean of several frames, so its noise is lower than
    // any single frame's (see calculateFrameQuality).
    bool referenceIsStack = false;
    int histEqWindow = 0;
    float histEqClip = 2.0f;
    bool benchmark = false;
    int denoiseMethod = 0;
    int denoiseStrength = 10;
    bool nebulosityDetection = true;
    float nebulosityThreshold = 0.6f;
    bool nebulosityChecked = false;
    bool nebulosityDetected = false;
    float nebulosityScore = 0.0f;
    bool backgroundSet = false;
    bool contrastSet = false;
    bool saturationSet = false;
    bool compressionSet = false;
    bool medianFilterSet = false;
    bool histEqSet = false;
    bool denoiseSet = false;
};
