// Camera frames through the loader the pipeline calls, which takes only a
// path: the first byte picks the file's suffix, and so its reader; the rest
// is the file.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <stdexcept>

#include "FuzzFiles.h"
#include "stacking/CameraFrame.h"

namespace {

// TIFF loads only where Qt has its TIFF plugin; elsewhere it is refused by name.
constexpr const char* kSuffixes[] = {"jpg", "fits", "fz", "xisf", "png", "tif", "cr2", "nef", "dng"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const PrivateDirectory directory;
    if (size == 0)
        return 0;
    const std::string path = directory.file(std::string("frame.") + kSuffixes[data[0] % std::size(kSuffixes)]);
    writeBytes(path, data + 1, size - 1);
    try {
        readCameraFrame(path);
    } catch (const std::runtime_error&) {
        // Refused with the reason, as the pipeline expects.
    }
    return 0;
}
