#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include <QImage>
#include <QMetaType>
#include <QObject>
#include <QRect>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>
#include <structuredefinitions.h>

// The use a FITSData object serves; FITSData::FITSModeNames holds the names.
enum class FITSMode { Normal = 0, Focus = 1, Guide = 2, Calibrate = 3, Align = 4, Unknown = 5 };
Q_DECLARE_METATYPE(FITSMode)

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
// floating samples truncate toward zero (saturating at the int32 limits, NaN
// gives 0) and wider integers keep their low 32 bits, so samples 1.9 and 2.9
// have median 1.5. A data type outside the eight leaves the statistics as
// reset (min 1e30, max -1e30, median 0).
//
// Operations that can fail return false and leave the object unchanged. The
// buffers must not change while statistics run.
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

    explicit FITSData(FITSMode mode = FITSMode::Normal, QObject* parent = nullptr);
    // Copies other's mode, statistics record and image buffer, but no ROI;
    // other must not be null.
    explicit FITSData(const QSharedPointer<FITSData>& other);
    ~FITSData() override = default;

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
    void calculateStats(bool roi = false);

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
    // A matrix carries no world coordinates and is never a colour mosaic.
    bool hasWCS() const { return false; }
    bool hasDebayer() const { return false; }

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
    // Partial sums of one run of samples.
    struct SumData {
        double sum = 0.0;
        double squaredSum = 0.0;
        double count = 0.0;
    };

    FITSImage::Statistic& record(bool roi) { return roi ? roiStats_ : stats_; }
    const uint8_t* samples(bool roi) const { return roi ? roiBuffer_.get() : imageBuffer_.get(); }
    bool roiFits(const QRect& roi) const;
    void copyRoi(const QRect& roi);

    void calculateMinMax(bool roi);
    void calculateMedian(bool roi);
    template <typename T> void calculateMinMax(bool roi);
    template <typename T> void calculateMedian(bool roi);
    template <typename T> void calculateStdDev(bool roi);
    template <typename T>
    std::pair<T, T> getPartitionMinMax(std::size_t start, std::size_t count, bool roi) const;
    template <typename T>
    static SumData partialSum(std::size_t start, std::size_t count, const uint8_t* buffer);

    QString filename_;
    QString extension_;
    FITSMode mode_ = FITSMode::Normal;
    std::unique_ptr<uint8_t[]> imageBuffer_;
    std::unique_ptr<uint8_t[]> roiBuffer_;
    FITSImage::Statistic stats_;
    FITSImage::Statistic roiStats_;
};
