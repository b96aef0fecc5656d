// XISF files: the reader itself, and the FITS data model that copies its
// pixels into a buffer of the size the header declares.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "FuzzFiles.h"
#include "fits/FITSData.h"
#include "fits/XisfFile.h"

namespace {

void readDirectly(const QByteArray& file)
{
    try {
        const XisfImage image = readXisf(file, "fuzzed.xisf");
        // The data model copies pixels.size() bytes into a buffer of this size.
        const qint64 needed =
            qint64(image.width) * image.height * image.channels * xisfBytesPerSample(image.sampleFormat);
        if (image.pixels.size() != needed)
            std::abort();
    } catch (const std::runtime_error&) {
        // Refused with the reason.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray file = bytesOf(data, size);
    readDirectly(file);
    // Without bytes the data model would read the named file from disk instead.
    if (size == 0)
        return 0;
    FITSData frame;
    frame.loadFromBuffer(file, "frame.xisf");
    return 0;
}
