#pragma once

#include <string>

#include "image/ImageBuffer.h"

// What an astronomy camera's capture program records about a frame.
struct CameraFrameHeader {
    double exposureSeconds = 0.0;
    std::string startTime;  // DATE-OBS, ISO 8601 in UTC
    bool bayerMosaic = false;  // RGGB from the first sample
};

// Writes a 1-channel 16-bit frame as a 2-D FITS image, BITPIX 16 with BZERO
// 32768, the buffer's row 0 stored first, with EXPTIME, DATE-OBS, OBJECT and
// INSTRUME, and for a mosaic BAYERPAT 'RGGB' with XBAYROFF and YBAYROFF 0.
// The file is written beside the path and renamed into place. Throws std::runtime_error "Could
// not write FITS file: PATH (REASON)" with CFITSIO's reason.
void writeCameraFits(const std::string& path, const ImageBuffer<unsigned short>& frame,
                     const CameraFrameHeader& header);
