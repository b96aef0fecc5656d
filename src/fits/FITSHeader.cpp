#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include <dc1394/conversions.h>

#include "fits/FITSData.h"

namespace {

constexpr int kCardLength = 80;

struct FitsMemoryFree {
    void operator()(char* text) const
    {
        int status = 0;
        fits_free_memory(text, &status);
    }
};

// Colour-filter codes of libdc1394, first row and column of the pattern.
constexpr uint32_t kRggb = DC1394_COLOR_FILTER_RGGB;
constexpr uint32_t kGbrg = DC1394_COLOR_FILTER_GBRG;
constexpr uint32_t kGrbg = DC1394_COLOR_FILTER_GRBG;
constexpr uint32_t kBggr = DC1394_COLOR_FILTER_BGGR;

bool isCommentary(const QString& key)
{
    return key.isEmpty() || key == "COMMENT" || key == "HISTORY";
}

// A value as CFITSIO classes it: a quoted string unquoted (two quotes
// inside stand for one), an integer as int when it fits, a real as double,
// anything else (logical T or F, complex) as its text.
QVariant typedValue(const QString& text)
{
    char type = 0;
    int status = 0;
    const QByteArray raw = text.toLatin1();
    if (text.isEmpty() || fits_get_keytype(const_cast<char*>(raw.constData()), &type, &status) != 0)
        return QVariant();
    switch (type) {
    case 'C': {
        QString inner = text.mid(1, text.size() - 2).replace("''", "'");
        while (inner.endsWith(' '))
            inner.chop(1);
        return inner;
    }
    case 'I': {
        bool isInt = false;
        const int value = text.toInt(&isInt);
        return isInt ? QVariant(value) : QVariant(text.toDouble());
    }
    case 'F': return QString(text).replace('D', 'E').toDouble();
    default: return text;
    }
}

// One 80-character card as a record.
FITSData::Record recordOf(const char* card)
{
    char name[FLEN_KEYWORD] = "";
    char value[FLEN_VALUE] = "";
    char comment[FLEN_COMMENT] = "";
    int length = 0;
    int status = 0;
    fits_get_keyname(const_cast<char*>(card), name, &length, &status);
    const QString key = QString::fromLatin1(name).trimmed();
    const bool hasValue = std::strncmp(card + 8, "= ", 2) == 0;
    if (isCommentary(key) || !hasValue)
        return {key, QVariant(), QString::fromLatin1(card + std::min<std::size_t>(8, std::strlen(card))).simplified()};
    status = 0;
    fits_parse_value(const_cast<char*>(card), value, comment, &status);
    return {key, typedValue(QString::fromLatin1(value).trimmed()), QString::fromLatin1(comment).simplified()};
}

// The pattern one column further on.
uint32_t shiftedByColumn(uint32_t filter)
{
    switch (filter) {
    case kRggb: return kGrbg;
    case kGrbg: return kRggb;
    case kGbrg: return kBggr;
    default: return kGbrg;
    }
}

// The pattern one row further on.
uint32_t shiftedByRow(uint32_t filter)
{
    switch (filter) {
    case kRggb: return kGbrg;
    case kGbrg: return kRggb;
    case kGrbg: return kBggr;
    default: return kGrbg;
    }
}

// Method 4 of libdc1394 gives an image of half the size on each side.
constexpr uint32_t kDownsample = DC1394_BAYER_METHOD_DOWNSAMPLE;

// The rows and columns at each side of its output that a libdc1394 method
// leaves black, unwritten or wrong (edge sense and VNG reach past the
// border they clear): left, top, right, bottom.
struct Margins {
    std::size_t left, top, right, bottom;
};

Margins undecodedMargins(uint32_t method)
{
    switch (method) {
    case DC1394_BAYER_METHOD_NEAREST:
    case DC1394_BAYER_METHOD_SIMPLE: return {0, 0, 1, 1};
    case DC1394_BAYER_METHOD_BILINEAR: return {1, 1, 1, 1};
    case DC1394_BAYER_METHOD_HQLINEAR: return {2, 2, 2, 2};
    case DC1394_BAYER_METHOD_VNG: return {3, 3, 3, 3};
    case DC1394_BAYER_METHOD_EDGESENSE: return {4, 4, 4, 4};
    default: return {0, 0, 0, 0};
    }
}

// Gives every pixel of the margins the colour of the nearest decoded pixel,
// so a frame's edges are not black.
template <typename T>
void fillMargins(std::vector<T>& rgb, std::size_t width, std::size_t height, const Margins& m)
{
    const std::size_t lastX = width - 1 - m.right, lastY = height - 1 - m.bottom;
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x) {
            const std::size_t sx = std::clamp(x, m.left, lastX), sy = std::clamp(y, m.top, lastY);
            if (sx != x || sy != y)
                std::copy_n(rgb.begin() + std::ptrdiff_t((sy * width + sx) * 3), 3,
                            rgb.begin() + std::ptrdiff_t((y * width + x) * 3));
        }
}

