#include "image/FitsFile.h"

#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fitsio.h>

#include "core/ImageLimits.h"
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

template <typename T>
struct FitsType;
template <>
struct FitsType<unsigned char> {
    static constexpr int pixel = TBYTE;
    static constexpr int bitpix = BYTE_IMG;
};
template <>
struct FitsType<float> {
    static constexpr int pixel = TFLOAT;
    static constexpr int bitpix = FLOAT_IMG;
};

// The axes of the primary array as stored: planes is 1 for a 2-D image.
struct Layout {
    int bitpix = 0;
    LONGLONG width = 0;
    LONGLONG height = 0;
    LONGLONG planes = 1;
};

// "WHAT: PATH (REASON)", the reason being CFITSIO's text for its status.
std::runtime_error fitsError(const std::string& what, const std::string& path, int status)
{
    char reason[FLEN_STATUS] = "";
    fits_get_errstatus(status, reason);
    fits_clear_errmsg();
    return std::runtime_error(what + ": " + path + " (" + reason + ")");
}

FitsPtr openFits(const std::string& path)
{
    fitsfile* fits = nullptr;
    int status = 0;
    if (fits_open_diskfile(&fits, path.c_str(), READONLY, &status) != 0)
        throw fitsError("Could not open FITS file", path, status);
    return FitsPtr(fits);
}

Layout readLayout(fitsfile* fits, const std::string& path)
{
    int bitpix = 0;
    int naxis = 0;
    LONGLONG axes[3] = {0, 0, 0};
    int status = 0;
    if (fits_get_img_paramll(fits, 3, &bitpix, &naxis, axes, &status) != 0)
        throw fitsError("Could not read FITS image parameters", path, status);
    const bool plane = naxis == 2;
    const bool colourCube = naxis == 3 && axes[2] == 3;
    if (!plane && !colourCube)
        throw std::runtime_error("Only 2D FITS images are supported: " + path + " has " + std::to_string(naxis) +
                                 " axes");
    return {bitpix, axes[0], axes[1], plane ? 1 : 3};
}

// Whether the product of the factors is at most limit, worked out without
// overflowing however large the header's axes are.
bool productAtMost(std::initializer_list<LONGLONG> factors, LONGLONG limit)
{
    LONGLONG product = 1;
    for (LONGLONG factor : factors) {
        if (factor < 0 || (factor != 0 && product > limit / factor))
            return false;
        product *= factor;
    }
    return product <= limit;
}

// A header may claim far more data than the file holds; refuse before the
// claimed size is allocated. The size is CFITSIO's own, which for a gzipped
// file is that of the bytes it unpacked.
void checkDataPresent(fitsfile* fits, const Layout& layout, const std::string& path)
{
    LONGLONG headerStart = 0;
    LONGLONG dataStart = 0;
    LONGLONG dataEnd = 0;
    int status = 0;
    if (fits_get_hduaddrll(fits, &headerStart, &dataStart, &dataEnd, &status) != 0)
        throw fitsError("Could not read FITS image data", path, status);
    const LONGLONG sampleBytes = std::abs(layout.bitpix) / 8;
    const LONGLONG available = fits->Fptr->filesize - dataStart;
    if (!productAtMost({layout.width, layout.height, layout.planes, sampleBytes}, available))
        throw std::runtime_error("Could not read FITS image data: " + path +
                                 " (the header claims more data than the file holds)");
}

// Lengths beyond int cannot index a buffer; report them as the buffer would.
int axisLength(LONGLONG length)
{
    if (length > INT_MAX)
        throw std::invalid_argument("Invalid dimensions for ImageBuffer");
    return int(length);
}

// Samples first ... first + count - 1 (0-based, in file order).
template <typename T>
void readSamples(fitsfile* fits, T* samples, LONGLONG first, LONGLONG count, const std::string& path)
{
    int anyNull = 0;
    int status = 0;
    if (fits_read_img(fits, FitsType<T>::pixel, first + 1, count, nullptr, samples, &anyNull, &status) != 0)
        throw fitsError("Could not read FITS image data", path, status);
}

