#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include <QByteArray>
#include <QDateTime>
#include <QFuture>
#include <QImage>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QRect>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <opencv2/core.hpp>

#include "fits/FITSHistogram.h"
#include <fitsio.h>
#include <structuredefinitions.h>

// The use a FITSData object serves; FITSData::FITSModeNames holds the names.
enum class FITSMode { Normal = 0, Focus = 1, Guide = 2, Calibrate = 3, Align = 4, Unknown = 5 };
Q_DECLARE_METATYPE(FITSMode)

class LibRaw;

// One astronomical image as a raw pixel buffer with its statistics, in the
// form StellarSolver takes: getStatistics() and getImageBuffer() go to
// StellarSolver::loadNewImageBuffer unchanged.
//
// The buffer holds the channel planes one after another, each row-major with
// row 0 first; its samples have the CFITSIO type named by the statistics
// record's dataType (TBYTE, TSHORT, TUSHORT, TLONG, TULONG, TFLOAT, TLONGLONG
// or TDOUBLE). Statistics are per channel (at most three): minimum, maximum,
// mean, population standard deviation and median, plus SNR = mean[0] /
// stddev[0] for the whole image. Min, max, mean and standard deviation use
// every sample, split into 16 runs per channel on Qt's global thread pool.
// The median is taken from every step-th sample, step = floor(N / 500000 +
// 0.999) above 500000 samples per channel (so at most about half a million
// values are sorted), each converted to a 32-bit signed integer first:
// floating samples truncate toward zero (saturating at the int32 limits)
// and wider integers keep their low 32 bits, so samples 1.9 and 2.9 have
// median 1.5. NaN samples (blank pixels) count in no statistic. A data type outside the eight leaves the statistics as
// reset (min 1e30, max -1e30, median 0).
//
// Files: FITS (the first HDU holding an image of two or more axes, so an
// image in an extension or a tile-compressed ".fz" image is found; CFITSIO
// decompresses tiles as it reads), monolithic XISF, the image formats Qt
// reads, and camera raw files through LibRaw (linear 16-bit, not brightened).
// Sides above 65535 pixels are
// refused. A one-channel FITS mosaic whose header names a Bayer pattern is
// debayered into three planes.
//
// Operations that can fail return false and keep the reason in lastError();
// a failed load may leave the object without an image. The buffers must not
// change while statistics run.
class FITSData : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString filename READ filename)
    Q_PROPERTY(QString extension READ extension)
    Q_PROPERTY(qint64 size READ size)
    Q_PROPERTY(quint16 width READ width)
    Q_PROPERTY(quint16 height READ height)
    Q_PROPERTY(FITSMode mode READ mode WRITE setMode)
    Q_PROPERTY(quint8 channels READ channels)
    Q_PROPERTY(quint8 bpp READ bpp)
    Q_PROPERTY(bool hasWCS READ hasWCS)
    Q_PROPERTY(bool hasDebayer READ hasDebayer)

