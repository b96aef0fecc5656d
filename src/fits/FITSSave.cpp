#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QSaveFile>
#include <QTemporaryFile>

#include "fits/FITSData.h"
#include "fits/SampleTypes.h"
#include "fits/XisfFile.h"

namespace {

// Keys that describe the data layout or that saveAs writes itself: copying
// them from another file could rescale or misdescribe the data written.
bool isRewrittenKey(const QString& key)
{
    static const QStringList exact = {"SIMPLE", "BITPIX", "EXTEND", "BZERO", "BSCALE", "BLANK", "PCOUNT", "GCOUNT",
                                      "XTENSION", "END", "DATE", "DATAMIN", "DATAMAX", "CHECKSUM", "DATASUM",
                                      "TFIELDS", "THEAP"};
    static const QStringList prefixes = {"NAXIS", "MIN", "MAX", "MEAN", "MEDIAN", "STDDEV", "ZIMAGE", "ZBITPIX",
                                         "ZNAXIS", "ZTILE", "ZCMPTYPE", "ZNAME", "ZVAL", "ZQUANTIZ", "ZDITHER",
                                         "ZSIMPLE", "ZEXTEND", "ZBLOCKED", "ZTENSION", "ZPCOUNT", "ZGCOUNT",
                                         "ZHECKSUM", "ZDATASUM", "TTYPE", "TFORM", "TUNIT"};
    if (exact.contains(key))
        return true;
    return std::any_of(prefixes.begin(), prefixes.end(), [&](const QString& p) {
        return key.startsWith(p) && (key.size() == p.size() || key.at(p.size()).isDigit() || p.startsWith('Z'));
    });
}

// As a FITS card writes it, which is how XISF keeps keyword values: strings
// quoted, a quote inside doubled.
QString xisfValue(const QVariant& value)
{
    if (value.type() == QVariant::String)
        return "'" + value.toString().replace("'", "''") + "'";
    return value.isValid() ? value.toString() : QString();
}

bool isBayerKey(const QString& key) { return key == "BAYERPAT" || key == "XBAYROFF" || key == "YBAYROFF"; }

// A FITS file built in memory by CFITSIO; the bytes are ours once it is closed.
class FitsInMemory {
public:
    FitsInMemory()
    {
        int status = 0;
        if (fits_create_memfile(&file_, &memory_, &size_, 2880 * 16, std::realloc, &status) != 0)
            file_ = nullptr;
    }
    ~FitsInMemory()
    {
        if (file_) {
            int status = 0;
            fits_close_file(file_, &status);
        }
        std::free(memory_);
    }
    FitsInMemory(const FitsInMemory&) = delete;
    FitsInMemory& operator=(const FitsInMemory&) = delete;

    fitsfile* file() const { return file_; }
    // Closes the file, which flushes it into memory; false on a write failure.
    bool close(int& status)
    {
        fits_close_file(file_, &status);
        file_ = nullptr;
        return status == 0;
    }
    QByteArray bytes() const { return QByteArray(static_cast<const char*>(memory_), int(size_)); }

private:
    fitsfile* file_ = nullptr;
    void* memory_ = nullptr;
    std::size_t size_ = 0;
};

// Replaces path with the bytes as one step: a failed write leaves an
// earlier file whole.
bool writeWhole(const QString& path, const QByteArray& bytes, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        error = "Could not write " + path + " (" + file.errorString() + ")";
        return false;
    }
    return true;
}

// Every sample spread from mean - sigma ... mean + 3 sigma of channel 0
// (within the type's range) over 0 ... 255; NaN is black. A flat image is
// white.
template <typename T>
std::vector<uint8_t> renderedLevels(const uint8_t* buffer, std::size_t count, const FITSImage::Statistic& stats)
{
    double low = stats.mean[0] - stats.stddev[0];
    const double high = std::min(stats.mean[0] + 3.0 * stats.stddev[0], double(std::numeric_limits<T>::max()));
    if (std::is_unsigned_v<T>)
        low = std::max(low, 0.0);
    if (stats.max[0] == stats.min[0] || !(high > low))
        return std::vector<uint8_t>(count, 255);
    const T* samples = reinterpret_cast<const T*>(buffer);
    std::vector<uint8_t> levels(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double v = std::clamp(double(samples[i]), low, high);
        levels[i] = std::isnan(v) ? 0 : uint8_t((v - low) * 255.0 / (high - low));
    }
    return levels;
}