template <typename T>
void interleavedToPlanes(const std::vector<T>& rgb, std::size_t pixels, uint8_t* buffer)
{
    T* planes = reinterpret_cast<T*>(buffer);
    for (std::size_t i = 0; i < pixels; ++i)
        for (std::size_t c = 0; c < 3; ++c)
            planes[c * pixels + i] = rgb[i * 3 + c];
}

// Decodes the mosaic into planes R, G, B of outWidth x outHeight. With a row
// offset the first row belongs to no whole pattern and is skipped; the last
// output row, which no mosaic row then reaches, repeats the row above it.
template <typename T>
std::unique_ptr<uint8_t[]> decodeMosaic(const T* mosaic, std::size_t width, std::size_t height,
                                        const FITSData::BayerParams& params, std::size_t& outWidth,
                                        std::size_t& outHeight)
{
    const std::size_t skipped = params.offsetY == 1 ? 1 : 0;
    const std::size_t rows = height - skipped;
    const bool half = params.method == kDownsample;
    outWidth = half ? width / 2 : width;
    outHeight = half ? rows / 2 : height;
    const Margins margins = undecodedMargins(params.method);
    if (outWidth <= margins.left + margins.right || rows <= margins.top + margins.bottom || outHeight == 0)
        return nullptr;
    std::vector<T> rgb(std::max(width * rows, outWidth * outHeight) * 3);
    const auto filter = dc1394color_filter_t(params.filter);
    const auto method = dc1394bayer_method_t(params.method);
    dc1394error_t result;
    if constexpr (sizeof(T) == 1)
        result = dc1394_bayer_decoding_8bit(mosaic + skipped * width, rgb.data(), uint32_t(width), uint32_t(rows),
                                            filter, method);
    else
        result = dc1394_bayer_decoding_16bit(mosaic + skipped * width, rgb.data(), uint32_t(width), uint32_t(rows),
                                             filter, method, 16);
    if (result != DC1394_SUCCESS)
        return nullptr;
    const std::size_t decodedRows = half ? outHeight : rows;
    fillMargins(rgb, outWidth, decodedRows, margins);
    if (decodedRows < outHeight)
        std::copy_n(rgb.begin() + std::ptrdiff_t((decodedRows - 1) * outWidth * 3), outWidth * 3,
                    rgb.begin() + std::ptrdiff_t(decodedRows * outWidth * 3));
    auto planes = std::make_unique<uint8_t[]>(outWidth * outHeight * 3 * sizeof(T));
    interleavedToPlanes(rgb, outWidth * outHeight, planes.get());
    return planes;
}

} // namespace

bool FITSData::getRecordValue(const QString& key, QVariant& value) const
{
    for (const Record& record : records_)
        if (record.key == key && record.value.isValid()) {
            value = record.value;
            return true;
        }
    return false;
}

// A tile-compressed image's header is read in the form of the image it holds.
bool FITSData::parseHeader()
{
    if (!fptr_)
        return fail("No FITS file is open: " + filename_);
    char* text = nullptr;
    int cards = 0;
    int status = 0;
    if (isCompressed_)
        fits_convert_hdr2str(fptr_.get(), 0, nullptr, 0, &text, &cards, &status);
    else
        fits_hdr2str(fptr_.get(), 0, nullptr, 0, &text, &cards, &status);
    const std::unique_ptr<char, FitsMemoryFree> header(text);
    if (status != 0)
        return fitsFailed("Could not read FITS header", filename_, status);
    records_.clear();
    char card[kCardLength + 1] = "";
    for (int i = 0; i < cards; ++i) {
        std::memcpy(card, header.get() + std::size_t(i) * kCardLength, kCardLength);
        if (std::strncmp(card, "END     ", 8) != 0)
            records_.append(recordOf(card));
    }
    return true;
}