public:
    // "Normal", "Focus", "Guide", "Calibrate", "Align", "Unknown", indexed by FITSMode.
    static const QStringList FITSModeNames;
    // Suffixes of the camera raw files LibRaw reads.
    static const QStringList RawFormats;

    // One header record. The value is an int, a double or a string, or
    // invalid for COMMENT, HISTORY and blank cards, whose text is the comment.
    struct Record {
        QString key;
        QVariant value;
        QString comment;
    };

    // libdc1394's colour-filter code (512 RGGB, 513 GBRG, 514 GRBG, 515
    // BGGR) and Bayer method (0 nearest ... 7 AHD), and the mosaic's offset
    // in pixels from the pattern's first row and column.
    struct BayerParams {
        uint32_t method = 0;
        uint32_t filter = 512;
        int32_t offsetX = 0;
        int32_t offsetY = 0;
    };

    explicit FITSData(FITSMode mode = FITSMode::Normal, QObject* parent = nullptr);
    // Copies other's mode, statistics record and image buffer, but no ROI;
    // other must not be null.
    explicit FITSData(const QSharedPointer<FITSData>& other);
    ~FITSData() override;

    // Takes a one-channel 8-bit grey copy of the image: colour (3 or 4
    // channels) through OpenCV's BGR-to-grey conversion, other depths through
    // convertTo(CV_8U), which saturates rather than scales. The name only
    // supplies the extension (its lower-cased suffix); nothing is read or
    // written. Records TBYTE, 1 byte per pixel, 1 channel, 2 axes, width,
    // height and size = samples_per_channel = width * height, then computes
    // the statistics. Returns false, changing nothing, for an empty or
    // non-2-D matrix, one wider or taller than 65535 pixels (the record's
    // sizes are 16-bit), 2 or more than 4 channels, or a colour depth other
    // than 8-bit, 16-bit unsigned or float, which OpenCV cannot turn grey.
    bool loadFromMat(const cv::Mat& image, const QString& filename);

    // Loads the file on Qt's global thread pool (privateLoad with no bytes).
    QFuture<bool> loadFromFile(const QString& filename);
    // Loads a whole file held in memory, named filename, in this thread.
    bool loadFromBuffer(const QByteArray& buffer, const QString& filename);
    // Loads the image of filename(): from these bytes when there are any,
    // else from the file. The loader follows the lower-cased complete suffix:
    // "fit"/"fz" FITS, "xisf" XISF, a Qt image format, else camera raw.
    bool privateLoad(const QByteArray& buffer);
    // Whether privateLoad has a loader for the file's suffix.
    static bool isSupportedFile(const QString& filename);
    // The loader privateLoad takes for the file's suffix: "fits", "xisf",
    // "image" (Qt's formats) or "raw" (anything else, for LibRaw to try).
    static QString fileFormat(const QString& filename);

    // Header records in file order (FITS and XISF keywords).
    const QList<Record>& getRecords() const { return records_; }
    // The first record with this key and a valid value.
    bool getRecordValue(const QString& key, QVariant& value) const;
    // Reads the open FITS file's header into records, each card through
    // CFITSIO's own parser, so quoted strings keep "/" and "=".
    bool parseHeader();
    // Reads BAYERPAT, XBAYROFF and YBAYROFF: true for RGGB, GBRG, GRBG or
    // BGGR with offsets of 0 or 1 (a column offset is folded into the
    // pattern). Only 8- and 16-bit unsigned data can be a mosaic.
    bool checkForBayer();
    // Replaces the one-channel mosaic with three planes R, G, B (reload:
    // read the mosaic from the open file first). With a row offset the first
    // row is skipped and the last output row repeats the one above it.
    bool debayer(bool reload);
    BayerParams getBayerParams() const { return bayerParams_; }
    // Off: a FITS mosaic loads as its one raw plane, for a caller that
    // calibrates it before debayering (hasDebayer() still says what it is).
    void setDebayerOnLoad(bool enabled) { debayerOnLoad_ = enabled; }
    void setBayerParams(const BayerParams& params) { bayerParams_ = params; }
    // Writes the world-coordinate keys into the open FITS file.
    void injectWCS(double orientation, double ra, double dec, double pixscale, bool eastToTheRight);
    // Saves by suffix: "jpg"/"png" an 8-bit rendering (mean - sigma ...
    // mean + 3 sigma), "xisf" XISF, anything else FITS with the statistics
    // keys, the header records that still hold and a history line. Written
    // beside the name and renamed into place. False (with the reason) on any
    // failure and for the name the object was loaded from.
    bool saveAs(const QString& newFilename);
    // Converts a Qt-readable image into a new FITS file in the temporary
    // folder, created exclusively under a unique name returned in output.
    static bool ImageToFITS(const QString& filename, const QString& format, QString& output);

    // Bins every channel between its minimum and maximum (on Qt's global
    // pool; see FITSHistogram.h), then emits histogramReady().
    void constructHistogram();
    const FITSHistogram& getHistogram() const { return histogram_; }

    QString lastError() const { return lastError_; }
    int bitpix() const { return bitpix_; }
    bool isCompressed() const { return isCompressed_; }
    bool isTemporary() const { return isTemporary_; }
    QDateTime dateTime() const { return dateTime_; }

    // The buffer itself, still owned by this object; null before a load.
    uint8_t* getImageBuffer() { return imageBuffer_.get(); }
    // Frees the old buffer and takes ownership of one allocated with new[];
    // its layout must match the statistics record (see restoreStatistics).
    void setImageBuffer(uint8_t* buffer);

    const FITSImage::Statistic& getStatistics() const { return stats_; }
    // Copies the whole record out.
    void saveStatistics(FITSImage::Statistic& other) const { other = stats_; }
    // Copies the whole record in, describing the buffer to the statistics,
    // and emits dataChanged().
    void restoreStatistics(const FITSImage::Statistic& other);

    // Recomputes the statistics of the image, or of the ROI copy when roi is
    // true (then without SNR). Does nothing while that buffer is absent.
    // Without refresh, an image from a FITS file takes what its header
    // states (DATAMIN/DATAMAX, MEDIANn, MEANn with STDDEVn, as saveAs
    // writes them) instead of scanning. NaN samples are left out.
    void calculateStats(bool refresh = false, bool roi = false);

    // Channel 0's value for a one-channel image, else the plain average of
    // the three channels; of the ROI record when roi is true.
    double getAverageMean(bool roi = false) const;
    double getAverageMedian(bool roi = false) const;
    double getAverageStdDev(bool roi = false) const;

    QString filename() const { return filename_; }
    QString extension() const { return extension_; }
    qint64 size() const { return stats_.size; }
    quint16 width() const { return stats_.width; }
    quint16 height() const { return stats_.height; }
    FITSMode mode() const { return mode_; }
    void setMode(FITSMode mode) { mode_ = mode; }
    quint8 channels() const { return stats_.channels; }
    quint8 bpp() const { return static_cast<quint8>(stats_.bytesPerPixel); }
    // The header holds CTYPE1 and CRVAL1, or injectWCS wrote them.
    bool hasWCS() const { return hasWCS_; }
    // checkForBayer found a usable pattern.
    bool hasDebayer() const { return hasDebayer_; }

