#include "CameraFits.h"

#include <memory>
#include <stdexcept>
#include <vector>

#include <fitsio.h>

#include "image/AtomicFile.h"

namespace {

struct FitsCloser {
    void operator()(fitsfile* fits) const
    {
        int status = 0;
        fits_close_file(fits, &status);
    }
};
using FitsPtr = std::unique_ptr<fitsfile, FitsCloser>;

// CFITSIO calls do nothing once the status is set, so a sequence of them is
// checked once, after the last.
void throwOnFailure(int status, const std::string& path)
{
    if (status == 0)
        return;
    char reason[FLEN_STATUS] = "";
    fits_get_errstatus(status, reason);
    fits_clear_errmsg();
    throw std::runtime_error("Could not write FITS file: " + path + " (" + reason + ")");
}

FitsPtr createFits(const std::string& fileName, const std::string& path)
{
    fitsfile* fits = nullptr;
    int status = 0;
    fits_create_diskfile(&fits, fileName.c_str(), &status);
    throwOnFailure(status, path);
    return FitsPtr(fits);
}

void writeKeywords(fitsfile* fits, const CameraFrameHeader& header, int* status)
{
    if (header.bayerMosaic) {
        fits_write_key_str(fits, "BAYERPAT", "RGGB", "Bayer colour filter pattern", status);
        fits_write_key_lng(fits, "XBAYROFF", 0, "Bayer pattern x offset", status);
        fits_write_key_lng(fits, "YBAYROFF", 0, "Bayer pattern y offset", status);
    }
    fits_write_key_dbl(fits, "EXPTIME", header.exposureSeconds, -15, "[s] exposure time", status);
    fits_write_key_str(fits, "DATE-OBS", header.startTime.c_str(), "UTC start of the exposure", status);
    fits_write_key_str(fits, "OBJECT", "Simulated field", nullptr, status);
    fits_write_key_str(fits, "INSTRUME", "skysim", nullptr, status);
}

// From a copy: CFITSIO takes a non-const buffer.
void writeSamples(fitsfile* fits, const ImageBuffer<unsigned short>& frame, int* status)
{
    std::vector<unsigned short> samples(frame.data(), frame.data() + frame.size());
    fits_write_img(fits, TUSHORT, 1, LONGLONG(samples.size()), samples.data(), status);
}

// Closing flushes CFITSIO's buffers, where a full disk shows up.
void closeFits(FitsPtr fits, const std::string& path)
{
    int status = 0;
    fits_close_file(fits.release(), &status);
    throwOnFailure(status, path);
}

}  // namespace

void writeCameraFits(const std::string& path, const ImageBuffer<unsigned short>& frame,
                     const CameraFrameHeader& header)
{
    if (frame.channels() != 1)
        throw std::runtime_error("Could not write FITS file: " + path + " (a camera frame has one channel, found " +
                                 std::to_string(frame.channels()) + ")");
    AtomicFile target(path);
    FitsPtr fits = createFits(target.tempPath(), path);
    LONGLONG axes[2] = {frame.width(), frame.height()};
    int status = 0;
    fits_create_imgll(fits.get(), USHORT_IMG, 2, axes, &status);
    writeKeywords(fits.get(), header, &status);
    writeSamples(fits.get(), frame, &status);
    throwOnFailure(status, path);
    closeFits(std::move(fits), path);
    target.commit();
}