// A cube is read a plane at a time into the channel it holds, so only one
// plane's worth of memory is needed beside the image.
template <typename T>
std::shared_ptr<ImageBuffer<T>> readImage(fitsfile* fits, const Layout& layout, const std::string& path)
{
    checkDataPresent(fits, layout, path);
    requireLoadableSize(layout.width, layout.height, layout.planes, path);
    auto image = std::make_shared<ImageBuffer<T>>(axisLength(layout.width), axisLength(layout.height),
                                                  int(layout.planes));
    if (layout.planes == 1) {
        readSamples(fits, image->data(), 0, LONGLONG(image->size()), path);
        return image;
    }
    const std::size_t pixels = std::size_t(image->width()) * std::size_t(image->height());
    const std::size_t channels = std::size_t(image->channels());
    std::vector<T> plane(pixels);
    T* out = image->data();
    for (std::size_t c = 0; c < channels; ++c) {
        readSamples(fits, plane.data(), LONGLONG(c * pixels), LONGLONG(pixels), path);
        for (std::size_t i = 0; i < pixels; ++i)
            out[i * channels + c] = plane[i];
    }
    return image;
}

FitsPtr createFits(const std::string& fileName, const std::string& path)
{
    fitsfile* fits = nullptr;
    int status = 0;
    if (fits_create_diskfile(&fits, fileName.c_str(), &status) != 0)
        throw fitsError("Could not create FITS file", path, status);
    return FitsPtr(fits);
}

template <typename T>
void createImage(fitsfile* fits, const ImageBuffer<T>& image, const std::string& path)
{
    LONGLONG axes[3] = {image.width(), image.height(), image.channels()};
    const int naxis = image.channels() == 1 ? 2 : 3;
    int status = 0;
    if (fits_create_imgll(fits, FitsType<T>::bitpix, naxis, axes, &status) != 0)
        throw fitsError("Could not create FITS image", path, status);
}

// Writes a plane at a time from a copy: it is the file's layout for a cube,
// and CFITSIO is never handed the caller's buffer to byte-swap in place.
template <typename T>
void writeSamples(fitsfile* fits, const ImageBuffer<T>& image, const std::string& path)
{
    const std::size_t pixels = std::size_t(image.width()) * std::size_t(image.height());
    const std::size_t channels = std::size_t(image.channels());
    std::vector<T> plane(pixels);
    const T* in = image.data();
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t i = 0; i < pixels; ++i)
            plane[i] = in[i * channels + c];
        int status = 0;
        if (fits_write_img(fits, FitsType<T>::pixel, LONGLONG(c * pixels) + 1, LONGLONG(pixels), plane.data(),
                           &status) != 0)
            throw fitsError("Could not write FITS image data", path, status);
    }
}

// Closing flushes CFITSIO's buffers, where a full disk shows up.
void closeFits(FitsPtr fits, const std::string& path)
{
    int status = 0;
    if (fits_close_file(fits.release(), &status) != 0)
        throw fitsError("Could not write FITS image data", path, status);
}

void writeKeywords(fitsfile* fits, const FitsKeywords& keywords, const std::string& path)
{
    int status = 0;
    for (const auto& [name, value] : keywords.numbers) {
        double number = value;
        fits_update_key(fits, TDOUBLE, name.c_str(), &number, nullptr, &status);
    }
    for (const auto& [name, value] : keywords.texts)
        fits_update_key(fits, TSTRING, name.c_str(), const_cast<char*>(value.c_str()), nullptr, &status);
    if (status != 0)
        throw fitsError("Could not write FITS header", path, status);
}

bool isStructural(const std::string& name)
{
    static const char* const structural[] = {"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "NAXIS3",
                                             "EXTEND", "BZERO",  "BSCALE", "COMMENT", "HISTORY", ""};
    for (const char* key : structural)
        if (name == key)
            return true;
    return false;
}

