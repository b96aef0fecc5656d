#include <stdexcept>

#include "core/Timer.h"
#include "stacking/ImageStacker.h"
#include "stacking/ParallelShares.h"

namespace {

void subtractFloored(std::uint8_t* samples, const std::uint8_t* dark, std::size_t begin, std::size_t end)
{
    for (std::size_t i = begin; i < end; ++i)
        samples[i] = samples[i] >= dark[i] ? std::uint8_t(samples[i] - dark[i]) : 0;
}

}  // namespace

ByteImagePtr ImageStacker::applyDarkSubtraction(const ByteImagePtr& frame)
{
    Timer timer("applyDarkSubtraction");
    if (!darkFrame_)
        return frame;
    if (!frame->sameDimensions(*darkFrame_))
        throw std::runtime_error("Dark frame dimensions do not match frame dimensions");

    ByteImagePtr result = frame->clone();
    std::uint8_t* samples = result->data();
    const std::uint8_t* dark = darkFrame_->data();
    forEachShare(result->size(), true, [&](std::size_t begin, std::size_t end) {
        subtractFloored(samples, dark, begin, end);
    });
    return result;
}
