#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>
#include <unistd.h>

#include "core/Logger.h"
#include "core/Timer.h"
#include "image/AtomicFile.h"
#include "image/FitsFile.h"
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

// Makes `to` a second name for the existing file `from` without touching it:
// a hard link, or a copy where the file system has none. Never replaces
// anything: false when `to` already exists. Throws when the file cannot be
// kept at all.
bool keepCopy(const std::string& from, const std::string& to)
{
    if (::link(from.c_str(), to.c_str()) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    std::error_code error;
    if (std::filesystem::copy_file(from, to, std::filesystem::copy_options::none, error))
        return true;
    if (error == std::errc::file_exists)
        return false;
    std::remove(to.c_str());
    throw std::runtime_error("Could not keep a copy of " + from + " as " + to + " (" + error.message() + ")");
}

// The state image as it was before a save, kept under a second name until
// the new pair is in place, so that a failed sidecar can be undone.
class PreviousImage {
public:
    explicit PreviousImage(const std::string& path)
        : path_(path), keptPath_(path + ".previous" + std::to_string(::getpid()))
    {
        std::remove(keptPath_.c_str());
        if (fileExists(path_) && !keepCopy(path_, keptPath_))
            throw std::runtime_error("Could not keep the previous state image " + path_ + " while saving");
        kept_ = fileExists(keptPath_);
    }
    ~PreviousImage() { std::remove(keptPath_.c_str()); }
    PreviousImage(const PreviousImage&) = delete;
    PreviousImage& operator=(const PreviousImage&) = delete;

    // Puts the image back as it was: the previous file, or none.
    void restore()
    {
        if (kept_)
            std::rename(keptPath_.c_str(), path_.c_str());
        else
            std::remove(path_.c_str());
    }

private:
    std::string path_;
    std::string keptPath_;
    bool kept_ = false;
};

// "DIR/NAME.backup-N.EXT" for "DIR/NAME.EXT".
std::string backupPath(const std::string& path, int number)
{
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    const std::string tag = ".backup-" + std::to_string(number);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + tag;
    return path.substr(0, dot) + tag + path.substr(dot);
}

FloatImagePtr readPlane(const std::string& path, const std::string& name, const FloatImage& mean, int channels)
{
    FloatImagePtr plane = readFloatFitsExtension(path, name);
    if (plane && (plane->width() != mean.width() || plane->height() != mean.height() || plane->channels() != channels))
        throw std::runtime_error("The " + name + " image of state file " + path + " does not fit its stack");
    return plane;
}

// A state from before the planes has none; a variance without its sample
// count cannot be used and starts again.
StackPlanes readPlanes(const std::string& path, const FloatImage& mean)
{
    StackPlanes planes;
    planes.weight = readPlane(path, kWeightExtension, mean, 1);
    planes.m2 = readPlane(path, kM2Extension, mean, mean.channels());
    planes.m2Count = readPlane(path, kM2CountExtension, mean, 1);
    if (!planes.m2 || !planes.m2Count)
        planes.m2 = planes.m2Count = nullptr;
    return planes;
}

std::vector<FitsExtension> planeExtensions(const StackPlanes& planes)
{
    std::vector<FitsExtension> extensions;
    for (const FitsExtension& extension : {FitsExtension{kWeightExtension, planes.weight},
                                           FitsExtension{kM2Extension, planes.m2},
                                           FitsExtension{kM2CountExtension, planes.m2Count}})
        if (extension.image)
            extensions.push_back(extension);
    return extensions;
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
        s.lastError = "State file does not exist: " + path;
        logInfo(s.lastError);
        return false;
    }
    try {
        Timer timer("Read state");
        FloatImagePtr stacked = loadFloatImage(path);
        const StackRecord record = isFitsFile(path) ? stackRecordOf(readFitsKeywords(path)) : StackRecord{};
        StackPlanes planes = isFitsFile(path) ? readPlanes(path, *stacked) : StackPlanes{};
        s.stackedFrame = stacked;
        s.planes = std::move(planes);
        s.record = record;
        logInfo("Loaded stacked frame: " + std::to_string(stacked->width()) + "x" + std::to_string(stacked->height()) +
                " (" + kindName(record.linear) + ")");
        loadSidecar(path + ".meta");
        loadReferenceStars(path + ".stars");
        s.frames.clear();
        // A linear frame registers onto the stack itself, unrounded.
        s.linearReference = record.linear ? stacked : nullptr;
        s.referenceFrame = record.linear ? nullptr : toEightBit(*stacked);
        logInfo("Set reference frame to loaded stacked frame");
        if (!record.linear) {
            s.frames.push_back(s.referenceFrame);
            logInfo("Added loaded frame to frames list");
        }
        logInfo("State loaded successfully");
        return true;
    } catch (const std::exception& e) {
        logError(std::string("Exception in loadState method: ") + e.what());
        s.lastError = e.what();
        setAsideUnreadableState(path);
        return false;
    }
}