// A FITS string value without its quotes, doubled quotes made single and
// trailing blanks (not significant in FITS) dropped.
std::string unquoted(const std::string& value)
{
    std::string text;
    for (std::size_t i = 1; i + 1 < value.size(); ++i) {
        text += value[i];
        if (value[i] == '\'' && value[i + 1] == '\'')
            ++i;
    }
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

// A card's value as CFITSIO parsed it: quoted strings lose their quotes.
void addKeyword(const char* card, FitsKeywords& keywords)
{
    char name[FLEN_KEYWORD] = "";
    char value[FLEN_VALUE] = "";
    char comment[FLEN_COMMENT] = "";
    int length = 0;
    int status = 0;
    if (fits_get_keyname(const_cast<char*>(card), name, &length, &status) != 0 || isStructural(name))
        return;
    if (fits_parse_value(const_cast<char*>(card), value, comment, &status) != 0 || value[0] == '\0')
        return;
    if (value[0] == '\'') {
        keywords.texts[name] = unquoted(value);
        return;
    }
    char* end = nullptr;
    const double number = std::strtod(value, &end);
    if (end != value && *end == '\0')
        keywords.numbers[name] = number;
}

template <typename T>
void requireWritableChannels(const ImageBuffer<T>& image, const std::string& path)
{
    if (image.channels() != 1 && image.channels() != 3)
        throw std::runtime_error("FITS images need 1 or 3 channels, found " +
                                 std::to_string(image.channels()) + ": " + path);
}

// Appends an image HDU after the current one and makes it current.
template <typename T>
void writeHdu(fitsfile* fits, const ImageBuffer<T>& image, const FitsKeywords& keywords, const std::string& path)
{
    createImage(fits, image, path);
    writeKeywords(fits, keywords, path);
    writeSamples(fits, image, path);
}

template <typename T>
void writeImage(const std::string& path, const ImageBuffer<T>& image, const FitsKeywords& keywords = {},
                const std::vector<FitsExtension>& extensions = {})
{
    requireWritableChannels(image, path);
    for (const FitsExtension& extension : extensions)
        requireWritableChannels(*extension.image, path);
    AtomicFile target(path);
    FitsPtr fits = createFits(target.tempPath(), path);
    writeHdu(fits.get(), image, keywords, path);
    for (const FitsExtension& extension : extensions)
        writeHdu(fits.get(), *extension.image, FitsKeywords{{}, {{"EXTNAME", extension.name}}}, path);
    closeFits(std::move(fits), path);
    target.commit();
}

FloatImagePtr readFloatHdu(fitsfile* fits, const std::string& path)
{
    const Layout layout = readLayout(fits, path);
    if (layout.bitpix != BYTE_IMG && layout.bitpix != FLOAT_IMG)
        throw std::runtime_error("Unsupported FITS BITPIX " + std::to_string(layout.bitpix) +
                                 " (expected 8 or -32): " + path);
    return readImage<float>(fits, layout, path);
}

}  // namespace

ByteImagePtr readFits(const std::string& path)
{
    FitsPtr fits = openFits(path);
    return readImage<unsigned char>(fits.get(), readLayout(fits.get(), path), path);
}

FloatImagePtr readFloatFits(const std::string& path)
{
    FitsPtr fits = openFits(path);
    return readFloatHdu(fits.get(), path);
}

FloatImagePtr readFloatFitsExtension(const std::string& path, const std::string& name)
{
    FitsPtr fits = openFits(path);
    int status = 0;
    if (fits_movnam_hdu(fits.get(), IMAGE_HDU, const_cast<char*>(name.c_str()), 0, &status) == BAD_HDU_NUM) {
        fits_clear_errmsg();
        return nullptr;
    }
    if (status != 0)
        throw fitsError("Could not find FITS extension " + name, path, status);
    return readFloatHdu(fits.get(), path + "[" + name + "]");
}

void writeFits(const std::string& path, const ByteImagePtr& image)
{
    writeImage(path, *image);
}

void writeFits(const std::string& path, const FloatImagePtr& image)
{
    writeImage(path, *image);
}

void writeFits(const std::string& path, const FloatImagePtr& image, const FitsKeywords& keywords)
{
    writeImage(path, *image, keywords);
}

void writeFits(const std::string& path, const FloatImagePtr& image, const FitsKeywords& keywords,
               const std::vector<FitsExtension>& extensions)
{
    writeImage(path, *image, keywords, extensions);
}

FitsKeywords readFitsKeywords(const std::string& path)
{
    FitsPtr fits = openFits(path);
    int count = 0;
    int status = 0;
    if (fits_get_hdrspace(fits.get(), &count, nullptr, &status) != 0)
        throw fitsError("Could not read FITS header", path, status);
    FitsKeywords keywords;
    for (int i = 1; i <= count; ++i) {
        char card[FLEN_CARD] = "";
        if (fits_read_record(fits.get(), i, card, &status) != 0)
            throw fitsError("Could not read FITS header", path, status);
        addKeyword(card, keywords);
    }
    return keywords;
}
