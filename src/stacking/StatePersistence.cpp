#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>
#include <unistd.h>

#include "core/Logger.h"
#include "core/Timer.h"
#include "image/AtomicFile.h"
#include "image/FitsFile.h"
#include "image/ImageFile.h"
#include "image/JpegFile.h"
#include "stacking/StateFiles.h"
#include "stacking/Stacker.h"
#include "stacking/StackerState.h"

struct SidecarValues {
    int count = 0;
    float orientation = 0.0f;
    int checked = 0;
    int detected = 0;
    float score = 0.0f;
    int converted = 0;  // how many of the five values were read, in order
};

namespace {

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

// The values, when the count among them is one a stack can have.
std::optional<SidecarValues> validValues(std::istream& in)
{
    const SidecarValues values = readSidecar(in);
    if (values.converted == 0 || values.count < 1)
        return std::nullopt;
    return values;
}

std::optional<SidecarValues> readSidecarFile(const std::string& metaPath)
{
    std::ifstream in(metaPath);
    if (!in)
        return std::nullopt;
    return validValues(in);
}

// The sidecar's text; the image of the state carries the same values.
std::string sidecarText(int count, float orientation, const NebulosityCache& nebulosity)
{
    char text[128];
    std::snprintf(text, sizeof text, "%d\n%.2f\n%d\n%d\n%.4f", count, double(orientation),
                  nebulosity.checked ? 1 : 0, nebulosity.detected ? 1 : 0, double(nebulosity.score));
    return text;
}

// A JPEG state keeps the sidecar's text in a comment marker after this line.
const std::string kJpegCommentTitle = "Pelorum state\n";

std::optional<SidecarValues> valuesOfComment(const std::string& comment)
{
    if (comment.rfind(kJpegCommentTitle, 0) != 0)
        return std::nullopt;
    std::istringstream in(comment.substr(kJpegCommentTitle.size()));
    return validValues(in);
}

// Header keys of the sidecar's values besides the count, which is NCOMBINE.
const char* const kOrientationKey = "STKORIEN";
const char* const kNebulosityKeys[] = {"NEBCHECK", "NEBFOUND", "NEBSCORE"};
const char* const kCountKey = "NCOMBINE";

std::optional<SidecarValues> valuesOfHeader(const FitsKeywords& keywords)
{
    const auto number = [&](const char* key) -> std::optional<double> {
        const auto found = keywords.numbers.find(key);
        return found == keywords.numbers.end() ? std::nullopt : std::optional<double>(found->second);
    };
    const std::optional<double> count = number(kCountKey);
    if (!count || !(*count >= 1.0 && *count <= double(INT_MAX)) || *count != double(int(*count)))
        return std::nullopt;
    SidecarValues values;
    values.count = int(*count);
    values.converted = 1;
    const std::optional<double> orientation = number(kOrientationKey);
    if (!orientation)
        return values;
    values.orientation = float(*orientation);
    values.converted = 2;
    const std::optional<double> checked = number(kNebulosityKeys[0]);
    const std::optional<double> detected = number(kNebulosityKeys[1]);
    const std::optional<double> score = number(kNebulosityKeys[2]);
    if (!checked || !detected || !score)
        return values;
    values.checked = *checked != 0.0;
    values.detected = *detected != 0.0;
    values.score = float(*score);
    values.converted = 5;
    return values;
}

template <typename T>
bool allFinite(const ImageBuffer<T>* image)
{
    if (!image)
        return true;
    for (std::size_t i = 0; i < image->size(); ++i)
        if (!std::isfinite(image->data()[i]))
            return false;
    return true;
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

// The sidecar's values as read, with the lines that say what was found.
void Stacker::applySidecar(const SidecarValues& v)
{
    State& s = *state_;
    s.frameCount = v.count;
    s.orientation = v.converted >= 2 ? v.orientation : 0.0f;
    s.nebulosity = NebulosityCache{};
    logInfo("Loaded frame count from metadata file: " + std::to_string(v.count));
    if (v.converted == 1) {
        logInfo("No orientation or nebulosity data found in metadata file, using defaults");
        return;
    }
    logInfo("Loaded orientation from metadata file: " + std::to_string(v.orientation) + " degrees");
    if (v.converted < 5) {
        logInfo("No nebulosity data found in metadata file");
        return;
    }
    s.nebulosity = NebulosityCache{v.checked != 0, v.detected != 0, v.score};
    logInfo("Loaded nebulosity data: checked=" + yesNo(s.nebulosity.checked) +
            ", detected=" + yesNo(s.nebulosity.detected) + ", score=" + std::to_string(v.score));
}

// The image carries the count it was saved with and is renamed into place
// before its sidecar, so where the two disagree (a save interrupted between
// the renames) or the sidecar is lost, the image's values hold. A state
// carrying none (a JPEG, or one written by an older version) depends on its
// sidecar: without it the count is lost, and the run fails rather than start
// the count again under a whole night's stack.
void Stacker::loadValues(const std::string& path, const std::optional<SidecarValues>& image)
{
    const std::string metaPath = path + ".meta";
    const std::optional<SidecarValues> sidecar = readSidecarFile(metaPath);
    if (!sidecar && (!image || !isFitsFile(path)))
        throw std::runtime_error("The frame count of state file " + path + " is lost: its metadata file " +
                                 metaPath + " is missing or unreadable. Put it back, or start a new stack with -x");
    if (!sidecar) {
        logWarn("Metadata file " + metaPath + " is missing or unreadable; recovered frame count " +
                std::to_string(image->count) + " from the header of " + path);
        applySidecar(*image);
        return;
    }
    if (image && image->count != sidecar->count) {
        logWarn("Metadata file " + metaPath + " holds frame count " + std::to_string(sidecar->count) +
                " but " + path + " holds " + std::to_string(image->count) + " (a save was interrupted); using " +
                std::to_string(image->count));
        applySidecar(*image);
        return;
    }
    applySidecar(*sidecar);
}

StateLoad Stacker::loadState(const std::string& path)
{
    State& s = *state_;
    logInfo("Loading state from " + path);
    const std::string problem = stateFileProblem(path);
    if (!problem.empty()) {
        s.lastError = problem;
        return StateLoad::Refused;
    }
    if (!std::filesystem::exists(path)) {
        s.lastError = "State file does not exist: " + path;
        logInfo(s.lastError);
        return StateLoad::Missing;
    }
    FloatImagePtr stacked;
    StackRecord record;
    StackPlanes planes;
    std::optional<SidecarValues> imageValues;  // what the image itself says of its count
    try {
        Timer timer("Read state");
        stacked = loadFloatImage(path);
        if (isFitsFile(path)) {
            const FitsKeywords keywords = readFitsKeywords(path);
            record = stackRecordOf(keywords);
            imageValues = valuesOfHeader(keywords);
            planes = readPlanes(path, *stacked);
        } else {
            imageValues = valuesOfComment(readJpegComment(path));
        }
    } catch (const std::exception& e) {
        logError(std::string("Exception in loadState method: ") + e.what());
        s.lastError = e.what();
        return setAsideUnreadableState(path);
    }
    try {
        if (!allFinite(stacked.get()) || !allFinite(planes.weight.get()) || !allFinite(planes.m2.get()) ||
            !allFinite(planes.m2Count.get()))
            throw std::runtime_error("State file " + path + " holds samples that are not finite numbers (NaN or "
                                     "infinity); move it away, or start a new stack with -x");
        loadValues(path, imageValues);
    } catch (const std::exception& e) {
        s.lastError = e.what();
        return StateLoad::Refused;
    }
    s.stackedFrame = stacked;
    s.planes = std::move(planes);
    s.record = record;
    logInfo("Loaded stacked frame: " + std::to_string(stacked->width()) + "x" + std::to_string(stacked->height()) +
            " (" + kindName(record.linear) + ")");
    loadReferenceStars(path + ".stars");
    continueFromStack();
    logInfo("State loaded successfully");
    return StateLoad::Loaded;
}

void Stacker::continueFromStack()
{
    State& s = *state_;
    s.frames.clear();
    // A linear frame registers onto the stack itself, unrounded.
    s.linearReference = s.record.linear ? s.stackedFrame : nullptr;
    s.referenceFrame = s.record.linear ? nullptr : toEightBit(*s.stackedFrame);
    logInfo("Set reference frame to loaded stacked frame");
    if (!s.record.linear) {
        s.frames.push_back(s.referenceFrame);
        logInfo("Added loaded frame to frames list");
    }
}

std::unique_ptr<Stacker> Stacker::snapshotForSaving() const
{
    auto snapshot = std::make_unique<Stacker>();
    *snapshot->state_ = *state_;
    snapshot->state_->beforeStackChanges = nullptr;
    return snapshot;
}

void Stacker::setBeforeStackChanges(std::function<void()> wait) { state_->beforeStackChanges = std::move(wait); }

// A state that exists but cannot be read would be overwritten by the fresh
// stack this run starts; it is kept beside the path instead, so nothing is
// lost.
StateLoad Stacker::setAsideUnreadableState(const std::string& path)
{
    try {
        const std::string kept = setAsideUnreadable(path);
        logWarn("State file " + path + " cannot be read; moved it aside to " + kept +
                " (and its metadata file to " + path + ".meta" + kept.substr(path.size()) + ")");
        return StateLoad::SetAside;
    } catch (const std::exception& e) {
        state_->lastError += std::string("; ") + e.what();
        return StateLoad::Refused;
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
    const std::string text = sidecarText(s.frameCount, s.orientation, s.nebulosity);
    const bool written = std::fputs(text.c_str(), file) >= 0;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed)
        throw std::runtime_error(std::strerror(errno));
}

// The image carries the sidecar's values too: the FITS header, or a JPEG
// comment marker.
void Stacker::writeStateImage(const std::string& tempPath, const std::string& path)
{
    const State& s = *state_;
    if (isFitsFile(path)) {
        FitsKeywords keywords = stackKeywords(s.record, s.frameCount);
        keywords.numbers[kOrientationKey] = s.orientation;
        keywords.numbers[kNebulosityKeys[0]] = s.nebulosity.checked ? 1.0 : 0.0;
        keywords.numbers[kNebulosityKeys[1]] = s.nebulosity.detected ? 1.0 : 0.0;
        keywords.numbers[kNebulosityKeys[2]] = s.nebulosity.score;
        writeFits(tempPath, s.stackedFrame, keywords, planeExtensions(s.planes));
        return;
    }
    if (fileExtension(path) != "jpg" && fileExtension(path) != "jpeg")
        throw std::runtime_error("Unsupported file format: " + fileExtension(path));
    writeJpeg(tempPath, toEightBit(*s.stackedFrame),
              kJpegCommentTitle + sidecarText(s.frameCount, s.orientation, s.nebulosity));
}

// Both files are written under temporary names and flushed to the disk
// first. The image goes in place, then the sidecar; when the sidecar cannot
// follow, the previous image is put back. A run killed between the two
// renames leaves the new image with the old sidecar, and the image's own
// values then hold (loadValues).
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
        writeStateImage(image.tempPath(), path);
        PreviousImage previous(path);
        image.commit();
        try {
            meta.commit();
        } catch (const std::exception& e) {
            previous.restore();
            throw std::runtime_error("Could not save metadata file: " + metaPath + " (" + e.what() + ")");
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
