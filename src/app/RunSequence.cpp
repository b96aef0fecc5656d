#include "app/RunSequence.h"

#include <exception>
#include <filesystem>
#include <system_error>

#include "app/CommandLine.h"
#include "app/StateLock.h"
#include "app/WatchMode.h"
#include "core/Logger.h"
#include "image/AtomicFile.h"
#include "stacking/Stacker.h"
#include "stacking/StateFiles.h"

namespace {

// A state file keeps a running mean, and for the sigma clip the variance
// beside it; a median needs every frame.
void applyMethod(const std::string& name, Stacker& stacker)
{
    if (name == "median") {
        logWarn("The median method is not supported in stateful operation.");
        logWarn("Falling back to mean stacking method.");
    } else if (name != "mean" && name != "sigmaclip") {
        throw RunFailure("Unknown stacking method: " + name);
    }
    stacker.setMethod(name == "sigmaclip" ? StackingMethod::SigmaClip : StackingMethod::Mean);
}

void loadSeedState(const CommandLine& cl, Stacker& stacker)
{
    if (cl.loadStatePath.empty())
        return;
    logInfo("Loading state from " + cl.loadStatePath + "...");
    if (stacker.loadState(cl.loadStatePath) != StateLoad::Loaded)
        throw RunFailure("Failed to load state: " + stacker.lastError());
    logInfo("State loaded successfully");
}

// -x starts a new stack: the state file is left on disk, to be kept as a
// backup when the new stack is saved.
void loadStateFile(const CommandLine& cl, Stacker& stacker)
{
    if (cl.resetRequested) {
        logInfo("Starting a new stack; " + cl.statePath + " is not loaded");
        return;
    }
    switch (stacker.loadState(cl.statePath)) {
    case StateLoad::Loaded:
        logInfo("Loaded existing state from " + cl.statePath);
        return;
    case StateLoad::Missing:
    case StateLoad::SetAside:
        logInfo("No existing state found, starting fresh");
        return;
    case StateLoad::Refused:
        throw RunFailure("Failed to load state: " + stacker.lastError());
    }
}

void loadMasters(const CommandLine& cl, Stacker& stacker)
{
    if (!cl.darkPath.empty()) {
        if (!stacker.loadDarkFrame(cl.darkPath))
            throw RunFailure("Failed to load dark frame: " + stacker.lastError());
        stacker.setDarkSubtraction(true);
        logInfo("Master dark: " + cl.darkPath);
    }
    if (!cl.flatPath.empty()) {
        if (!stacker.loadFlatFrame(cl.flatPath))
            throw RunFailure("Failed to load flat frame: " + stacker.lastError());
        logInfo("Master flat: " + cl.flatPath);
    }
}

// A reference frame only decides the geometry of a new stack.
void applyReference(const CommandLine& cl, Stacker& stacker)
{
    if (cl.referencePath.empty())
        return;
    if (stacker.stackedFrame()) {
        logInfo("Reference frame " + cl.referencePath + " ignored: the stack already has its reference");
        return;
    }
    if (!stacker.loadReferenceFrame(cl.referencePath))
        throw RunFailure("Failed to load reference frame: " + stacker.lastError());
    logInfo("New stack registered onto reference frame " + cl.referencePath);
}

// What runs killed midway left beside the state and the picture.
void removeLeftovers(const CommandLine& cl)
{
    removeInterruptedSaves(cl.statePath);
    if (cl.outputPath.empty())
        return;
    for (const std::string& removed : removeAbandonedTemporaries(cl.outputPath))
        logInfo("Removed " + removed + ", left by an interrupted write");
}

// A stack to register onto: one already loaded (-l), or a state to be read.
bool stackExpected(const CommandLine& cl, const Stacker& stacker)
{
    std::error_code error;
    return stacker.stackedFrame() || (!cl.resetRequested && std::filesystem::exists(cl.statePath, error));
}

void saveStateTo(const std::string& path, Stacker& stacker)
{
    if (!stacker.saveState(path))
        throw RunFailure("Failed to save state: " + stacker.lastError());
}

// Written before the main state, so that when it fails the main state is as
// it was and a capture program that retries the frame does not stack it twice.
void saveStateCopy(const CommandLine& cl, Stacker& stacker)
{
    if (cl.saveStatePath.empty())
        return;
    logInfo("Saving state to " + cl.saveStatePath + "...");
    saveStateTo(cl.saveStatePath, stacker);
    logInfo("State saved successfully");
}

void saveMainState(const CommandLine& cl, Stacker& stacker)
{
    if (!stacker.lastFrameAccepted()) {
        logInfo("State left as it was: " + cl.statePath);
        return;
    }
    if (cl.resetRequested && !stacker.backUpState(cl.statePath))
        throw RunFailure("Failed to save state: " + stacker.lastError());
    saveStateTo(cl.statePath, stacker);
    logInfo("State saved to " + cl.statePath);
}

}  // namespace

