// The state image as the stacker loads it at the start of a run: CFITSIO
// reads a state only by path, so the input is written to a file first. The
// first byte picks a FITS state (keywords and the WEIGHT, M2 and M2COUNT
// planes) or a JPEG one; the rest is the file.

#include <cstddef>
#include <cstdint>

#include "FuzzFiles.h"
#include "stacking/Stacker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const PrivateDirectory directory;
    if (size == 0)
        return 0;
    directory.clear();
    const std::string path = directory.file(data[0] % 2 == 0 ? "state.fits" : "state.jpg");
    writeBytes(path, data + 1, size - 1);
    Stacker stacker;
    stacker.loadState(path);
    return 0;
}
