// FITS frames (and fpack's tile-compressed ones) through the FITS data model
// from memory, with the mosaic left undebayered as the pipeline loads frames.

#include <cstddef>
#include <cstdint>

#include "FuzzFiles.h"
#include "fits/FITSData.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Without bytes the data model would read the named file from disk instead.
    if (size == 0)
        return 0;
    FITSData frame;
    frame.setDebayerOnLoad(false);
    frame.loadFromBuffer(bytesOf(data, size), "frame.fits");
    return 0;
}
