#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/ImageBuffer.h"
#include "stacking/StackerSettings.h"

// The working context of one stacking operation: settings, reference frame,
// dark frame and the frames to combine. Built, filled, used once and dropped;
// it shares the frames it is given and never modifies them.
class ImageStacker {
public:
    ImageStacker();

    std::shared_ptr<StackerSettings>& settings() { return settings_; }
    ByteImagePtr& referenceFrame() { return referenceFrame_; }
    ByteImagePtr& darkFrame() { return darkFrame_; }
    std::vector<ByteImagePtr>& frames() { return frames_; }

    // Combine every frame of the list into a new image of the reference's
    // size (the first frame becomes the reference when none is set), then
    // post-process it. Each frame is dark-subtracted and, when alignFrames is
    // set, aligned first. Throw std::runtime_error "No frames to stack" for an
    // empty list, and when a prepared frame's size or channel count differs
    // from the reference's (before anything of it is combined). In diagnostic
    // mode stackMean saves the post-processed result after each accepted frame
    // as diagnosticPrefix + position + ".jpg"; a failed save is only logged.
    //
    // Mean: frames whose quality is below qualityThreshold add nothing but
    // still count in the divisor (and are skipped before the size check);
    // each frame is scaled by 1/N to 8 bits before the saturating sum (see
    // scaleBytes for the rounding).
    ByteImagePtr stackMean();
    // The frames the last stackMean turned away at the quality gate.
    struct SkippedFrame {
        int position;  // 1-based place in the frame list
        float quality;
    };
    const std::vector<SkippedFrame>& skippedFrames() const { return skippedFrames_; }
    // Median per sample, rounded down between the two middle values.
    ByteImagePtr stackMedian();
    // Per sample, with m and s the mean and sample standard deviation: the
    // truncated mean of the samples x with m - sigmaLow*s <= x <= m +
    // sigmaHigh*s, or trunc(m) when no sample qualifies. Falls back to
    // stackMean with fewer than sigmaClipFrames frames. With n samples no
    // sample lies beyond (n - 1) / sqrt(n) standard deviations, so with the
    // default factors of 2 nothing is clipped below 6 frames.
    ByteImagePtr stackSigmaClip();

    // The frame itself without a dark frame, else a new buffer holding
    // max(frame - dark, 0). Throws std::runtime_error when the sizes differ.
    ByteImagePtr applyDarkSubtraction(const ByteImagePtr& frame);

    // Ratio of the smaller to the larger sample standard deviation of frame
    // and reference, in [0, 1]: 1.0 without a reference, 0.0 (with a warning)
    // when the sizes differ, NaN when both are flat. With referenceIsStack set,
    // a frame that spreads wider than the reference scores 1.0. Images above 2 000 000
    // samples are measured on every fourth sample.
    float calculateFrameQuality(const ByteImagePtr& frame);

    // The frame resampled onto the reference's pixel grid, with the
    // reference's channel count; the frame itself when alignFrames is off; an
    // unaligned copy when alignment fails. Never throws for a frame that
    // cannot be aligned.
    ByteImagePtr alignFrame(const ByteImagePtr& frame);
    // Which pixels of the reference's grid the frame alignFrame resampled
    // last covers (see warpCoverage); null when it was used as it was.
    const ByteImagePtr& lastCoverage() const { return coverage_; }

    // Runs the post-processing steps the settings enable, in their fixed
    // order; returns the input itself when none is enabled. The input is never
    // modified.
    ByteImagePtr postProcess(const ByteImagePtr& image);

    // A new buffer with the sky background removed: the polynomial model of
    // processing/BackgroundExtractor.h is subtracted in full from every
    // channel, negative results 0. The percentage (0..100) picks the model's
    // flexibility (see backgroundParamsForPercentage). Without a cached
    // nebulosity result and with detection on, a detection runs with
    // nebulosityThreshold and its outcome is written back to the settings (and,
    // in diagnostic mode with a prefix, its visualisation saved as
    // diagnosticPrefix + "nebulosity_detection.jpg"; a failed save is only
    // logged). Detected nebulosity switches to a plane model; a score above
    // 0.8 returns an unchanged copy. Model values the user gave in the
    // settings (polyDegree, gridSize, protectionThreshold, smoothness) take
    // the place of these choices. Extraction errors propagate.
    ByteImagePtr applyBackgroundAdjustment(const ByteImagePtr& image, float percentage);

    // A new buffer denoised by method 1, non-local means, or 2, a bilateral
    // filter of diameter 9 on each channel, with the parameters
    // processing/Denoising.h derives from strength; any other method gives an
    // unchanged copy. In diagnostic mode with a prefix the result is saved as
    // diagnosticPrefix + "denoised.jpg"; a failed save is logged as an error
    // and the result still returned. 1 or 3 channels (std::invalid_argument
    // otherwise).
    ByteImagePtr applyDenoising(const ByteImagePtr& image, int method, int strength);

private:
    using Clock = std::chrono::steady_clock;

    ByteImagePtr startStacking();
    ByteImagePtr prepareFrame(const ByteImagePtr& frame, const std::string& alignTimerName);
    std::vector<ByteImagePtr> prepareAllFrames();
    bool addToMean(const ByteImagePtr& frame, int position, float scale, ByteImage& result,
                   std::vector<std::uint8_t>& scratch);
    ByteImagePtr finishStacking(const ByteImagePtr& result, Clock::time_point start);
    void saveIntermediate(const ByteImagePtr& result, int position);

    std::shared_ptr<StackerSettings> settings_;
    ByteImagePtr referenceFrame_;
    ByteImagePtr darkFrame_;
    std::vector<ByteImagePtr> frames_;
    std::vector<SkippedFrame> skippedFrames_;
    ByteImagePtr coverage_;
};
