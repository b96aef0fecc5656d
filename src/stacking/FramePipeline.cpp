#include <climits>
#include <exception>
#include <stdexcept>

#include "app/Logger.h"
#include "image/ImageFile.h"
#include "stacking/Stacker.h"
#include "stacking/StackerState.h"

ByteImagePtr Stacker::loadFrame(const std::string& inputPath)
{
    ByteImagePtr frame = loadImage(inputPath);
    // Every later step views a frame as grey or colour; anything else (a CMYK
    // JPEG) would be misread.
    if (frame->channels() != 1 && frame->channels() != 3)
        throw std::runtime_error("Unsupported channel count in " + inputPath + ": expected 1 or 3, found " +
                                 std::to_string(frame->channels()));
    return frame;
}

// The exact running mean, new = old + (sample - old) / n, in single precision
// and never rounded, so the stack keeps improving as frames arrive.
void Stacker::updateRunningMean(const ImageBuffer<unsigned char>& frame)
{
    ImageBuffer<float>& stack = *state_->stackedFrame;
    const float n = float(state_->frameCount);
    const unsigned char* in = frame.data();
    float* mean = stack.data();
    const std::size_t count = stack.size();
#pragma omp parallel for schedule(static) if (count > 100000)
    for (std::size_t i = 0; i < count; ++i)
        mean[i] += (float(in[i]) - mean[i]) / n;
}

bool Stacker::processFrame(const std::string& inputPath, const std::string& outputPath)
{
    State& s = *state_;
    try {
        logInfo("Starting processFrame method...");
        logInfo("Loading frame: " + inputPath);
        ByteImagePtr frame = loadFrame(inputPath);
        logInfo("Frame loaded successfully");
        if (s.stackedFrame && !(frame->width() == s.stackedFrame->width() &&
                                frame->height() == s.stackedFrame->height() &&
                                frame->channels() == s.stackedFrame->channels()))
            throw std::runtime_error("Frame dimensions do not match stacked frame dimensions");
        if (!s.referenceFrame) {
            logInfo("Setting reference frame");
            s.referenceFrame = frame;
        }
        logInfo("Adding frame to internal list");
        s.frames.push_back(frame);
        if (s.frameCount < INT_MAX)
            s.frameCount += 1;
        logInfo("Frame count: " + std::to_string(s.frameCount));
        if (!s.stackedFrame) {
            logInfo("First frame, cloning as stacked frame");
            s.stackedFrame = toFloat(*frame);
        } else {
            logInfo("Using mean stacking method");
            updateRunningMean(*frame);
        }
        logInfo("Saving result to " + outputPath);
        saveImage(outputPath, toEightBit(*s.stackedFrame));
        logInfo("Result saved successfully");
        return true;
    } catch (const std::exception& e) {
        logError(std::string("Exception in processFrame method: ") + e.what());
        s.lastError = e.what();
        return false;
    }
}