// A cache: a stars file that is missing or cannot be read only means the
// reference's stars are measured again.
void Stacker::loadReferenceStars(const std::string& starsPath)
{
    State& s = *state_;
    s.referenceStars.clear();
    std::ifstream in(starsPath);
    std::string label;
    int frames = 0;
    if (!(in >> label >> frames) || label != "frames" || frames < 1)
        return;
    std::vector<ExtractedStar> stars;
    ExtractedStar star;
    while (in >> star.x >> star.y >> star.flux)
        stars.push_back(star);
    if (!in.eof())
        return;
    s.referenceStars = std::move(stars);
    s.referenceStarsFrames = frames;
    logInfo("Loaded " + std::to_string(s.referenceStars.size()) + " reference stars measured at " +
            std::to_string(frames) + " frames");
}

// Written after the state it belongs to, and removed when there is none, so
// the file never describes another stack.
void Stacker::writeReferenceStars(const std::string& starsPath)
{
    const State& s = *state_;
    if (s.referenceStars.empty()) {
        std::remove(starsPath.c_str());
        return;
    }
    try {
        AtomicFile file(starsPath);
        std::ofstream out(file.tempPath());
        out << "frames " << s.referenceStarsFrames << "\n";
        char line[96];
        for (const ExtractedStar& star : s.referenceStars) {
            std::snprintf(line, sizeof line, "%.4f %.4f %.2f\n", double(star.x), double(star.y), double(star.flux));
            out << line;
        }
        out.close();
        if (!out)
            throw std::runtime_error("Could not write file: " + starsPath);
        file.commit();
    } catch (const std::exception& e) {
        std::remove(starsPath.c_str());
        logWarn(std::string("Reference stars not kept: ") + e.what());
    }
}

void Stacker::writeSidecar(const std::string& tempPath)
{
    const State& s = *state_;
    std::FILE* file = std::fopen(tempPath.c_str(), "w");
    if (!file)
        throw std::runtime_error(std::strerror(errno));
    const int printed = std::fprintf(file, "%d\n%.2f\n%d\n%d\n%.4f", s.frameCount, double(s.orientation),
                                     s.nebulosity.checked ? 1 : 0, s.nebulosity.detected ? 1 : 0,
                                     double(s.nebulosity.score));
    const bool closed = std::fclose(file) == 0;
    if (printed < 0 || !closed)
        throw std::runtime_error(std::strerror(errno));
}

// Both files are written under temporary names first. The image goes in
// place, then the sidecar; when the sidecar cannot follow, the previous image
// is put back, so image and sidecar on disk always belong together.
bool Stacker::saveState(const std::string& path)
{
    State& s = *state_;
    try {
        if (!s.stackedFrame)
            throw std::runtime_error("No stacked frame to save");
        logInfo("Saving raw stacked frame without post-processing to state file");
        const std::string metaPath = path + ".meta";
        AtomicFile meta(metaPath);
        try {
            writeSidecar(meta.tempPath());
        } catch (const std::exception& e) {
            throw std::runtime_error("Could not save metadata file: " + metaPath + " (" + e.what() + ")");
        }
        AtomicFile image(path);
        Timer timer("Write state");
        if (isFitsFile(path))
            writeFits(image.tempPath(), s.stackedFrame, stackKeywords(s.record, s.frameCount),
                      planeExtensions(s.planes));
        else
            saveImage(image.tempPath(), s.stackedFrame);
        PreviousImage previous(path);
        image.commit();
        try {
            meta.commit();
        } catch (const std::exception&) {
            previous.restore();
            throw;
        }
        writeReferenceStars(path + ".stars");
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

// The first number free for both files is taken; a name that turns out to
// be taken after all is left alone and the next number tried.
bool Stacker::backUpState(const std::string& path)
{
    const std::string metaPath = path + ".meta";
    try {
        if (!fileExists(path))
            return true;
        for (int number = 1;; ++number) {
            const std::string image = backupPath(path, number);
            if (fileExists(image + ".meta") || !keepCopy(path, image))
                continue;
            if (fileExists(metaPath) && !keepCopy(metaPath, image + ".meta")) {
                std::remove(image.c_str());
                continue;
            }
            logInfo("Kept the previous stack as " + image);
            return true;
        }
    } catch (const std::exception& e) {
        state_->lastError = e.what();
        return false;
    }
}
