#pragma once

#include <map>
#include <string>
#include <vector>

#include "image/ImageBuffer.h"

// FITS frames through CFITSIO. The path is always taken literally: names
// holding '[' or '!' are never parsed as CFITSIO filename syntax.
//
// Layout: a 2-D primary array is a 1-channel image; a cube with NAXIS3 = 3
// is a 3-channel image whose planes are channels 0, 1, 2. Row 0 of the
// buffer is the first row stored in the file. Any other axis count throws
// "Only 2D FITS images are supported: " + path + the axis count.
//
// Every CFITSIO failure throws std::runtime_error "WHAT: PATH (REASON)" with
// CFITSIO's text for its status. Reading: WHAT is "Could not open FITS file",
// "Could not read FITS image parameters" or "Could not read FITS image data";
// the last also when the header claims more data than the file holds, which
// is checked before anything is allocated. A zero-length axis throws
// std::invalid_argument "Invalid dimensions for ImageBuffer".

// Any BITPIX; CFITSIO converts the values, and one outside 0..255 makes the
// read fail.
ByteImagePtr readFits(const std::string& path);

// BITPIX 8 or -32 only; any other throws naming the file. BITPIX -32 data
// loads bit for bit.
FloatImagePtr readFloatFits(const std::string& path);

// BITPIX 8 for bytes, -32 for floats, with no scaling keywords, so both
// round-trip exactly. Only 1 or 3 channels can be written. The file is
// written beside the path and renamed into place. WHAT is "Could not create
// FITS file", "Could not create FITS image" or "Could not write FITS image
// data".
void writeFits(const std::string& path, const ByteImagePtr& image);
void writeFits(const std::string& path, const FloatImagePtr& image);

// Header keywords by name: numbers and texts.
struct FitsKeywords {
    std::map<std::string, double> numbers;
    std::map<std::string, std::string> texts;
};

// As above, with the keywords added to the header.
void writeFits(const std::string& path, const FloatImagePtr& image, const FitsKeywords& keywords);

// An image extension written after the primary image, named by its EXTNAME.
struct FitsExtension {
    std::string name;
    FloatImagePtr image;  // 1 or 3 channels, laid out as the primary image
};

// As above, followed by the extensions in order. Readers of the primary
// image are not affected by them.
void writeFits(const std::string& path, const FloatImagePtr& image, const FitsKeywords& keywords,
               const std::vector<FitsExtension>& extensions);

// The image of the extension named name, BITPIX 8 or -32 as readFloatFits;
// null when the file has no such extension. Failures throw as above, with
// PATH[NAME] for the path once the extension is found.
FloatImagePtr readFloatFitsExtension(const std::string& path, const std::string& name);

// The keywords of the primary header that hold a number or a text; COMMENT,
// HISTORY and the structural keys are left out. Failures throw as above.
FitsKeywords readFitsKeywords(const std::string& path);
