#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QThreadPool>
#include <QtConcurrent>

#include <libraw/libraw.h>

#include "fits/FITSData.h"
#include "core/ImageLimits.h"
#include "fits/SampleTypes.h"
#include "fits/XisfFile.h"

const QStringList FITSData::RawFormats = {"cr2", "cr3", "crw", "nef", "raf", "dng", "arw", "orf"};

namespace {

// FITS files are made of records of this many bytes.
constexpr int kFitsRecord = 2880;

// The record's sides are 16-bit: the readers' limit fits them.
static_assert(kLargestSide <= std::numeric_limits<uint16_t>::max());

struct SampleType {
    int dataType;
    int bitpix;
    int bytes;
};

// The type the samples are read in, from CFITSIO's equivalent BITPIX, which
// folds in BZERO and BSCALE: 16-bit data with BZERO 32768 is unsigned,
// without it signed (negative values must survive), and scaled integers
// that are no longer whole numbers arrive as floating point.
bool sampleTypeOf(int equivalentBitpix, SampleType& type)
{
    switch (equivalentBitpix) {
    case BYTE_IMG: type = {TBYTE, BYTE_IMG, 1}; return true;
    case SBYTE_IMG:
    case SHORT_IMG: type = {TSHORT, SHORT_IMG, 2}; return true;
    case USHORT_IMG: type = {TUSHORT, USHORT_IMG, 2}; return true;
    case LONG_IMG: type = {TLONG, LONG_IMG, 4}; return true;
    case ULONG_IMG: type = {TULONG, ULONG_IMG, 4}; return true;
    case LONGLONG_IMG: type = {TLONGLONG, LONGLONG_IMG, 8}; return true;
    case FLOAT_IMG: type = {TFLOAT, FLOAT_IMG, 4}; return true;
    case DOUBLE_IMG:
    case ULONGLONG_IMG: type = {TDOUBLE, DOUBLE_IMG, 8}; return true;
    default: return false;
    }
}

QString fitsStatusText(int status)
{
    char text[FLEN_STATUS] = "";
    fits_get_errstatus(status, text);
    fits_clear_errmsg();
    return QString::fromLatin1(text);
}

QString suffixOf(const QString& filename) { return QFileInfo(filename).suffix().toLower(); }

bool isQtImageFormat(const QString& suffix)
{
    return QImageReader::supportedImageFormats().contains(suffix.toLatin1());
}

bool isFitsSuffix(const QString& suffix)
{
    return suffix.contains("fit") || suffix.contains("fz") || suffix == "fts";
}

// Splits width x height interleaved samples of `channels` into planes.
template <typename T>
void splitIntoPlanes(const T* interleaved, std::size_t pixels, int channels, uint8_t* planes)
{
    T* out = reinterpret_cast<T*>(planes);
    for (std::size_t i = 0; i < pixels; ++i)
        for (int c = 0; c < channels; ++c)
            out[std::size_t(c) * pixels + i] = interleaved[i * std::size_t(channels) + std::size_t(c)];
}

struct ProcessedImageFree {
    void operator()(libraw_processed_image_t* image) const { LibRaw::dcraw_clear_mem(image); }
};

} // namespace

QFuture<bool> FITSData::loadFromFile(const QString& filename)
{
    closeFits();
    filename_ = filename;
    extension_ = suffixOf(filename);
    return QtConcurrent::run(QThreadPool::globalInstance(), [this] { return privateLoad(QByteArray()); });
}

bool FITSData::loadFromBuffer(const QByteArray& buffer, const QString& filename)
{
    closeFits();
    filename_ = filename;
    return privateLoad(buffer);
}

bool FITSData::isSupportedFile(const QString& filename)
{
    return fileFormat(filename) != "raw" || RawFormats.contains(suffixOf(filename));
}

QString FITSData::fileFormat(const QString& filename)
{
    const QString suffix = suffixOf(filename);
    if (isFitsSuffix(suffix))
        return "fits";
    if (suffix.contains("xisf"))
        return "xisf";
    return isQtImageFormat(suffix) ? "image" : "raw";
}

bool FITSData::privateLoad(const QByteArray& buffer)
{
    isTemporary_ = filename_.startsWith("/tmp");
    isCompressed_ = false;
    hasDebayer_ = false;
    hasWCS_ = false;
    records_.clear();
    lastError_.clear();
    extension_ = suffixOf(filename_);
    const QString format = fileFormat(filename_);
    if (format == "fits")
        return loadFits(buffer);
    if (format == "xisf")
        return loadXisf(buffer);
    if (format == "image")
        return loadQtImage(buffer);
    return loadRaw(buffer);
}

bool FITSData::fitsFailed(const QString& what, const QString& path, int status)
{
    return fail(what + ": " + path + " (" + fitsStatusText(status) + ")");
}

