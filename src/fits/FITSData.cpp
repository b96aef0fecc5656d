#include "fits/FITSData.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include <QFileInfo>
#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent>

#include <fitsio.h>
#include <opencv2/imgproc.hpp>

#include "fits/SampleTypes.h"
#include "fits/gslhelpers/GSLHelpers.h"

const QStringList FITSData::FITSModeNames = {"Normal", "Focus", "Guide", "Calibrate", "Align", "Unknown"};

namespace {

// Registered at start-up so the name resolves, and queued connections carry
// the type, before the first object exists.
[[maybe_unused]] const int fitsModeMetaType = qRegisterMetaType<FITSMode>("FITSMode");

// Each channel is scanned as this many runs on the thread pool.
constexpr std::size_t kPartitions = 16;
// The median sorts a copy of about this many samples per channel at most.
constexpr double kMedianSamples = 500000.0;
// The statistics record has room for three channels.
constexpr int kRecordChannels = 3;

int recordChannels(const FITSImage::Statistic& record)
{
    return std::min<int>(record.channels, kRecordChannels);
}

// Matrices loadFromMat takes: 2-D, not empty, within the record's 16-bit
// sizes, and grey or a colour layout OpenCV's BGR-to-grey conversion accepts.
bool isLoadable(const cv::Mat& image)
{
    const int limit = std::numeric_limits<uint16_t>::max();
    if (image.dims != 2 || image.empty() || image.cols > limit || image.rows > limit)
        return false;
    const int depth = image.depth();
    const bool colourDepth = depth == CV_8U || depth == CV_16U || depth == CV_32F;
    return image.channels() == 1 || ((image.channels() == 3 || image.channels() == 4) && colourDepth);
}

cv::Mat toGrey8(const cv::Mat& image)
{
    cv::Mat grey;
    if (image.channels() > 1)
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    else
        grey = image.clone();
    if (grey.type() != CV_8UC1)
        grey.convertTo(grey, CV_8U);
    return grey;
}

// Runs task(start, count) for the 16 runs of the channel starting at
// channelStart with n samples on the global pool and returns the results in
// run order: 15 runs of floor(n / 16) samples, the last one the rest, so a
// channel of fewer than 16 samples lies wholly in the last run.
template <typename Task>
auto runOverPartitions(std::size_t channelStart, std::size_t n, const Task& task)
{
    using Result = decltype(task(std::size_t{}, std::size_t{}));
    const std::size_t part = n / kPartitions;
    std::array<QFuture<Result>, kPartitions> futures;
    for (std::size_t k = 0; k < kPartitions; ++k) {
        const std::size_t start = channelStart + k * part;
        const std::size_t count = k + 1 < kPartitions ? part : n - (kPartitions - 1) * part;
        futures[k] = QtConcurrent::run(QThreadPool::globalInstance(), [task, start, count] { return task(start, count); });
    }
    std::array<Result, kPartitions> results;
    for (std::size_t k = 0; k < kPartitions; ++k)
        results[k] = futures[k].result();
    return results;
}

// The median works on 32-bit signed integers. Floating samples truncate
// toward zero; the saturation and NaN cases keep the conversion defined.
template <typename T>
int32_t toMedianSample(T sample)
{
    if constexpr (std::is_floating_point_v<T>) {
        const double x = sample;
        if (std::isnan(x))
            return 0;
        if (x >= 2147483648.0)
            return std::numeric_limits<int32_t>::max();
        if (x <= -2147483649.0)
            return std::numeric_limits<int32_t>::min();
        return static_cast<int32_t>(x);
    } else {
        return static_cast<int32_t>(static_cast<uint32_t>(sample));
    }
}

// Every step-th sample goes into the median. The + 0.999 rounds up except
// when n / 500000 lies less than 0.001 above a whole number (n = 500001
// keeps step 1), so such images sort slightly more than half a million.
std::size_t medianStep(std::size_t n)
{
    if (double(n) <= kMedianSamples)
        return 1;
    return static_cast<std::size_t>(double(n) / kMedianSamples + 0.999);
}

double averageOfChannels(const FITSImage::Statistic& record, const double (&values)[3])
{
    if (record.channels == 1)
        return values[0];
    return (values[0] + values[1] + values[2]) / 3.0;
}

} // namespace