std::string statePathsProblem(const CommandLine& cl)
{
    for (const std::string& path : {cl.statePath, cl.saveStatePath}) {
        const std::string problem = path.empty() ? std::string() : stateFileProblem(path);
        if (!problem.empty())
            return problem;
    }
    return {};
}

void openStack(const CommandLine& cl, Stacker& stacker, const std::string& framePath)
{
    removeLeftovers(cl);
    if (cl.resetRequested) {
        stacker.resetState();
        logInfo("Internal state reset");
    }
    loadSeedState(cl, stacker);
    applyMethod(cl.methodName, stacker);
    applyPostProcessingOptions(cl, stacker);
    loadMasters(cl, stacker);
    stacker.addStateFile(cl.statePath);
    if (!cl.saveStatePath.empty())
        stacker.addStateFile(cl.saveStatePath);
    if (!framePath.empty())
        stacker.readFrameAhead(framePath, stackExpected(cl, stacker));
    loadStateFile(cl, stacker);
}

void stackFrame(const CommandLine& cl, Stacker& stacker, const std::string& framePath)
{
    applyReference(cl, stacker);
    logInfo("Processing frame " + framePath + "...");
    if (!stacker.processFrame(framePath, cl.outputPath))
        throw RunFailure("Failed to process frame: " + stacker.lastError());
}

void saveStack(const CommandLine& cl, Stacker& stacker)
{
    saveStateCopy(cl, stacker);
    saveMainState(cl, stacker);
}

// A record that cannot be written must not fail a run whose stack is saved.
void recordFrame(const CommandLine& cl, const Stacker& stacker, const std::string& framePath,
                 const std::string& failure, std::optional<int> frames, const StepClock& since)
{
    const std::string path = cl.statePath + ".frames.jsonl";
    try {
        appendJsonLine(path, toJson(frameRecordOf(framePath, stacker, failure, frames, since)));
    } catch (const std::exception& e) {
        logWarn(std::string("Frame not recorded: ") + e.what());
    }
}

namespace {

// Under the state lock; whatever ends the run, the frame is recorded.
int runLocked(const CommandLine& cl, Stacker& stacker)
{
    std::optional<int> frames;  // the stack's count: as read, then as saved
    std::string failure;
    try {
        openStack(cl, stacker, cl.inputPath);
        frames = stacker.frameCount();
        stackFrame(cl, stacker, cl.inputPath);
        saveStack(cl, stacker);
        frames = stacker.frameCount();
        logInfo("Successfully saved stacked image to " + cl.outputPath);
    } catch (const std::exception& e) {
        failure = e.what();
        logError("Error: " + failure);
    }
    recordFrame(cl, stacker, cl.inputPath, failure, frames);
    return failure.empty() ? 0 : 1;
}

}  // namespace

int runCommandLine(const CommandLine& cl, Stacker& stacker)
{
    const std::string problem = statePathsProblem(cl);
    if (!problem.empty()) {
        logError("Error: " + problem);
        return 1;
    }
    if (!cl.watchFolder.empty())
        return runWatch(cl, stacker);
    try {
        const StateLock lock(cl.statePath + ".lock");
        return runLocked(cl, stacker);
    } catch (const std::exception& e) {  // only the lock's: runLocked catches its own
        logError(std::string("Error: ") + e.what());
        return 1;
    }
}