// Checks the layout and makes it the record's, with a buffer of its size;
// the loader then fills the buffer.
bool FITSData::setLayout(const Layout& layout)
{
    if (layout.width <= 0 || layout.height <= 0)
        return fail(QString("Empty image (%1 x %2): %3").arg(layout.width).arg(layout.height).arg(filename_));
    if (layout.width > kLargestSide || layout.height > kLargestSide)
        return fail(QString("Image of %1 x %2 pixels is larger than %3 on a side: %4")
                        .arg(layout.width).arg(layout.height).arg(kLargestSide).arg(filename_));
    if (layout.channels != 1 && layout.channels != 3)
        return fail(QString("Images need 1 or 3 channels, found %1: %2").arg(layout.channels).arg(filename_));
    SampleType type{};
    if (!sampleTypeOf(layout.bitpix, type))
        return fail(QString("Unsupported BITPIX %1: %2").arg(layout.bitpix).arg(filename_));
    const qint64 samples = qint64(layout.width) * layout.height * layout.channels;
    if (samples > kLargestSampleCount)
        return fail(QString("Image of %1 samples is too large to load: %2").arg(samples).arg(filename_));

    stats_ = FITSImage::Statistic();
    stats_.dataType = uint32_t(type.dataType);
    stats_.bytesPerPixel = type.bytes;
    stats_.ndim = layout.channels == 1 ? 2 : 3;
    stats_.width = uint16_t(layout.width);
    stats_.height = uint16_t(layout.height);
    stats_.channels = uint8_t(layout.channels);
    stats_.samples_per_channel = uint32_t(layout.width) * uint32_t(layout.height);
    stats_.size = layout.size;
    bitpix_ = type.bitpix;
    roiBuffer_.reset();
    imageBuffer_ = std::make_unique<uint8_t[]>(std::size_t(samples) * std::size_t(type.bytes));
    return true;
}

bool FITSData::openFits(const QByteArray& buffer)
{
    fitsfile* file = nullptr;
    int status = 0;
    if (buffer.isEmpty()) {
        if (fits_open_diskfile(&file, filename_.toLocal8Bit().constData(), READONLY, &status) != 0)
            return fitsFailed("Could not open FITS file", filename_, status);
    } else {
        // CFITSIO reads the bytes in place, a whole 2880-byte record at a
        // time even past their end, so they are kept padded to whole records
        // for as long as the file is open.
        memoryFile_ = buffer;
        memoryFile_.append(QByteArray(int((kFitsRecord - buffer.size() % kFitsRecord) % kFitsRecord), '\0'));
        memoryAddress_ = memoryFile_.data();
        memorySize_ = std::size_t(memoryFile_.size());
        if (fits_open_memfile(&file, filename_.toLocal8Bit().constData(), READONLY, &memoryAddress_, &memorySize_,
                              0, nullptr, &status) != 0)
            return fitsFailed("Could not open FITS file", filename_, status);
    }
    fptr_.reset(file);
    fileSize_ = buffer.isEmpty() ? qint64(file->Fptr->filesize) : qint64(buffer.size());
    return true;
}

// The first HDU holding an image of two or more axes: many cameras,
// observatories and fpack write an empty primary HDU and the image after it.
bool FITSData::moveToFirstImage()
{
    int count = 0;
    int status = 0;
    if (fits_get_num_hdus(fptr_.get(), &count, &status) != 0)
        return fitsFailed("Could not read FITS file", filename_, status);
    for (int hdu = 1; hdu <= count; ++hdu) {
        int type = 0;
        int axes = 0;
        status = 0;
        if (fits_movabs_hdu(fptr_.get(), hdu, &type, &status) != 0)
            return fitsFailed("Could not read FITS file", filename_, status);
        if (type == IMAGE_HDU && fits_get_img_dim(fptr_.get(), &axes, &status) == 0 && axes >= 2)
            return true;
    }
    return fail("No image of two or more axes in FITS file: " + filename_);
}

