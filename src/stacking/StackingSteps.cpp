#include "stacking/StackingSteps.h"

#include <exception>
#include <stdexcept>

#include "core/Logger.h"
#include "core/Timer.h"
#include "image/ImageFile.h"
#include "stacking/ImageStacker.h"

namespace {

std::string sizeText(const ByteImage& image)
{
    return std::to_string(image.width()) + "x" + std::to_string(image.height()) + "x" +
           std::to_string(image.channels());
}

}  // namespace

void requireReferenceSize(const ByteImage& prepared, const ByteImage& reference, int position)
{
    if (prepared.sameDimensions(reference))
        return;
    throw std::runtime_error("Frame " + std::to_string(position) + " size " + sizeText(prepared) +
                             " does not match the reference " + sizeText(reference));
}

void logThreadCount(int threads)
{
    logInfo("Using " + std::to_string(threads) + " threads for parallel processing");
}

void logRowStarted(int row, int height)
{
    logInfo("Processing row " + std::to_string(row) + " of " + std::to_string(height));
}

void logAllRowsFinished(int height) { logInfo("Finished processing all " + std::to_string(height) + " rows"); }

ByteImagePtr ImageStacker::startStacking()
{
    if (frames_.empty())
        throw std::runtime_error("No frames to stack");
    if (!referenceFrame_)
        referenceFrame_ = frames_.front();
    return std::make_shared<ByteImage>(referenceFrame_->width(), referenceFrame_->height(),
                                       referenceFrame_->channels());
}

ByteImagePtr ImageStacker::prepareFrame(const ByteImagePtr& frame, const std::string& alignTimerName)
{
    ByteImagePtr prepared = darkFrame_ ? applyDarkSubtraction(frame) : frame;
    if (settings_->alignFrames) {
        Timer timer(alignTimerName);
        prepared = alignFrame(prepared);
    }
    return prepared;
}

// Every frame is prepared and checked before the parallel region, where an
// exception could not be thrown out.
std::vector<ByteImagePtr> ImageStacker::prepareAllFrames()
{
    Timer timer("Pre-processing all frames");
    std::vector<ByteImagePtr> prepared;
    prepared.reserve(frames_.size());
    for (const ByteImagePtr& frame : frames_) {
        prepared.push_back(prepareFrame(frame, "Align frame"));
        requireReferenceSize(*prepared.back(), *referenceFrame_, int(prepared.size()));
    }
    return prepared;
}

ByteImagePtr ImageStacker::finishStacking(const ByteImagePtr& result, Clock::time_point start)
{
    ByteImagePtr processed;
    {
        Timer timer("Post-processing");
        processed = postProcess(result);
    }
    if (settings_->benchmark) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
        logInfo("Total stacking time: " + std::to_string(elapsed.count() / 1000000) + " ms");
    }
    return processed;
}

// Diagnostic output is optional: a failure to write it must not end the stack.
void ImageStacker::saveIntermediate(const ByteImagePtr& result, int position)
{
    if (!settings_->diagnostic)
        return;
    try {
        const ByteImagePtr copy = postProcess(result);
        const std::string path = settings_->diagnosticPrefix + std::to_string(position) + ".jpg";
        logInfo("Saving intermediate result to " + path);
        saveImage(path, copy);
    } catch (const std::exception& e) {
        logError(std::string("Error saving intermediate result: ") + e.what());
    }
}