FITSData::FITSData(FITSMode mode, QObject* parent) : QObject(parent), mode_(mode) {}

FITSData::~FITSData() = default;

void FITSData::FitsCloser::operator()(fitsfile* file) const
{
    int status = 0;
    fits_close_file(file, &status);
}

void FITSData::closeFits()
{
    fptr_.reset();
    memoryFile_.clear();
}

bool FITSData::fail(const QString& reason)
{
    lastError_ = reason;
    return false;
}

FITSData::FITSData(const QSharedPointer<FITSData>& other)
    : mode_(other->mode_), stats_(other->stats_)
{
    if (!other->imageBuffer_)
        return;
    const std::size_t bytes = std::size_t(stats_.channels) * std::size_t(stats_.bytesPerPixel) * stats_.samples_per_channel;
    imageBuffer_ = std::make_unique<uint8_t[]>(bytes);
    std::memcpy(imageBuffer_.get(), other->imageBuffer_.get(), bytes);
}

bool FITSData::loadFromMat(const cv::Mat& image, const QString& filename)
{
    if (!isLoadable(image))
        return false;
    const cv::Mat grey = toGrey8(image);
    closeFits();
    filename_ = filename;
    extension_ = QFileInfo(filename).suffix().toLower();

    stats_.dataType = TBYTE;
    stats_.bytesPerPixel = 1;
    stats_.ndim = 2;
    stats_.width = static_cast<uint16_t>(grey.cols);
    stats_.height = static_cast<uint16_t>(grey.rows);
    stats_.channels = 1;
    stats_.samples_per_channel = uint32_t(stats_.width) * stats_.height;
    stats_.size = stats_.samples_per_channel;

    roiBuffer_.reset();
    imageBuffer_ = std::make_unique<uint8_t[]>(stats_.samples_per_channel);
    for (int y = 0; y < grey.rows; ++y)
        std::memcpy(imageBuffer_.get() + std::size_t(y) * stats_.width, grey.ptr<uint8_t>(y), stats_.width);

    calculateStats();
    return true;
}

void FITSData::constructHistogram()
{
    histogram_ = ::constructHistogram(imageBuffer_.get(), stats_);
    emit histogramReady();
}

void FITSData::setImageBuffer(uint8_t* buffer)
{
    imageBuffer_.reset(buffer);
}

void FITSData::restoreStatistics(const FITSImage::Statistic& other)
{
    stats_ = other;
    emit dataChanged();
}

double FITSData::getAverageMean(bool roi) const
{
    const auto& r = roi ? roiStats_ : stats_;
    return averageOfChannels(r, r.mean);
}

double FITSData::getAverageMedian(bool roi) const
{
    const auto& r = roi ? roiStats_ : stats_;
    return averageOfChannels(r, r.median);
}

double FITSData::getAverageStdDev(bool roi) const
{
    const auto& r = roi ? roiStats_ : stats_;
    return averageOfChannels(r, r.stddev);
}

void FITSData::makeRoiBuffer(QRect roi)
{
    if (!imageBuffer_ || !roiFits(roi))
        return;
    copyRoi(roi);
    roiStats_ = stats_;
    roiStats_.width = static_cast<uint16_t>(roi.width());
    roiStats_.height = static_cast<uint16_t>(roi.height());
    roiStats_.samples_per_channel = uint32_t(roi.width()) * uint32_t(roi.height());
    calculateStats(false, true);
}

