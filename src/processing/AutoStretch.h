#pragma once

#include "image/ImageBuffer.h"

// The 8-bit picture of a linear image: the FITS data model's automatic screen
// stretch (median and MAD) applied to each channel on its own, unlinked, so
// the sky background comes out neutral grey whatever the camera's colour
// response or the light pollution's tint; stars and nebulae keep their colour
// against it. One or three channels, as the image has.
ByteImagePtr autoStretch(const FloatImage& image);
