#pragma once

#include <memory>
#include <string>

#include "image/ImageBuffer.h"

// Frame files, chosen by the extension of the path alone (never by content):
// "jpg"/"jpeg" is JPEG, "fit"/"fits" is FITS, anything else is refused with
// "Unsupported file format: " + the lowered extension.
//
// Failures throw std::runtime_error with fixed texts; those about opening,
// creating or decoding a file name it (JpegFile.h and FitsFile.h list them).
// Dimensions no buffer can hold throw std::invalid_argument from ImageBuffer.
// Writes go to a temporary file renamed into place, so a failed save leaves
// any earlier file at the path untouched.
//
// FITS: a 1-channel image is a 2-D primary array; a 3-channel image is a cube
// with NAXIS3 = 3 holding the planes in channel order. 8-bit buffers are
// written with BITPIX 8; float buffers with BITPIX -32, losslessly.

// The characters after the last '.' of the whole path, lowered; empty without a '.'.
std::string fileExtension(const std::string& path);
// Whether the extension is "fit" or "fits".
bool isFitsFile(const std::string& path);

std::shared_ptr<ImageBuffer<unsigned char>> loadImage(const std::string& path);
void saveImage(const std::string& path, const std::shared_ptr<ImageBuffer<unsigned char>>& image);

// JPEG loads exactly (8-bit values); FITS accepts BITPIX 8 and -32.
std::shared_ptr<ImageBuffer<float>> loadFloatImage(const std::string& path);
// JPEG rounds to nearest 8-bit values; FITS keeps every float bit.
void saveImage(const std::string& path, const std::shared_ptr<ImageBuffer<float>>& image);
