#include "processing/MedianFilter.h"

#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "core/Logger.h"
#include "core/Timer.h"
#include "processing/ChannelPlane.h"

namespace {

// The nested timers measure copying and filtering apart in benchmark mode.
void filterChannel(const ImageBuffer<unsigned char>& image, int channel, int kernel, ImageBuffer<unsigned char>& result)
{
    Timer channelTimer("medianFilter_channel" + std::to_string(channel));
    cv::Mat plane;
    {
        Timer timer("medianFilter_copyToMat");
        plane = channelPlane(image, channel);
    }
    cv::Mat filtered;
    {
        Timer timer("medianFilter_blur");
        cv::medianBlur(plane, filtered, kernel);
    }
    Timer timer("medianFilter_copyBack");
    storeChannelPlane(filtered, result, channel);
}

}  // namespace

int medianKernelSize(int size) { return size % 2 == 0 ? size + 1 : size; }

ByteImagePtr applyMedianFilter(const ImageBuffer<unsigned char>& image, int size)
{
    Timer timer("applyMedianFilter");
    const int kernel = medianKernelSize(size);
    if (kernel < 1 || kernel > kLargestMedianKernel)
        throw std::invalid_argument("Median filter size " + std::to_string(kernel) + " is outside 1.." +
                                    std::to_string(kLargestMedianKernel));
    logInfo("Applying median filter with size " + std::to_string(kernel));

    auto result = std::make_shared<ByteImage>(image.width(), image.height(), image.channels());
    for (int c = 0; c < image.channels(); ++c)
        filterChannel(image, c, kernel, *result);
    return result;
}
