#pragma once

#include "image/ImageBuffer.h"
#include "processing/BackgroundExtractor.h"
#include "stacking/StackerSettings.h"

// The model for a percentage (0..100) when no nebulosity is found. The
// percentage sets how closely the model may follow the sky, never how much of
// it is subtracted: degree 4 above 70 %, else 3; (int)(16 + 16 x percentage /
// 100) grid cells per side; protection threshold 0.5; plain least squares.
BackgroundExtractorParams backgroundParamsForPercentage(float percentage);

// The model when nebulosity is detected: a plane on a 32-cell grid with
// protection threshold 0.8, too stiff to follow a nebula.
BackgroundExtractorParams conservativeBackgroundParams();

// params with each model value the user gave (degree, grid size, protection
// threshold, smoothness) in place of the adjustment's own choice.
BackgroundExtractorParams withUserChoices(BackgroundExtractorParams params, const StackerSettings& settings);

// A new 8-bit image: image minus model per sample, negative differences 0.
// A one-channel model is subtracted from every channel of a colour image; a
// one-channel image with a colour model becomes a colour result; a model of
// another size is first resized (bilinear) to the image's.
ByteImagePtr subtractBackground(const ByteImage& image, const ByteImage& model);
