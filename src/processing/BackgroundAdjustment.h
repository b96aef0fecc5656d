#pragma once

#include "image/ImageBuffer.h"
#include "processing/BackgroundExtractor.h"

// The model for a percentage (0..100) when no nebulosity is found. The
// percentage sets how closely the model may follow the sky, never how much of
// it is subtracted: degree 4 above 70 %, else 3; (int)(16 + 16 x percentage /
// 100) grid cells per side; protection threshold and smoothness 0.5.
BackgroundExtractorParams backgroundParamsForPercentage(float percentage);

// The model when nebulosity is detected: a plane on a 32-cell grid with
// protection threshold and smoothness 0.8, too stiff to follow a nebula.
BackgroundExtractorParams conservativeBackgroundParams();

// A new 8-bit image: image minus model per sample, negative differences 0.
// A one-channel model is subtracted from every channel of a colour image; a
// one-channel image with a colour model becomes a colour result; a model of
// another size is first resized (bilinear) to the image's.
ByteImagePtr subtractBackground(const ByteImage& image, const ByteImage& model);
