#include "alignment/WarpFrame.h"

#include <opencv2/imgproc.hpp>

#include "core/Timer.h"

namespace {

// The warp keeps the source's channels, so the source must already have as
// many as the output.
cv::Mat withChannels(const cv::Mat& frame, int channels)
{
    if (frame.channels() == channels)
        return frame;
    cv::Mat converted;
    cv::cvtColor(frame, converted, channels == 1 ? cv::COLOR_BGR2GRAY : cv::COLOR_GRAY2BGR);
    return converted;
}

// Every warp goes through here, so a frame and its coverage mask are
// resampled alike.
void warpBilinear(const cv::Mat& source, cv::Mat& target, const cv::Mat& transform, int width, int height)
{
    cv::warpPerspective(source, target, transform, cv::Size(width, height), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                        cv::Scalar(0));
}

}  // namespace

// Warped straight into the buffer: a copy of a 4K frame costs as much as the warp.
ByteImagePtr warpFrame(const cv::Mat& frame, const cv::Mat& transform, int width, int height, int channels)
{
    Timer timer("Warp perspective");
    auto result = std::make_shared<ByteImage>(width, height, channels);
    cv::Mat warped(height, width, CV_8UC(channels), result->data());
    warpBilinear(withChannels(frame, channels), warped, transform, width, height);
    return result;
}

FloatImagePtr warpFrame(const FloatImage& frame, const cv::Mat& transform, int width, int height, int channels)
{
    Timer timer("Warp perspective");
    const cv::Mat source(frame.height(), frame.width(), CV_32FC(frame.channels()), const_cast<float*>(frame.data()));
    auto result = std::make_shared<FloatImage>(width, height, channels);
    cv::Mat warped(height, width, CV_32FC(channels), result->data());
    warpBilinear(withChannels(source, channels), warped, transform, width, height);
    return result;
}

// OpenCV's bilinear weights are multiples of 1/32 along each axis, and the
// frame is a rectangle: a read past its edge always carries at least 1/32 of
// the weight, which takes a mask of 255 down to 247 at most.
ByteImagePtr warpCoverage(int frameWidth, int frameHeight, const cv::Mat& transform, int width, int height)
{
    Timer timer("Warp coverage");
    auto coverage = std::make_shared<ByteImage>(width, height, 1);
    cv::Mat mask(height, width, CV_8UC1, coverage->data());
    warpBilinear(cv::Mat(frameHeight, frameWidth, CV_8UC1, cv::Scalar(255)), mask, transform, width, height);
    cv::compare(mask, 255, mask, cv::CMP_EQ);
    return coverage;
}
