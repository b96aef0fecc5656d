// The least a per-frame run can do: start with pelorum's libraries, read the
// frame (a camera's through pelorum's own loader), encode an 8-bit output
// picture at JPEG quality 95, read and write the float state with its
// weights. The whole-run benchmarks compare pelorum runs with this.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <string>

#include <QCoreApplication>

#include "BenchUsage.h"
#include "fits/gslhelpers/GslErrors.h"
#include "image/FitsFile.h"
#include "image/ImageFile.h"
#include "stacking/CameraFrame.h"
#include "stacking/RunningMean.h"

namespace {

// Where the picture of a linear frame puts its mean, and how many levels one
// standard deviation spans: its noise then shows much as in pelorum's
// automatically stretched picture, and the JPEG comes out about as large.
constexpr float kMeanLevel = 64.0f;
constexpr float kLevelsPerDeviation = 24.0f;

struct SampleSpread {
    double mean = 0.0;
    double deviation = 0.0;
};

SampleSpread spreadOf(const FloatImage& image)
{
    double sum = 0.0;
    double squares = 0.0;
    for (std::size_t i = 0; i < image.size(); ++i) {
        sum += image.data()[i];
        squares += double(image.data()[i]) * image.data()[i];
    }
    const double count = double(image.size());
    const double mean = sum / count;
    return {mean, std::sqrt(std::max(squares / count - mean * mean, 0.0))};
}

// A linear frame, a mosaic included, as the three-channel picture of its
// size that pelorum writes: each sample scaled to 8 bits and copied to all
// three channels. Debayering and stretching are a run's work, not its I/O,
// so the floor leaves them out but codes as many samples.
ByteImagePtr linearPicture(const FloatImage& frame)
{
    const SampleSpread spread = spreadOf(frame);
    const float gain = spread.deviation > 0.0 ? kLevelsPerDeviation / float(spread.deviation) : 0.0f;
    const auto level = [&](float sample) {
        const float scaled = kMeanLevel + (sample - float(spread.mean)) * gain;
        return static_cast<unsigned char>(std::clamp(scaled, 0.0f, 255.0f) + 0.5f);
    };
    auto picture = std::make_shared<ByteImage>(frame.width(), frame.height(), 3);
    const int channels = frame.channels();
    for (std::size_t pixel = 0; pixel < std::size_t(frame.width()) * frame.height(); ++pixel)
        for (int c = 0; c < 3; ++c)
            picture->data()[pixel * 3 + c] = level(frame.data()[pixel * channels + (channels == 3 ? c : 0)]);
    return picture;
}

bool isJpegFile(const std::string& path)
{
    const std::string extension = fileExtension(path);
    return extension == "jpg" || extension == "jpeg";
}

// A JPEG frame is decoded straight to 8 bits and written back as it was
// read, as the floor always did: pelorum's loader would add a float copy
// and its conversion back, which are a run's work. Any other frame goes
// through pelorum's loader; an 8-bit one is written back as read.
ByteImagePtr outputPicture(const std::string& framePath)
{
    if (isJpegFile(framePath))
        return loadImage(framePath);
    const CameraFrame frame = readCameraFrame(framePath);
    return frame.linear ? linearPicture(*frame.pixels) : toEightBit(*frame.pixels);
}

// A FITS state is written back with the per-pixel weight pelorum keeps in it.
void saveState(const std::string& path, const FloatImagePtr& state)
{
    const FloatImagePtr weight = isFitsFile(path) ? readFloatFitsExtension(path, kWeightExtension) : nullptr;
    if (weight)
        writeFits(path, state, {}, {{kWeightExtension, weight}});
    else
        saveImage(path, state);
}

}  // namespace

int main(int argc, char** argv)
{
    const int status = checkBenchArguments(
        argc, argv, 3,
        "Usage: pelorum_io_floor FRAME OUTPUT STATE\n"
        "Does only the file work of one pelorum run: reads FRAME (any but a JPEG through pelorum's\n"
        "loader) and the float STATE, writes an 8-bit picture of FRAME to OUTPUT (a linear frame or\n"
        "mosaic scaled to 8 bits, in three channels like pelorum's picture) and STATE back, with its\n"
        "WEIGHT extension when it has one. The benchmarks time it as the floor of a run.\n");
    if (status >= 0)
        return status;
    // Started as pelorum starts: the frame loader runs on Qt and GSL.
    Mathematics::GSLHelpers::switchOffGslAbort();
    QCoreApplication application(argc, argv);
    try {
        const ByteImagePtr picture = outputPicture(argv[1]);
        const FloatImagePtr state = loadFloatImage(argv[3]);
        saveImage(argv[2], picture);
        saveState(argv[3], state);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
