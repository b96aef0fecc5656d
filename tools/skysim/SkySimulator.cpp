#include "SkySimulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "CameraFits.h"
#include "image/AtomicFile.h"
#include "image/ImageFile.h"

namespace {

// A bound on the work and memory a mistyped drift can ask for.
constexpr double kMaxFieldStars = 1e7;
// 2026-01-01T21:00:00 UTC: a fixed start keeps the headers reproducible too.
constexpr std::time_t kFirstFrameStart = 1767301200;

const SkySimSettings& validated(const SkySimSettings& settings)
{
    validate(settings);
    return settings;
}

// Every star whose light reaches some frame: over the frames' area and
// beyond it by the widest a star is drawn.
std::vector<Star> starsCovering(const SkySimSettings& s, const std::vector<cv::Matx33d>& transforms,
                                const MoffatProfile& profile)
{
    const FieldBounds frames = sequenceFootprint(transforms, s.width, s.height);
    const double margin = profile.maxRadius() + 0.5;
    const FieldBounds bounds{frames.left - margin, frames.top - margin, frames.right + margin, frames.bottom + margin};
    const double frameArea = double(s.width) * s.height;
    if (s.starField.starsPerFrame * bounds.area() / frameArea > kMaxFieldStars)
        throw std::invalid_argument("The frames cover too large a field: reduce --drift-x, --drift-y or --stars");
    return randomStarField(s.starField, bounds, frameArea, s.seed);
}

SkyModel skyModel(const SkySimSettings& s, const std::vector<cv::Matx33d>& transforms)
{
    const MoffatProfile profile(s.starField.fwhm, s.starField.beta);
    const SkyBackground background(s.background, s.width, s.height,
                                   randomNebula(s.background, s.width, s.height, s.seed));
    return SkyModel(starsCovering(s, transforms, profile), profile, background);
}

std::string numberedName(const char* pattern, int frame)
{
    char name[64];
    std::snprintf(name, sizeof name, pattern, frame);
    return name;
}

std::string transformLine(const std::string& name, const cv::Matx33d& t)
{
    std::string line = name;
    char number[32];
    for (int i = 0; i < 9; ++i) {
        std::snprintf(number, sizeof number, " %.9g", t.val[i]);
        line += number;
    }
    return line + "\n";
}

void writeTransforms(const SkySimulator& simulator, const OutputSettings& output)
{
    AtomicFile file(output.directory + "/transforms.txt");
    std::ofstream out(file.tempPath());
    for (int k = 1; k <= simulator.settings().frames; ++k)
        out << transformLine(frameFileName(k, output.format), simulator.transform(k));
    out.close();
    if (!out)
        throw std::runtime_error("Could not write file: " + file.path());
    file.commit();
}

void createDirectory(const std::string& directory)
{
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error)
        throw std::runtime_error("Could not create directory " + directory + ": " + error.message());
}

}  // namespace

SkySimulator::SkySimulator(const SkySimSettings& settings)
    : settings_(validated(settings)),
      transforms_(frameTransforms(settings.motion, settings.frames, settings.width, settings.height, settings.seed)),
      model_(skyModel(settings, transforms_)),
      hotPixels_(randomHotPixels(settings.noise.hotPixels, settings.width, settings.height, settings.seed))
{
}

const cv::Matx33d& SkySimulator::transform(int frame) const
{
    if (frame < 1 || frame > settings_.frames)
        throw std::out_of_range("No frame " + std::to_string(frame) + " in the sequence");
    return transforms_[std::size_t(frame - 1)];
}

namespace {

// The sensor's falloff, the same in every frame whatever the sky does.
void applyVignetting(FloatImage& image, double strength)
{
    if (strength <= 0)
        return;
    const double cx = (image.width() - 1) / 2.0;
    const double cy = (image.height() - 1) / 2.0;
    const double cornerSquared = cx * cx + cy * cy;
    float* samples = image.data();
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const double r2 = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / std::max(cornerSquared, 1.0);
            const float factor = float(1.0 - strength * r2);
            for (int c = 0; c < image.channels(); ++c)
                samples[(std::size_t(y) * image.width() + x) * image.channels() + c] *= factor;
        }
}

}  // namespace

FloatImagePtr SkySimulator::truth(int frame) const
{
    FloatImagePtr image = model_.render(transform(frame), settings_.width, settings_.height, settings_.channels);
    applyVignetting(*image, settings_.noise.vignetting);
    return image;
}

ByteImagePtr SkySimulator::exposure(int frame, const FloatImage& truth) const
{
    return exposeFrame(truth, settings_.noise, hotPixels_, settings_.seed, frame);
}

ByteImagePtr SkySimulator::exposure(int frame) const { return exposure(frame, *truth(frame)); }

CameraImagePtr SkySimulator::cameraExposure(int frame, const FloatImage& truth) const
{
    return exposeCameraFrame(truth, settings_.noise, hotPixels_, settings_.seed, frame);
}

CameraImagePtr SkySimulator::cameraExposure(int frame) const { return cameraExposure(frame, *truth(frame)); }

std::string frameFileName(int frame, FrameFormat format)
{
    return numberedName(format == FrameFormat::Jpeg ? "frame_%04d.jpg" : "frame_%04d.fits", frame);
}

namespace {

// ISO 8601 in UTC, to the millisecond when the exposure has a fraction of a second.
std::string frameStartTime(int frame, double exposureSeconds)
{
    const long long milliseconds = std::llround((frame - 1) * exposureSeconds * 1000.0);
    const std::time_t start = kFirstFrameStart + std::time_t(milliseconds / 1000);
    std::tm utc{};
    gmtime_r(&start, &utc);
    char text[48];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    if (exposureSeconds != std::floor(exposureSeconds))
        std::snprintf(text + length, sizeof text - length, ".%03lld", milliseconds % 1000);
    return text;
}

void writeFrame(const SkySimulator& simulator, const OutputSettings& output, int frame, const FloatImage& truth)
{
    const std::string path = output.directory + "/" + frameFileName(frame, output.format);
    if (output.format != FrameFormat::Fits16) {
        saveImage(path, simulator.exposure(frame, truth));
        return;
    }
    const CameraFrameHeader header{output.exposureSeconds, frameStartTime(frame, output.exposureSeconds),
                                   simulator.settings().channels == 3};
    writeCameraFits(path, *simulator.cameraExposure(frame, truth), header);
}

}  // namespace

void writeSequence(const SkySimulator& simulator, const OutputSettings& output)
{
    validate(output);
    createDirectory(output.directory);
    const std::string directory = output.directory + "/";
    for (int k = 1; k <= simulator.settings().frames; ++k) {
        const FloatImagePtr truth = simulator.truth(k);
        writeFrame(simulator, output, k, *truth);
        if (k == 1)
            saveImage(directory + "sky_truth.fits", truth);
        if (output.truthPerFrame)
            saveImage(directory + numberedName("truth_%04d.fits", k), truth);
    }
    writeTransforms(simulator, output);
}
