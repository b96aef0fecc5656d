// JPEG frames as the pipeline decodes them, from memory.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "image/JpegFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        if (!decodeJpeg(data, size, "fuzzed.jpg"))
            std::abort();  // a decoded frame is never null
    } catch (const std::runtime_error&) {
        // Refused with the reason, as the frame loader expects.
    }
    return 0;
}