void writeRecord(fitsfile* file, const FITSData::Record& record, int& status)
{
    QByteArray key = record.key.toLatin1();
    QByteArray comment = record.comment.toLatin1();
    if (record.key == "HISTORY") {
        fits_write_history(file, comment.constData(), &status);
    } else if (record.key == "COMMENT" || record.key.isEmpty()) {
        fits_write_comment(file, comment.constData(), &status);
    } else if (record.value.type() == QVariant::Int) {
        fits_write_key_lng(file, key.constData(), record.value.toInt(), comment.constData(), &status);
    } else if (record.value.type() == QVariant::Double) {
        fits_write_key_dbl(file, key.constData(), record.value.toDouble(), -15, comment.constData(), &status);
    } else if (record.value.isValid()) {
        QByteArray text = record.value.toString().left(255).toLatin1();
        fits_write_key_longstr(file, key.constData(), text.constData(), comment.constData(), &status);
    }
}

} // namespace

bool FITSData::saveAs(const QString& newFilename)
{
    if (!imageBuffer_)
        return fail("No image to save as " + newFilename);
    if (QFileInfo(newFilename).absoluteFilePath() == QFileInfo(filename_).absoluteFilePath())
        return fail("Will not save over the file the image was loaded from: " + newFilename);
    const QString suffix = QFileInfo(newFilename).suffix().toLower();
    bool saved;
    if (suffix == "jpg" || suffix == "jpeg" || suffix == "png")
        saved = saveRendered(newFilename, suffix);
    else if (suffix == "xisf")
        saved = saveXisf(newFilename);
    else
        saved = saveFits(newFilename);
    if (saved)
        filename_ = newFilename;
    return saved;
}

// Mean - sigma ... mean + 3 sigma of channel 0 spread over 0 ... 255; a
// flat image is white.
bool FITSData::saveRendered(const QString& newFilename, const QString& suffix)
{
    const int width = stats_.width, height = stats_.height;
    const bool colour = stats_.channels == 3;
    QImage image(width, height, colour ? QImage::Format_RGB32 : QImage::Format_Indexed8);
    if (!colour) {
        image.setColorCount(256);
        for (int i = 0; i < 256; ++i)
            image.setColor(i, qRgb(i, i, i));
    }
    const std::size_t pixels = stats_.samples_per_channel;
    std::vector<uint8_t> levels;
    forDataType(int(stats_.dataType), [&](auto tag) {
        levels = renderedLevels<decltype(tag)>(imageBuffer_.get(), pixels * (colour ? 3 : 1), stats_);
    });
    for (int y = 0; y < height; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const std::size_t i = std::size_t(y) * std::size_t(width) + std::size_t(x);
            if (colour)
                reinterpret_cast<QRgb*>(line)[x] = qRgb(levels[i], levels[pixels + i], levels[2 * pixels + i]);
            else
                line[x] = levels[i];
        }
    }
    QSaveFile file(newFilename);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, suffix.toLatin1().constData(), -1) || !file.commit())
        return fail("Could not write " + newFilename + " (" + file.errorString() + ")");
    return true;
}

bool FITSData::saveXisf(const QString& newFilename)
{
    XisfImage image;
    switch (bitpix_) {
    case BYTE_IMG: image.sampleFormat = XisfSampleFormat::UInt8; break;
    case USHORT_IMG: image.sampleFormat = XisfSampleFormat::UInt16; break;
    case ULONG_IMG: image.sampleFormat = XisfSampleFormat::UInt32; break;
    case FLOAT_IMG: image.sampleFormat = XisfSampleFormat::Float32; break;
    default: return fail(QString("XISF cannot hold BITPIX %1 data: %2").arg(bitpix_).arg(newFilename));
    }
    image.width = stats_.width;
    image.height = stats_.height;
    image.channels = stats_.channels;
    image.rgb = stats_.channels > 1;
    const std::size_t bytes = std::size_t(stats_.channels) * stats_.samples_per_channel * std::size_t(stats_.bytesPerPixel);
    image.pixels = QByteArray(reinterpret_cast<const char*>(imageBuffer_.get()), int(bytes));
    for (const Record& record : records_)
        if (!isRewrittenKey(record.key) && !(image.rgb && isBayerKey(record.key)))
            image.keywords.append({record.key, xisfValue(record.value), record.comment});
    try {
        writeXisfFile(newFilename, image);
    } catch (const std::exception& e) {
        return fail(QString::fromStdString(e.what()));
    }
    return true;
}

