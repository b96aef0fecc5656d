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

private:
    SkySimSettings settings_;
    std::vector<cv::Matx33d> transforms_;
    SkyModel model_;
    std::vector<HotPixel> hotPixels_;
};

// "frame_0001.jpg" or "frame_0001.fits".
std::string frameFileName(int frame, FrameFormat format);

// Writes into the output directory (created if missing) the frames, the
// noise-free reference frame as float FITS (sky_truth.fits), each frame's
// noise-free sky when asked for (truth_0001.fits, ...), and transforms.txt:
// one line per frame, its file name and the nine entries of its transform,
// row by row. Throws std::runtime_error naming a file or directory that
// could not be written.
void writeSequence(const SkySimulator& simulator, const OutputSettings& output);