bool FITSData::roiFits(const QRect& roi) const
{
    if (roi.isEmpty() || roi.left() < 1 || roi.top() < 1 || roi.right() > stats_.width || roi.bottom() > stats_.height)
        return false;
    // A single pixel has no spread worth a statistic.
    return int64_t(roi.width()) * roi.height() > 1;
}

void FITSData::copyRoi(const QRect& roi)
{
    const std::size_t bpp = std::size_t(stats_.bytesPerPixel);
    const std::size_t rowBytes = std::size_t(roi.width()) * bpp;
    const std::size_t plane = std::size_t(stats_.samples_per_channel);
    roiBuffer_ = std::make_unique<uint8_t[]>(std::size_t(stats_.channels) * roi.height() * rowBytes);
    uint8_t* out = roiBuffer_.get();
    for (std::size_t c = 0; c < stats_.channels; ++c) {
        for (int y = roi.top() - 1; y < roi.bottom(); ++y) {
            const std::size_t first = c * plane + std::size_t(y) * stats_.width + std::size_t(roi.left() - 1);
            std::memcpy(out, imageBuffer_.get() + first * bpp, rowBytes);
            out += rowBytes;
        }
    }
}

void FITSData::calculateStats(bool refresh, bool roi)
{
    if (!samples(roi))
        return;
    const bool useHeader = !refresh && !roi && fptr_;
    calculateMinMax(refresh, roi);
    calculateMedian(refresh, roi);
    if (!useHeader || !readHeaderMeanStdDev())
        forDataType(int(record(roi).dataType), [this, roi](auto tag) { calculateStdDev<decltype(tag)>(roi); });
    if (!roi)
        stats_.SNR = stats_.mean[0] / stats_.stddev[0];
}

void FITSData::calculateMinMax(bool refresh, bool roi)
{
    if (!refresh && !roi && fptr_ && readHeaderMinMax())
        return;
    auto& r = record(roi);
    std::fill(std::begin(r.min), std::end(r.min), 1e30);
    std::fill(std::begin(r.max), std::end(r.max), -1e30);
    forDataType(int(r.dataType), [this, roi](auto tag) { calculateMinMax<decltype(tag)>(roi); });
}

void FITSData::calculateMedian(bool refresh, bool roi)
{
    if (!refresh && !roi && fptr_ && readHeaderMedian())
        return;
    auto& r = record(roi);
    std::fill(std::begin(r.median), std::end(r.median), 0.0);
    forDataType(int(r.dataType), [this, roi](auto tag) { calculateMedian<decltype(tag)>(roi); });
}

namespace {

// Reads the keys of one statistic for the first `channels` channels; false
// unless every one of them is there.
bool readChannelKeys(fitsfile* file, const std::array<const char*, 3>& keys, int channels, double (&values)[3])
{
    double read[3] = {0.0, 0.0, 0.0};
    for (int c = 0; c < channels; ++c) {
        int status = 0;
        if (fits_read_key_dbl(file, keys[std::size_t(c)], &read[c], nullptr, &status) != 0)
            return false;
    }
    std::copy(read, read + channels, values);
    return true;
}

} // namespace

// A header's values stand only when they cover every channel: a debayered
// mosaic's header speaks of one.
bool FITSData::readHeaderMinMax()
{
    double low[3], high[3];
    const int channels = recordChannels(stats_);
    if (!readChannelKeys(fptr_.get(), {"DATAMIN", "MIN2", "MIN3"}, channels, low) ||
        !readChannelKeys(fptr_.get(), {"DATAMAX", "MAX2", "MAX3"}, channels, high) || (low[0] == 0.0 && high[0] == 0.0))
        return false;
    std::copy(low, low + channels, stats_.min);
    std::copy(high, high + channels, stats_.max);
    return true;
}

bool FITSData::readHeaderMedian()
{
    return readChannelKeys(fptr_.get(), {"MEDIAN1", "MEDIAN2", "MEDIAN3"}, recordChannels(stats_), stats_.median);
}

