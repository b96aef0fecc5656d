#include "stacking/FrameAhead.h"

#include <exception>
#include <utility>

#include "alignment/StarDetector.h"
#include "core/Timer.h"
#include "image/MatView.h"

namespace {

// From the image registration extracts a frame's stars from: an 8-bit frame
// as it is stacked, a mosaic's grey, any other linear frame's samples.
std::optional<std::vector<ExtractedStar>> frameStars(const CameraFrame& frame, DebayerMethod debayerMethod)
{
    if (!frame.linear)
        return measureStars(matView(*eightBitPixels(frame)));
    const FloatImagePtr grey = frame.bayer ? debayeredGrey(*frame.pixels, *frame.bayer, debayerMethod) : frame.pixels;
    return measureStars(cv::Mat(grey->height(), grey->width(), CV_32FC(grey->channels()), grey->data()));
}

}  // namespace

FrameAhead::FrameAhead(std::string path, FrameCalibration calibration, DebayerMethod debayerMethod,
                       bool measureStars)
    : path_(std::move(path)),
      calibration_(std::move(calibration)),
      debayerMethod_(debayerMethod),
      measureStars_(measureStars),
      result_(std::async(std::launch::async, &FrameAhead::prepare, this))
{
}

FrameAhead::~FrameAhead()
{
    if (result_.valid())
        result_.wait();
}

PreparedFrame FrameAhead::take()
{
    return result_.get();
}

PreparedFrame FrameAhead::prepare() const
{
    PreparedFrame prepared;
    {
        Timer timer("Read frame");
        prepared.frame = readCameraFrame(path_);
    }
    try {
        calibration_.apply(prepared.frame, path_);
    } catch (...) {
        prepared.calibrationFailure = std::current_exception();
        return prepared;
    }
    if (!measureStars_)
        return prepared;
    try {
        prepared.stars = frameStars(prepared.frame, debayerMethod_);
    } catch (const std::exception&) {
        // Stars measured ahead only save time: without them registration
        // extracts the frame's stars itself, and reports what goes wrong.
    }
    return prepared;
}
