#pragma once

#include <map>
#include <optional>
#include <string>

#include "image/BayerMosaic.h"
#include "image/ImageBuffer.h"

// The header texts a stack keeps from its frames.
inline constexpr const char* kKeptHeaderTexts[] = {"DATE-OBS", "OBJECT", "INSTRUME", "TELESCOP", "FILTER"};

// What a frame's header says about the exposure, as far as a stack keeps it.
struct FrameHeader {
    std::optional<double> exposure;            // EXPTIME, seconds
    std::map<std::string, std::string> texts;  // DATE-OBS, OBJECT, INSTRUME, TELESCOP, FILTER when present
};

// A frame as its file holds it, before calibration: samples as floats on the
// file's own scale (a 16-bit frame's 1200 ADU stays 1200).
struct CameraFrame {
    FloatImagePtr pixels;  // 1 channel (grey or a mosaic) or 3 (R, G, B); null while bytes holds them
    // A JPEG frame's samples as decoded, until floatPixels() is asked for
    // them: most 8-bit frames go to the 8-bit stack without ever needing
    // floats, and the round trip costs a frame-sized buffer.
    ByteImagePtr bytes;
    std::optional<BayerLayout> bayer;  // set for a mosaic
    // Deeper than 8 bits, a mosaic or camera raw: stacked at full precision.
    // An 8-bit frame (JPEG, 8-bit PNG, TIFF or FITS) is stacked as today.
    bool linear = false;
    FrameHeader header;
};

// Reads a frame by its file name's suffix: JPEG through libjpeg, every other
// format the FITS data model loads (FITS and fpack, XISF, PNG, TIFF, camera
// raw). Throws std::runtime_error "Unsupported file format: EXT" for any
// other suffix, and with the loader's reason, naming the file, when it cannot
// be read or has other than 1 or 3 channels.
CameraFrame readCameraFrame(const std::string& path);

// The frame's samples as floats, converted from its bytes once (which are
// then dropped, so the floats are the samples from there on).
FloatImage& floatPixels(CameraFrame& frame);

// An 8-bit frame's samples as bytes: as decoded, or the floats rounded.
ByteImagePtr eightBitPixels(const CameraFrame& frame);

// "8-bit" or "linear".
std::string kindName(bool linear);
