#include <cstdio>
#include <exception>
#include <fstream>
#include <stdexcept>

#include "core/Logger.h"
#include "image/AtomicFile.h"
#include "image/ImageFile.h"
#include "stacking/Stacker.h"
#include "stacking/StackerState.h"

namespace {

struct SidecarValues {
    int count = 0;
    float orientation = 0.0f;
    int checked = 0;
    int detected = 0;
    float score = 0.0f;
    int converted = 0;  // how many of the five values were read, in order
};

// Reads up to five whitespace-separated values, stopping at the first one
// that does not convert, as a scanf of "%d %f %d %d %f" would.
SidecarValues readSidecar(std::istream& in)
{
    SidecarValues v;
    if (!(in >> v.count))
        return v;
    v.converted = 1;
    if (!(in >> v.orientation))
        return v;
    v.converted = 2;
    if (!(in >> v.checked))
        return v;
    v.converted = 3;
    if (!(in >> v.detected))
        return v;
    v.converted = 4;
    if (!(in >> v.score))
        return v;
    v.converted = 5;
    return v;
}

std::string yesNo(bool value) { return value ? "true" : "false"; }

bool fileExists(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    std::fclose(file);
    return true;
}

// Moves from -> to, replacing an older file at `to`; true when something moved.
bool moveAside(const std::string& from, const std::string& to)
{
    return fileExists(from) && std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

void Stacker::loadSidecar(const std::string& metaPath)
{
    State& s = *state_;
    std::ifstream in(metaPath);
    if (!in) {
        s.frameCount = 1;
        s.orientation = 0.0f;
        logWarn("No metadata file found, assuming frame count: 1");
        logWarn("No orientation found, assuming 0 degrees");
        return;
    }
    const SidecarValues v = readSidecar(in);
    if (v.converted >= 1 && v.count >= 1) {
        s.frameCount = v.count;
        s.orientation = v.converted >= 2 ? v.orientation : 0.0f;
        logInfo("Loaded frame count from metadata file: " + std::to_string(v.count));
        if (v.converted == 1) {
            s.nebulosity = NebulosityCache{};
            logInfo("No orientation or nebulosity data found in metadata file, using defaults");
            return;
        }
        logInfo("Loaded orientation from metadata file: " + std::to_string(v.orientation) + " degrees");
        if (v.converted < 5) {
            s.nebulosity = NebulosityCache{};
            logInfo("No nebulosity data found in metadata file");
            return;
        }
        s.nebulosity = NebulosityCache{v.checked != 0, v.detected != 0, v.score};
        logInfo("Loaded nebulosity data: checked=" + yesNo(s.nebulosity.checked) +
                ", detected=" + yesNo(s.nebulosity.detected) + ", score=" + std::to_string(v.score));
        return;
    }
    s.frameCount = 1;
    s.orientation = 0.0f;
    s.nebulosity = NebulosityCache{};
    logWarn("Invalid frame count in metadata file, assuming frame count: 1");
    logWarn("Using default values for orientation and nebulosity data");
}

// A state that exists but cannot be read would be overwritten by the fresh
// stack this run starts; keep it beside the path instead, so nothing is lost.
void Stacker::setAsideUnreadableState(const std::string& path)
{
    const std::string keptImage = path + ".unreadable";
    if (moveAside(path, keptImage))
        logError("Moved the unreadable state image to " + keptImage);
    const std::string metaPath = path + ".meta";
    const std::string keptMeta = metaPath + ".unreadable";
    if (moveAside(metaPath, keptMeta))
        logError("Moved its metadata file to " + keptMeta);
}

bool Stacker::loadState(const std::string& path)
{
    State& s = *state_;
    logInfo("Loading state from " + path);
    if (!fileExists(path)) {
        logInfo("State file does not exist: " + path);
        return false;
    }
    try {
        FloatImagePtr stacked = loadFloatImage(path);
        s.stackedFrame = stacked;
        logInfo("Loaded stacked frame: " + std::to_string(stacked->width()) + "x" + std::to_string(stacked->height()));
        loadSidecar(path + ".meta");
        s.referenceFrame = toEightBit(*stacked);
        logInfo("Set reference frame to loaded stacked frame");
        s.frames.clear();
        s.frames.push_back(s.referenceFrame);
        logInfo("Added loaded frame to frames list");
        logInfo("State loaded successfully");
        return true;
    } catch (const std::exception& e) {
        logError(std::string("Exception in loadState method: ") + e.what());
        s.lastError = e.what();
        setAsideUnreadableState(path);
        return false;
    }
}

void Stacker::writeSidecar(const std::string& tempPath)
{
    const State& s = *state_;
    std::FILE* file = std::fopen(tempPath.c_str(), "w");
    if (!file)
        throw std::runtime_error("Could not open " + tempPath);
    const int printed = std::fprintf(file, "%d\n%.2f\n%d\n%d\n%.4f", s.frameCount, double(s.orientation),
                                     s.nebulosity.checked ? 1 : 0, s.nebulosity.detected ? 1 : 0,
                                     double(s.nebulosity.score));
    const bool closed = std::fclose(file) == 0;
    if (printed < 0 || !closed)
        throw std::runtime_error("Could not write " + tempPath);
}

bool Stacker::saveState(const std::string& path)
{
    State& s = *state_;
    try {
        if (!s.stackedFrame)
            throw std::runtime_error("No stacked frame to save");
        logInfo("Saving raw stacked frame without post-processing to state file");
        // The sidecar is prepared first and put in place only after the image,
        // so a failed image write leaves image and sidecar as they were.
        const std::string metaPath = path + ".meta";
        AtomicFile meta(metaPath);
        bool metaReady = true;
        try {
            writeSidecar(meta.tempPath());
        } catch (const std::exception&) {
            metaReady = false;
        }
        saveImage(path, s.stackedFrame);
        try {
            if (metaReady)
                meta.commit();
        } catch (const std::exception&) {
            metaReady = false;
        }
        if (!metaReady) {
            logError("Warning: Could not save metadata file: " + metaPath);
            return true;
        }
        std::string message = "Saved metadata to " + metaPath + " with frame count: " + std::to_string(s.frameCount) +
                              ", orientation: " + std::to_string(s.orientation) + " degrees";
        if (s.nebulosity.checked)
            message += ", nebulosity score: " + std::to_string(s.nebulosity.score);
        logInfo(message);
        return true;
    } catch (const std::exception& e) {
        s.lastError = e.what();
        return false;
    }
}
