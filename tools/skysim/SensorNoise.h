#pragma once

#include <cstdint>
#include <vector>

#include "SkySettings.h"
#include "image/ImageBuffer.h"

// A pixel of the sensor that reads high in every frame, in all channels, by
// the same excess: it stays where it is on the sensor while the sky moves.
struct HotPixel {
    int x = 0;
    int y = 0;
    float excess = 0.0f;
};

// Distinct positions, each with an excess between half and full scale.
// Throws std::invalid_argument when there are more than width * height.
std::vector<HotPixel> randomHotPixels(int count, int width, int height, std::uint64_t seed);

using CameraImagePtr = std::shared_ptr<ImageBuffer<unsigned short>>;

// The 8-bit frame a sensor records from a noise-free sky: each sample gets
// Gaussian noise of variance max(signal, 0) * gain + readNoise^2 and is
// rounded to the nearest value in 0..255; hot pixels then add their excess,
// saturating at 255. The noise is drawn from (seed, frame, row), so the same
// frame comes out the same whatever the thread count.
ByteImagePtr exposeFrame(const FloatImage& sky, const NoiseSettings& noise, const std::vector<HotPixel>& hotPixels,
                         std::uint64_t seed, int frame);

// The 16-bit frame an astronomy camera records, one sample per pixel: a grey
// sky as it is, a colour sky through an RGGB Bayer mosaic (even rows R G R G,
// odd rows G B G B, from the top-left sample). Exposed as exposeFrame() does,
// rounded to 0..65535, with the hot pixels' excess scaled by 257 to 16 bits.
CameraImagePtr exposeCameraFrame(const FloatImage& sky, const NoiseSettings& noise,
                                 const std::vector<HotPixel>& hotPixels, std::uint64_t seed, int frame);
