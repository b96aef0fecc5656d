#pragma once

#include <map>
#include <optional>
#include <string>

#include "image/FitsFile.h"
#include "stacking/CameraFrame.h"

// What a stack keeps about its frames beyond their pixels: its kind, the
// total exposure and the first frame's header texts that hold for every
// frame since. Kept in the header of a FITS state and written into a FITS
// output of the stack.
struct StackRecord {
    bool linear = false;
    std::optional<double> totalExposure;       // sum of the frames' EXPTIME, where given
    std::map<std::string, std::string> texts;  // DATE-OBS of the first frame; OBJECT, ... while they agree
};

// Counts a frame in: the first frame of a stack gives the texts; every later
// one adds its exposure and drops the texts it disagrees with (DATE-OBS
// stays the first frame's).
void addToRecord(StackRecord& record, const FrameHeader& header, bool firstFrame);

// The header of a stack of frameCount frames: STACKTYP ("linear" or
// "8-bit"), NCOMBINE, EXPTIME (the total) and the texts.
FitsKeywords stackKeywords(const StackRecord& record, int frameCount);
// The record such a header holds; a header without STACKTYP (a state
// written before stacks had kinds) is an 8-bit stack.
StackRecord stackRecordOf(const FitsKeywords& keywords);
