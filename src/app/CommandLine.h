#pragma once

#include <optional>
#include <string>

class Stacker;

// What one invocation asked for, beyond the values that parsing hands to the
// Stacker at once.
struct CommandLine {
    std::string outputPath;
    std::string referencePath;  // a new stack is registered onto it; empty: onto its first frame
    std::string statePath;
    std::string saveStatePath;
    std::string loadStatePath;
    std::string methodName = "mean";
    std::string inputPath;
    bool resetRequested = false;
    std::optional<float> backgroundPercent;
    std::optional<float> contrastPercent;
    std::optional<float> saturationPercent;
    std::optional<float> compressionPercent;
    std::optional<int> medianFilterSize;
    bool localHistEqRequested = false;
    int histEqWindow = 63;
    float histEqClip = 1.0f;
    bool denoiseRequested = false;
    int denoiseMethod = 0;
    int denoiseStrength = 10;
    bool benchmarkRequested = false;
    std::string darkPath;
    std::string flatPath;
    std::string watchFolder;   // set: frames come from this folder instead of inputPath
    std::string watchPattern;  // empty: every file the frame loader reads
    bool watchOnce = false;    // stack what the folder holds, then exit
};

enum class ParseOutcome { Run, ExitSuccess, ExitFailure };

// Parses argv in order (a later repetition overrides an earlier one). Options
// that configure the Stacker directly are applied to it at once; -h prints the
// usage and ends parsing. Errors are logged (with the usage where it helps).
ParseOutcome parseCommandLine(int argc, char** argv, Stacker& stacker, CommandLine& commandLine);

void printUsage(const std::string& argv0);

// Hands the remembered post-processing values to the Stacker's setters, each
// only when it was given.
void applyPostProcessingOptions(const CommandLine& commandLine, Stacker& stacker);

// The fixed run sequence: reset, seed state, method check, post-processing
// options, calibration masters, load state (not after a reset, which keeps the old state as a
// numbered backup when the new one is saved), reference frame, process the
// frame, save state. All of it holds the state's lock (STATE.lock, waited for
// up to 120 s) and ends by appending the frame's line to STATE.frames.jsonl,
// failed runs included. With --watch, the watch of that folder instead
// (app/WatchMode.h). Returns the exit status.
int runCommandLine(const CommandLine& commandLine, Stacker& stacker);
