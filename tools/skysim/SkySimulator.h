#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "SensorNoise.h"
#include "SkyModel.h"
#include "SkySettings.h"
#include "image/ImageBuffer.h"

// A simulated sequence, fixed by its settings and seed: every frame's
// transform, the sky and the sensor's hot pixels are drawn once; each frame
// is then rendered on request, identically every time it is asked for.
// Frames are numbered from 1; frame 1 is the reference.
class SkySimulator {
public:
    // Throws std::invalid_argument for settings out of range (see validate())
    // and for a field of more than ten million stars, which a drift far
    // beyond the frame would need.
    explicit SkySimulator(const SkySimSettings& settings);

    const SkySimSettings& settings() const { return settings_; }
    const SkyModel& model() const { return model_; }
    const std::vector<HotPixel>& hotPixels() const { return hotPixels_; }

    // Maps frame pixel coordinates to reference coordinates (FrameTransforms.h).
    const cv::Matx33d& transform(int frame) const;

    // The noise-free sky the frame sees.
    FloatImagePtr truth(int frame) const;
    // What the sensor records from that truth.
    ByteImagePtr exposure(int frame, const FloatImage& truth) const;
    ByteImagePtr exposure(int frame) const;
    // What an astronomy camera records from that truth, 16-bit: a colour
    // sequence as its RGGB Bayer mosaic (exposeCameraFrame()).
    CameraImagePtr cameraExposure(int frame, const FloatImage& truth) const;
    CameraImagePtr cameraExposure(int frame) const;

private:
    SkySimSettings settings_;
    std::vector<cv::Matx33d> transforms_;
    SkyModel model_;
    std::vector<HotPixel> hotPixels_;
};

// "frame_0001.jpg" or "frame_0001.fits" (8- or 16-bit).
std::string frameFileName(int frame, FrameFormat format);

// Writes into the output directory (created if missing) the frames, the
// noise-free reference frame as float FITS (sky_truth.fits), each frame's
// noise-free sky when asked for (truth_0001.fits, ...), and transforms.txt:
// one line per frame, its file name and the nine entries of its transform,
// row by row. 16-bit frames carry a camera's header, frame 1 starting at
// 2026-01-01T21:00:00 UTC and each next one an exposure later. Throws
// std::invalid_argument for an exposure out of range (validate()) and
// std::runtime_error naming a file or directory that could not be written.
void writeSequence(const SkySimulator& simulator, const OutputSettings& output);