bool FITSData::readHeaderMeanStdDev()
{
    double mean[3], deviation[3];
    const int channels = recordChannels(stats_);
    if (!readChannelKeys(fptr_.get(), {"MEAN1", "MEAN2", "MEAN3"}, channels, mean) ||
        !readChannelKeys(fptr_.get(), {"STDDEV1", "STDDEV2", "STDDEV3"}, channels, deviation))
        return false;
    std::copy(mean, mean + channels, stats_.mean);
    std::copy(deviation, deviation + channels, stats_.stddev);
    return true;
}

template <typename T>
void FITSData::calculateMinMax(bool roi)
{
    auto& r = record(roi);
    const std::size_t n = r.samples_per_channel;
    const auto scan = [this, roi](std::size_t start, std::size_t count) { return getPartitionMinMax<T>(start, count, roi); };
    for (int c = 0; c < recordChannels(r); ++c) {
        T low = std::numeric_limits<T>::max();
        T high = std::numeric_limits<T>::lowest();
        for (const auto& [partLow, partHigh] : runOverPartitions(c * n, n, scan)) {
            low = std::min(low, partLow);
            high = std::max(high, partHigh);
        }
        r.min[c] = double(low);
        r.max[c] = double(high);
    }
}

// NaN samples compare false and so never become the minimum or maximum.
template <typename T>
std::pair<T, T> FITSData::getPartitionMinMax(std::size_t start, std::size_t count, bool roi) const
{
    const T* sample = reinterpret_cast<const T*>(samples(roi)) + start;
    T low = std::numeric_limits<T>::max();
    T high = std::numeric_limits<T>::lowest();
    for (std::size_t i = 0; i < count; ++i) {
        low = std::min(low, sample[i]);
        high = std::max(high, sample[i]);
    }
    return {low, high};
}

template <typename T>
void FITSData::calculateStdDev(bool roi)
{
    auto& r = record(roi);
    const uint8_t* buffer = samples(roi);
    const std::size_t n = r.samples_per_channel;
    const auto sum = [buffer](std::size_t start, std::size_t count) { return partialSum<T>(start, count, buffer); };
    for (int c = 0; c < recordChannels(r); ++c) {
        SumData total;
        for (const SumData& part : runOverPartitions(c * n, n, sum)) {
            total.sum += part.sum;
            total.squaredSum += part.squaredSum;
            total.count += part.count;
        }
        if (total.count <= 0)
            continue;
        const double mean = total.sum / total.count;
        // Rounding can take the difference of large, nearly equal terms
        // below zero, which would turn the deviation into NaN.
        const double variance = std::max(0.0, total.squaredSum / total.count - mean * mean);
        r.mean[c] = mean;
        r.stddev[c] = std::sqrt(variance);
    }
}

template <typename T>
FITSData::SumData FITSData::partialSum(std::size_t start, std::size_t count, const uint8_t* buffer)
{
    const T* sample = reinterpret_cast<const T*>(buffer) + start;
    SumData result;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = double(sample[i]);
        // Blank pixels of floating data are NaN; they are no part of the sky.
        if (std::isnan(x))
            continue;
        result.sum += x;
        result.squaredSum += x * x;
        result.count += 1.0;
    }
    return result;
}

template <typename T>
void FITSData::calculateMedian(bool roi)
{
    auto& r = record(roi);
    const T* sample = reinterpret_cast<const T*>(samples(roi));
    const std::size_t n = r.samples_per_channel;
    const std::size_t step = medianStep(n);
    for (int c = 0; c < recordChannels(r); ++c) {
        std::vector<int32_t> picked;
        picked.reserve(n / step);
        for (std::size_t i = 0; i < n; i += step)
            if (!std::isnan(double(sample[c * n + i])))
                picked.push_back(toMedianSample(sample[c * n + i]));
        r.median[c] = Mathematics::GSLHelpers::estimateLocation(Mathematics::GSLHelpers::Location::Median,
                                                                std::move(picked), 1, 0.0);
    }
}
