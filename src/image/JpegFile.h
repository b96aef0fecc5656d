#pragma once

#include <string>

#include "image/ImageBuffer.h"

// JPEG frames through libjpeg with its default decoding: a colour file loads
// as R, G, B, a greyscale one as 1 channel, a CMYK one as 4 channels.
//
// Throws std::runtime_error "Could not open file: " + path when the file
// cannot be opened and "Invalid JPEG file: " + path + " (libjpeg's reason)"
// for anything libjpeg cannot decode or decodes only with a warning about
// damaged data: a stream that ends before the last row, a flipped bit, a
// scribbled block (libjpeg would fill in grey or shifted blocks, and that
// frame would then be stacked). An image larger than the readers' limit
// (core/ImageLimits.h) is refused before anything is allocated.
ByteImagePtr readJpeg(const std::string& path);

// The same for the bytes of a JPEG file held in memory; name stands for the
// file in messages.
ByteImagePtr decodeJpeg(const unsigned char* data, std::size_t size, const std::string& name);

// The text of the file's first comment marker, read from the header only;
// empty when it has none. Throws as readJpeg.
std::string readJpegComment(const std::string& path);

// Quality 95 with baseline tables; 3 channels are written as RGB, 1 as grey;
// a comment, when given, goes into a comment marker. The file is written
// beside the path and renamed into place. Throws std::runtime_error "Could
// not open file for writing: " + path or "Could not write JPEG file: " + path
// (including any channel count other than 1 or 3).
void writeJpeg(const std::string& path, const ByteImagePtr& image, const std::string& comment = {});
