#pragma once

#include <string>

#include "image/ImageBuffer.h"

// JPEG frames through libjpeg with its default decoding: a colour file loads
// as R, G, B, a greyscale one as 1 channel, a CMYK one as 4 channels.
//
// Throws std::runtime_error "Could not open file: " + path when the file
// cannot be opened and "Invalid JPEG file: " + path for anything libjpeg
// cannot decode, including a stream that ends before the last row (libjpeg
// would pad it with grey, and that frame would then be stacked).
ByteImagePtr readJpeg(const std::string& path);

// Quality 95 with baseline tables; 3 channels are written as RGB, 1 as grey.
// The file is written beside the path and renamed into place. Throws
// std::runtime_error "Could not open file for writing: " + path or
// "Could not write JPEG file: " + path (including any channel count other
// than 1 or 3).
void writeJpeg(const std::string& path, const ByteImagePtr& image);
