#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "app/FrameRecord.h"

struct CommandLine;
class Stacker;

// The steps of a run that a per-frame run and a watch share. Each that can
// fail throws RunFailure, whose text is the error line's without "Error: ".

struct RunFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Why the state paths (-e, -s) cannot hold a state, or empty when they can.
// Checked before the lock is taken, so that nothing is created beside them.
std::string statePathsProblem(const CommandLine& commandLine);

// Everything before the first frame, under the state's lock: what killed
// runs left beside the state and the picture is removed, then
// reset, seed state, method, post-processing options, calibration masters,
// and the state read. A frame path given is read ahead
// (Stacker::readFrameAhead) while the state is.
void openStack(const CommandLine& commandLine, Stacker& stacker, const std::string& framePath = {});

// The frame registered (onto -r's frame for a new stack), folded in and the
// picture written.
void stackFrame(const CommandLine& commandLine, Stacker& stacker, const std::string& framePath);

// The -s copy, then, when the frame was accepted, the state itself (the old
// one kept as a backup first after -x).
void saveStack(const CommandLine& commandLine, Stacker& stacker);

// Appends the frame's line to STATE.frames.jsonl, its step times counted from
// `since`; a line that cannot be written is only warned about.
void recordFrame(const CommandLine& commandLine, const Stacker& stacker, const std::string& framePath,
                 const std::string& failure, std::optional<int> frames, const StepClock& since = {});