// The statistics keys, the records that still describe the image (layout
// keys are written anew, a debayered image is no longer a mosaic), DATE and
// a history line, then the pixels. Built in memory and written as one step.
bool FITSData::saveFits(const QString& newFilename)
{
    FitsInMemory fits;
    if (!fits.file())
        return fail("Could not create FITS data in memory for " + newFilename);
    fitsfile* file = fits.file();
    const int channels = stats_.channels;
    LONGLONG axes[3] = {stats_.width, stats_.height, channels};
    int status = 0;
    fits_create_imgll(file, bitpix_, channels == 1 ? 2 : 3, axes, &status);
    fits_update_key_dbl(file, "DATAMIN", stats_.min[0], -15, "Minimum value", &status);
    fits_update_key_dbl(file, "DATAMAX", stats_.max[0], -15, "Maximum value", &status);
    const struct {
        const char* key;
        const double* values;
        const char* comment;
    } statistics[] = {{"MIN", stats_.min, "Min Channel "},        {"MAX", stats_.max, "Max Channel "},
                      {"MEAN", stats_.mean, "Mean Channel "},     {"MEDIAN", stats_.median, "Median Channel "},
                      {"STDDEV", stats_.stddev, "Standard Deviation Channel "}};
    for (const auto& s : statistics)
        for (int c = 0; c < std::min(channels, 3); ++c) {
            const QByteArray key = QByteArray(s.key) + QByteArray::number(c + 1);
            const QByteArray comment = QByteArray(s.comment) + QByteArray::number(c + 1);
            fits_write_key_dbl(file, key.constData(), s.values[c], -15, comment.constData(), &status);
        }
    for (const Record& record : records_)
        if (!isRewrittenKey(record.key) && !(channels == 3 && isBayerKey(record.key)))
            writeRecord(file, record, status);
    fits_write_date(file, &status);
    const QByteArray history =
        "Modified by Pelorum on " + QDateTime::currentDateTime().toString("yyyy-MM-ddThh:mm:ss").toLatin1();
    fits_write_history(file, history.constData(), &status);
    fits_write_img(file, cfitsioIoType(int(stats_.dataType)), 1, LONGLONG(stats_.samples_per_channel) * channels, imageBuffer_.get(),
                   &status);
    if (status != 0 || !fits.close(status))
        return fitsFailed("Could not write FITS file", newFilename, status);
    return writeWhole(newFilename, fits.bytes(), lastError_);
}

bool FITSData::ImageToFITS(const QString& filename, const QString& format, QString& output)
{
    QImage image;
    if (!image.load(filename, format.toLatin1().constData()))
        return false;
    const bool grey = image.allGray();
    image = image.convertToFormat(grey ? QImage::Format_Grayscale8 : QImage::Format_RGB32);
    const std::size_t width = std::size_t(image.width()), pixels = width * std::size_t(image.height());
    std::vector<uint8_t> planes(pixels * (grey ? 1 : 3));
    for (int y = 0; y < image.height(); ++y)
        for (std::size_t x = 0; x < width; ++x) {
            const std::size_t i = std::size_t(y) * width + x;
            if (grey) {
                planes[i] = image.constScanLine(y)[x];
            } else {
                const QRgb pixel = reinterpret_cast<const QRgb*>(image.constScanLine(y))[x];
                planes[i] = uint8_t(qRed(pixel));
                planes[pixels + i] = uint8_t(qGreen(pixel));
                planes[2 * pixels + i] = uint8_t(qBlue(pixel));
            }
        }
    FitsInMemory fits;
    LONGLONG axes[3] = {image.width(), image.height(), 3};
    int status = fits.file() ? 0 : MEMORY_ALLOCATION;
    fits_create_imgll(fits.file(), BYTE_IMG, grey ? 2 : 3, axes, &status);
    fits_write_key_lng(fits.file(), "EXPOSURE", 1, "Total Exposure Time", &status);
    fits_write_img(fits.file(), TBYTE, 1, LONGLONG(planes.size()), planes.data(), &status);
    if (status != 0 || !fits.close(status))
        return false;
    // A unique name, created only if nothing is there: no other file can be
    // planted in its place or overwritten.
    QTemporaryFile file(QDir(QDir::tempPath()).filePath(QFileInfo(filename).completeBaseName() + "_XXXXXX.fits"));
    file.setAutoRemove(false);
    const QByteArray bytes = fits.bytes();
    if (!file.open() || file.write(bytes) != bytes.size() || !file.flush()) {
        file.remove();
        return false;
    }
    output = file.fileName();
    return true;
}