bool FITSData::readFitsPixels()
{
    int equivalentBitpix = 0;
    int axes = 0;
    LONGLONG lengths[4] = {0, 0, 1, 1};
    int status = 0;
    if (fits_get_img_equivtype(fptr_.get(), &equivalentBitpix, &status) != 0 ||
        fits_get_img_paramll(fptr_.get(), 4, nullptr, &axes, lengths, &status) != 0)
        return fitsFailed("Could not read FITS image parameters", filename_, status);
    if (axes > 3 || lengths[0] > kLargestSide || lengths[1] > kLargestSide || lengths[2] > 3)
        return fail(QString("Unsupported FITS image of %1 axes (%2 x %3 x %4): %5")
                        .arg(axes).arg(lengths[0]).arg(lengths[1]).arg(lengths[2]).arg(filename_));
    isCompressed_ = fits_is_compressed_image(fptr_.get(), &status) != 0;
    if (!isCompressed_) {
        // A header may claim far more data than the file holds; checked
        // before the claimed size is allocated.
        LONGLONG headerStart = 0, dataStart = 0, dataEnd = 0;
        fits_get_hduaddrll(fptr_.get(), &headerStart, &dataStart, &dataEnd, &status);
        if (status != 0 || dataEnd > fileSize_) {
            imageBuffer_.reset();
            return fail("FITS data shorter than its header states: " + filename_);
        }
    }
    if (!setLayout({equivalentBitpix, int(lengths[0]), int(lengths[1]), int(lengths[2]), fileSize_}))
        return false;
    const LONGLONG samples = LONGLONG(stats_.samples_per_channel) * stats_.channels;
    int anyNull = 0;
    if (fits_read_img(fptr_.get(), cfitsioIoType(int(stats_.dataType)), 1, samples, nullptr, imageBuffer_.get(),
                      &anyNull, &status) != 0) {
        imageBuffer_.reset();
        return fitsFailed("Could not read FITS image data", filename_, status);
    }
    return true;
}

bool FITSData::loadFits(const QByteArray& buffer)
{
    closeFits();
    if (!openFits(buffer) || !moveToFirstImage() || !readFitsPixels())
        return false;
    return finishFitsLoad();
}

bool FITSData::finishFitsLoad()
{
    if (!parseHeader())
        return false;
    QVariant date;
    if (getRecordValue("DATE-OBS", date)) {
        dateTime_ = QDateTime::fromString(date.toString(), Qt::ISODateWithMs);
        if (!dateTime_.isValid())
            dateTime_ = QDateTime::fromString(date.toString(), Qt::ISODate);
    }
    QVariant ignored;
    hasWCS_ = getRecordValue("CTYPE1", ignored) && getRecordValue("CRVAL1", ignored);
    // A mosaic that cannot be decoded is kept as it is, with the reason.
    if (stats_.channels == 1 && checkForBayer() && debayerOnLoad_)
        debayer(false);
    calculateStats();
    return true;
}

bool FITSData::loadXisf(const QByteArray& buffer)
{
    closeFits();
    XisfImage image;
    try {
        image = buffer.isEmpty() ? readXisfFile(filename_) : readXisf(buffer, filename_);
    } catch (const std::exception& e) {
        return fail(QString::fromStdString(e.what()));
    }
    static const int bitpixOf[] = {BYTE_IMG, USHORT_IMG, ULONG_IMG, FLOAT_IMG};
    if (!setLayout({bitpixOf[int(image.sampleFormat)], image.width, image.height, image.channels,
                    qint64(buffer.size())}))
        return false;
    std::memcpy(imageBuffer_.get(), image.pixels.constData(), std::size_t(image.pixels.size()));
    for (const XisfKeyword& keyword : image.keywords) {
        bool isNumber = false;
        // XISF keeps a FITS keyword's value as the card wrote it: strings quoted.
        QString text = keyword.value.trimmed();
        if (text.size() >= 2 && text.startsWith('\'') && text.endsWith('\''))
            text = text.mid(1, text.size() - 2).replace("''", "'").trimmed();
        const double number = text.toDouble(&isNumber);
        const QVariant value = isNumber ? QVariant(number) : text.isEmpty() ? QVariant() : QVariant(text);
        records_.append({keyword.name, value, keyword.comment});
        if (keyword.name == "DATE-OBS")
            dateTime_ = QDateTime::fromString(text, Qt::ISODateWithMs);
    }
    calculateStats();
    return true;
}

// Qt decodes a whole image before its size can be checked; its header is
// read first. Any image may be converted to colour, so three samples a pixel.
bool FITSData::declaresLoadableQtImage(const QByteArray& buffer)
{
    QBuffer device;
    device.setData(buffer);
    QImageReader reader;
    if (buffer.isEmpty())
        reader.setFileName(filename_);
    else
        reader.setDevice(&device);
    const QSize size = reader.size();
    if (!size.isValid() || isLoadableSize(size.width(), size.height(), 3))
        return true;
    return fail(QString("Image of %1 x %2 pixels is too large to load: %3")
                    .arg(size.width()).arg(size.height()).arg(filename_));
}