signals:
    void converted(QImage image);
    void histogramReady();
    void dataChanged();

public slots:
    // Copies the rectangle (1-based, inclusive: left ... right, top ...
    // bottom) of every channel into the planar ROI buffer and computes its
    // statistics. The ROI record is a copy of the image's with the
    // rectangle's width, height and sample count. Ignored, keeping the
    // previous ROI, for an empty rectangle, a single pixel, one reaching
    // outside 1 ... width or 1 ... height, or when no image is loaded.
    void makeRoiBuffer(QRect roi);

private:
    struct FitsCloser {
        void operator()(fitsfile* file) const;
    };

    // The pixel layout a loader found, applied to the record by setLayout.
    struct Layout {
        int bitpix;
        int width;
        int height;
        int channels;
        qint64 size;
    };

    // Partial sums of one run of samples.
    struct SumData {
        double sum = 0.0;
        double squaredSum = 0.0;
        double count = 0.0;
    };

    bool fail(const QString& reason);
    void closeFits();
    bool setLayout(const Layout& layout);
    bool loadFits(const QByteArray& buffer);
    bool openFits(const QByteArray& buffer);
    bool moveToFirstImage();
    bool readFitsPixels();
    bool finishFitsLoad();
    bool loadXisf(const QByteArray& buffer);
    bool loadQtImage(const QByteArray& buffer);
    bool declaresLoadableQtImage(const QByteArray& buffer);
    bool loadRaw(const QByteArray& buffer);
    bool declaresLoadableRaw(const LibRaw& raw);
    bool fitsFailed(const QString& what, const QString& path, int status);
    bool saveFits(const QString& newFilename);
    bool saveXisf(const QString& newFilename);
    bool saveRendered(const QString& newFilename, const QString& suffix);
    bool readHeaderMinMax();
    bool readHeaderMedian();
    bool readHeaderMeanStdDev();

    FITSImage::Statistic& record(bool roi) { return roi ? roiStats_ : stats_; }
    const uint8_t* samples(bool roi) const { return roi ? roiBuffer_.get() : imageBuffer_.get(); }
    bool roiFits(const QRect& roi) const;
    void copyRoi(const QRect& roi);

    void calculateMinMax(bool refresh, bool roi);
    void calculateMedian(bool refresh, bool roi);
    template <typename T> void calculateMinMax(bool roi);
    template <typename T> void calculateMedian(bool roi);
    template <typename T> void calculateStdDev(bool roi);
    template <typename T>
    std::pair<T, T> getPartitionMinMax(std::size_t start, std::size_t count, bool roi) const;
    template <typename T>
    static SumData partialSum(std::size_t start, std::size_t count, const uint8_t* buffer);

    // Bytes CFITSIO reads as an in-memory file, with the address and size it
    // was given: it keeps pointers to both and reads through them for as
    // long as the file is open, so all three are declared before fptr_ and
    // outlive it.
    QByteArray memoryFile_;
    void* memoryAddress_ = nullptr;
    std::size_t memorySize_ = 0;
    std::unique_ptr<fitsfile, FitsCloser> fptr_;
    qint64 fileSize_ = 0;  // of the open FITS file as given, before any padding
    bool isTemporary_ = false;
    bool isCompressed_ = false;
    bool hasWCS_ = false;
    bool hasDebayer_ = false;
    bool debayerOnLoad_ = true;
    BayerParams bayerParams_;
    int bitpix_ = 20;
    QList<Record> records_;
    FITSHistogram histogram_;
    QString lastError_;
    QDateTime dateTime_;
    QString filename_;
    QString extension_;
    FITSMode mode_ = FITSMode::Normal;
    std::unique_ptr<uint8_t[]> imageBuffer_;
    std::unique_ptr<uint8_t[]> roiBuffer_;
    FITSImage::Statistic stats_;
    FITSImage::Statistic roiStats_;
};