// ROWORDER BOTTOM-UP (written by several capture programs) stores the rows
// from the bottom: over an even height the pattern then starts one row on.
bool FITSData::checkForBayer()
{
    hasDebayer_ = false;
    QVariant pattern, offsetX, offsetY, rowOrder;
    const uint32_t dataType = stats_.dataType;
    if (!getRecordValue("BAYERPAT", pattern) || (dataType != TBYTE && dataType != TUSHORT && dataType != TSHORT))
        return false;
    static const QStringList patterns = {"RGGB", "GBRG", "GRBG", "BGGR"};
    const int index = patterns.indexOf(pattern.toString().trimmed());
    if (index < 0)
        return false;
    BayerParams params = bayerParams_;
    params.filter = kRggb + uint32_t(index);
    params.offsetX = getRecordValue("XBAYROFF", offsetX) ? offsetX.toInt() : 0;
    params.offsetY = getRecordValue("YBAYROFF", offsetY) ? offsetY.toInt() : 0;
    if (params.offsetX == 1) {
        params.filter = shiftedByColumn(params.filter);
        params.offsetX = 0;
    }
    if (getRecordValue("ROWORDER", rowOrder) && rowOrder.toString().trimmed() == "BOTTOM-UP" && stats_.height % 2 == 0)
        params.filter = shiftedByRow(params.filter);
    if (params.offsetX != 0 || (params.offsetY != 0 && params.offsetY != 1))
        return false;
    bayerParams_ = params;
    hasDebayer_ = true;
    return true;
}

bool FITSData::debayer(bool reload)
{
    const std::size_t width = stats_.width, height = stats_.height, pixels = width * height;
    if (!imageBuffer_ || (stats_.dataType != TBYTE && stats_.dataType != TUSHORT && stats_.dataType != TSHORT))
        return fail("Only 8- and 16-bit mosaics can be debayered: " + filename_);
    if (height < 2 || width < 2)
        return fail("A mosaic needs at least 2 x 2 pixels: " + filename_);
    if (reload && fptr_) {
        int anyNull = 0, status = 0;
        if (fits_read_img(fptr_.get(), int(stats_.dataType), 1, LONGLONG(pixels), nullptr, imageBuffer_.get(),
                          &anyNull, &status) != 0)
            return fitsFailed("Could not read FITS image data", filename_, status);
    }
    if (stats_.dataType == TSHORT) {
        // Signed 16-bit counts from a camera; below zero is no light at all.
        auto* samples = reinterpret_cast<int16_t*>(imageBuffer_.get());
        for (std::size_t i = 0; i < pixels; ++i)
            samples[i] = std::max<int16_t>(samples[i], 0);
        stats_.dataType = TUSHORT;
        bitpix_ = USHORT_IMG;
    }
    std::size_t outWidth = 0, outHeight = 0;
    std::unique_ptr<uint8_t[]> planes =
        stats_.dataType == TBYTE
            ? decodeMosaic(imageBuffer_.get(), width, height, bayerParams_, outWidth, outHeight)
            : decodeMosaic(reinterpret_cast<const uint16_t*>(imageBuffer_.get()), width, height, bayerParams_,
                           outWidth, outHeight);
    if (!planes) {
        stats_.channels = 1;
        return fail(QString("Could not debayer %1 with filter %2 and method %3")
                        .arg(filename_).arg(bayerParams_.filter).arg(bayerParams_.method));
    }
    imageBuffer_ = std::move(planes);
    roiBuffer_.reset();
    stats_.width = uint16_t(outWidth);
    stats_.height = uint16_t(outHeight);
    stats_.samples_per_channel = uint32_t(outWidth * outHeight);
    stats_.channels = mode_ == FITSMode::Normal || mode_ == FITSMode::Calibrate ? 3 : 1;
    stats_.ndim = 3;
    return true;
}

// The keys go into the records, which saveAs writes; the file the image came
// from is never modified.
void FITSData::injectWCS(double orientation, double ra, double dec, double pixscale, bool eastToTheRight)
{
    const double secPix1 = eastToTheRight ? pixscale : -pixscale;
    double rotation = 360.0 - orientation;
    if (rotation > 360.0)
        rotation -= 360.0;
    const QList<Record> keys = {
        {"OBJCTRA", ra, "Object RA"},          {"OBJCTDEC", dec, "Object DEC"},
        {"EQUINOX", 2000, "Equinox"},          {"CRVAL1", ra, "CRVAL1"},
        {"CRVAL2", dec, "CRVAL2"},             {"RADECSYS", "FK5", "RADECSYS"},
        {"CTYPE1", "RA---TAN", "CTYPE1"},      {"CTYPE2", "DEC--TAN", "CTYPE2"},
        {"CRPIX1", stats_.width * 0.5, "CRPIX1"}, {"CRPIX2", stats_.height * 0.5, "CRPIX2"},
        {"SECPIX1", secPix1, "SECPIX1"},       {"SECPIX2", pixscale, "SECPIX2"},
        {"CDELT1", secPix1 / 3600.0, "CDELT1"}, {"CDELT2", pixscale / 3600.0, "CDELT2"},
        {"CROTA1", rotation, "CROTA1"},        {"CROTA2", rotation, "CROTA2"}};
    for (const Record& key : keys) {
        auto existing = std::find_if(records_.begin(), records_.end(), [&](const Record& r) { return r.key == key.key; });
        if (existing != records_.end())
            *existing = key;
        else
            records_.append(key);
    }
    hasWCS_ = true;
}