// Grey images load as one channel and colour as three planes R, G, B; 16-bit
// PNG and TIFF keep their 16 bits. Every image is converted to one of four
// formats first and copied row by row, since rows of a QImage are padded.
bool FITSData::loadQtImage(const QByteArray& buffer)
{
    closeFits();
    if (!declaresLoadableQtImage(buffer))
        return false;
    QImage image;
    const bool loaded = buffer.isEmpty() ? image.load(filename_) : image.loadFromData(buffer);
    if (!loaded || image.isNull())
        return fail("Could not read image file: " + filename_);
    const bool grey16 = image.format() == QImage::Format_Grayscale16;
    const bool deep = image.depth() > 32 || grey16;
    const bool grey = image.isGrayscale() || grey16;
    const QImage::Format format = grey ? (deep ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8)
                                       : (deep ? QImage::Format_RGBA64 : QImage::Format_RGB32);
    image = image.convertToFormat(format);
    const qint64 size = buffer.isEmpty() ? QFileInfo(filename_).size() : buffer.size();
    if (!setLayout({deep ? USHORT_IMG : BYTE_IMG, image.width(), image.height(), grey ? 1 : 3, size}))
        return false;
    const std::size_t width = std::size_t(image.width());
    const std::size_t pixels = stats_.samples_per_channel;
    for (int y = 0; y < image.height(); ++y) {
        const std::size_t row = std::size_t(y) * width;
        if (grey) {
            std::memcpy(imageBuffer_.get() + row * std::size_t(stats_.bytesPerPixel), image.constScanLine(y),
                        width * std::size_t(stats_.bytesPerPixel));
        } else if (deep) {
            const auto* line = reinterpret_cast<const QRgba64*>(image.constScanLine(y));
            auto* planes = reinterpret_cast<uint16_t*>(imageBuffer_.get());
            for (std::size_t x = 0; x < width; ++x) {
                planes[row + x] = line[x].red();
                planes[pixels + row + x] = line[x].green();
                planes[2 * pixels + row + x] = line[x].blue();
            }
        } else {
            const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (std::size_t x = 0; x < width; ++x) {
                imageBuffer_[row + x] = uint8_t(qRed(line[x]));
                imageBuffer_[pixels + row + x] = uint8_t(qGreen(line[x]));
                imageBuffer_[2 * pixels + row + x] = uint8_t(qBlue(line[x]));
            }
        }
    }
    calculateStats();
    return true;
}

// The size a camera raw file declares, checked before LibRaw unpacks it: the
// sensor's mosaic and the colour image made from it.
bool FITSData::declaresLoadableRaw(const LibRaw& raw)
{
    const libraw_image_sizes_t& sizes = raw.imgdata.sizes;
    if (isLoadableSize(sizes.raw_width, sizes.raw_height, 1) && isLoadableSize(sizes.width, sizes.height, 3))
        return true;
    return fail(QString("Camera raw file of %1 x %2 pixels is too large to load: %3")
                    .arg(sizes.raw_width).arg(sizes.raw_height).arg(filename_));
}

bool FITSData::loadRaw(const QByteArray& buffer)
{
    closeFits();
    auto raw = std::make_unique<LibRaw>();
    QByteArray bytes = buffer;
    int result = bytes.isEmpty() ? raw->open_file(filename_.toLocal8Bit().constData())
                                 : raw->open_buffer(bytes.data(), std::size_t(bytes.size()));
    // Linear 16-bit output without automatic brightening: the sensor's
    // counts on their own scale, as a camera's FITS frame would hold them.
    raw->imgdata.params.output_bps = 16;
    raw->imgdata.params.gamm[0] = 1.0;
    raw->imgdata.params.gamm[1] = 1.0;
    raw->imgdata.params.no_auto_bright = 1;
    if (result == LIBRAW_SUCCESS && !declaresLoadableRaw(*raw))
        return false;
    if (result == LIBRAW_SUCCESS)
        result = raw->unpack();
    if (result == LIBRAW_SUCCESS)
        result = raw->dcraw_process();
    if (result != LIBRAW_SUCCESS)
        return fail("Could not read camera raw file: " + filename_ + " (" + libraw_strerror(result) + ")");
    int error = 0;
    const std::unique_ptr<libraw_processed_image_t, ProcessedImageFree> image(raw->dcraw_make_mem_image(&error));
    if (!image || image->type != LIBRAW_IMAGE_BITMAP || (image->colors != 1 && image->colors != 3))
        return fail("Could not decode camera raw file: " + filename_);
    const qint64 size = buffer.isEmpty() ? QFileInfo(filename_).size() : buffer.size();
    if (!setLayout({image->bits == 8 ? BYTE_IMG : USHORT_IMG, image->width, image->height, image->colors, size}))
        return false;
    const std::size_t pixels = stats_.samples_per_channel;
    if (image->bits == 8)
        splitIntoPlanes(image->data, pixels, image->colors, imageBuffer_.get());
    else
        splitIntoPlanes(reinterpret_cast<const uint16_t*>(image->data), pixels, image->colors, imageBuffer_.get());
    calculateStats();
    return true;
}
