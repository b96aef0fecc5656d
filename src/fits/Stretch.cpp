#include "fits/Stretch.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include <QFuture>
#include <QThreadPool>
#include <QVector>
#include <QtConcurrent>

#include <fitsio.h>

#include "fits/SampleTypes.h"

namespace {

// The parameters come from about this many samples per channel at most.
constexpr std::size_t kParameterSamples = 500000;
// Every this-many-th sample is probed for floating data normalised to 0 ... 1.
constexpr std::size_t kRangeProbeStep = 1000;
// A probe peaking no higher than this (allowing for overshoot) means normalised data.
constexpr double kNormalisedPeak = 1.01;
// The MAD of Gaussian noise is its standard deviation over 1.4826.
constexpr double kMadToSigma = 1.4826;
// Clipping this many deviations from the median keeps the noise floor visible.
constexpr double kClipSigmas = 2.8;
// Where the median of a dark channel lands in the output, as a fraction;
// a bright channel's lands near the mirror point, 1 minus this.
constexpr double kTargetBackground = 0.25;

bool isSampleType(int dataType)
{
    return forDataType(dataType, [](auto) {});
}

bool isFloating(int dataType)
{
    return dataType == TFLOAT || dataType == TDOUBLE;
}

// Colour images are rendered with opaque alpha, grey ones through a palette.
QImage::Format outputFormat(int channels)
{
    return channels == 1 ? QImage::Format_Indexed8 : QImage::Format_RGB32;
}

int ceilDiv(int n, int d)
{
    return n / d + (n % d != 0 ? 1 : 0);
}

// Midtones transfer function: maps 0, balance and 1 to 0, 0.5 and 1. Those
// points are returned exactly rather than through rounding.
double mtf(double balance, double x)
{
    if (x == 0.0)
        return 0.0;
    if (x == balance)
        return 0.5;
    if (x == 1.0)
        return 1.0;
    return (balance - 1.0) * x / ((2.0 * balance - 1.0) * x - balance);
}

// NaN compares false and so never becomes the peak.
template <typename T>
double probedPeak(const T* samples, std::size_t count)
{
    double peak = 0.0;
    for (std::size_t i = 0; i < count; i += kRangeProbeStep)
        peak = std::max(peak, double(samples[i]));
    return peak;
}

// The channel's samples the parameters are taken from, without NaN (blank
// pixels of floating FITS data, which have no brightness and no order).
template <typename T>
std::vector<double> parameterSamples(const T* plane, std::size_t count)
{
    const std::size_t step = count >= kParameterSamples ? count / kParameterSamples : 1;
    std::vector<double> picked;
    picked.reserve(count / step + 1);
    for (std::size_t i = 0; i < count; i += step) {
        const double sample = double(plane[i]);
        if (!std::isnan(sample))
            picked.push_back(sample);
    }
    return picked;
}

// Element size / 2 in sorted order; values must not be empty.
double middleElement(std::vector<double>& values)
{
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

StretchParams1Channel paramsFromSamples(std::vector<double> samples, double inputRange)
{
    StretchParams1Channel params;
    if (samples.empty())
        return params;
    const double median = middleElement(samples);
    // Equal infinite samples would differ by NaN, which the partial sort cannot order.
    for (double& sample : samples)
        sample = sample == median ? 0.0 : std::abs(sample - median);
    const double m = median / inputRange;
    const double deviation = kMadToSigma * middleElement(samples) / inputRange;
    if (m > 0.5) {
        const double highlights = deviation == 0.0 ? 1.0 : std::clamp(m + kClipSigmas * deviation, 0.0, 1.0);
        params.highlights = float(highlights);
        params.midtones = float(mtf(highlights - m, kTargetBackground));
    } else {
        const double shadows = deviation == 0.0 ? 0.0 : std::clamp(m - kClipSigmas * deviation, 0.0, 1.0);
        params.shadows = float(shadows);
        params.midtones = float(mtf(kTargetBackground, m - shadows));
    }
    return params;
}

// Truncates toward zero. Parameters outside 0 ... 1 can take the curve
// outside the byte range, and NaN samples make it NaN (rendered black);
// neither may reach the conversion.
uint8_t toByte(double value)
{
    if (!(value > 0.0))
        return 0;
    return value < 255.0 ? static_cast<uint8_t>(value) : 255;
}

// One channel's curve in input units, with the transfer function's
// constants folded in so each sample costs one division.
struct Curve {
    double shadows;
    double highlights;
    double c1;
    double c2;
    double c3;

    uint8_t operator()(double sample) const
    {
        if (sample < shadows)
            return 0;
        if (sample >= highlights)
            return 255;
        const double d = sample - shadows;
        return toByte(d * c1 / (d * c2 - c3));
    }
};

Curve curveOf(const StretchParams1Channel& params, double maxInput, bool integerSamples)
{
    double shadows = params.shadows * maxInput;
    double highlights = params.highlights * maxInput;
    if (integerSamples) {
        shadows = std::trunc(shadows);
        highlights = std::trunc(highlights);
    }
    const double span = double(params.highlights) - params.shadows;
    const double k = span == 0.0 ? 1.0 : 1.0 / span;
    const double midtones = params.midtones;
    return {shadows, highlights, (midtones - 1.0) * k * 255.0 / maxInput, (2.0 * midtones - 1.0) * k / maxInput, midtones};
}

// Where the samples of output pixels lie in the input planes.
struct SampleGrid {
    std::size_t inputWidth;
    std::size_t plane;
    std::size_t step;
    int outputWidth;
};

template <typename T>
void renderGreyRows(const T* samples, const SampleGrid& at, const Curve& curve, uchar* bits, int stride, int begin, int end)
{
    for (int y = begin; y < end; ++y) {
        const T* row = samples + std::size_t(y) * at.step * at.inputWidth;
        uchar* out = bits + std::size_t(y) * std::size_t(stride);
        for (int x = 0; x < at.outputWidth; ++x)
            out[x] = curve(double(row[std::size_t(x) * at.step]));
    }
}

template <typename T>
void renderColourRows(const T* samples, const SampleGrid& at, const std::array<Curve, 3>& curves, uchar* bits, int stride,
                      int begin, int end)
{
    for (int y = begin; y < end; ++y) {
        const T* red = samples + std::size_t(y) * at.step * at.inputWidth;
        const T* green = red + at.plane;
        const T* blue = green + at.plane;
        QRgb* out = reinterpret_cast<QRgb*>(bits + std::size_t(y) * std::size_t(stride));
        for (int x = 0; x < at.outputWidth; ++x) {
            const std::size_t i = std::size_t(x) * at.step;
            out[x] = qRgb(curves[0](double(red[i])), curves[1](double(green[i])), curves[2](double(blue[i])));
        }
    }
}

// Splits the rows into one band per pool thread, renders the bands
// concurrently with renderRows(begin, end) and waits for them.
template <typename RenderRows>
void renderInBands(int rows, const RenderRows& renderRows)
{
    QThreadPool* pool = QThreadPool::globalInstance();
    const int bands = std::clamp(pool->maxThreadCount(), 1, std::max(rows, 1));
    std::vector<QFuture<void>> futures;
    futures.reserve(std::size_t(bands));
    for (int band = 0; band < bands; ++band) {
        const int begin = rows * band / bands;
        const int end = rows * (band + 1) / bands;
        futures.push_back(QtConcurrent::run(pool, [&renderRows, begin, end] { renderRows(begin, end); }));
    }
    for (QFuture<void>& future : futures)
        future.waitForFinished();
}

QVector<QRgb> greyPalette()
{
    QVector<QRgb> palette(256);
    for (int i = 0; i < 256; ++i)
        palette[i] = qRgb(i, i, i);
    return palette;
}

} // namespace

Stretch::Stretch(int width, int height, int channels, int dataType)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), channels_(channels), dataType_(dataType),
      inputRange_(dataType == TBYTE ? 256.0 : 65536.0)
{
}

int Stretch::renderedChannels() const
{
    return channels_ == 1 || channels_ == 3 ? channels_ : 0;
}

void Stretch::recalculateInputRange(const uint8_t* buffer)
{
    if (inputRange_ <= 1.0 || !isFloating(dataType_))
        return;
    const std::size_t count = samplesPerChannel() * std::size_t(std::max(channels_, 0));
    const double peak = dataType_ == TFLOAT ? probedPeak(reinterpret_cast<const float*>(buffer), count)
                                            : probedPeak(reinterpret_cast<const double*>(buffer), count);
    if (peak <= kNormalisedPeak)
        inputRange_ = 1.0;
}

StretchParams Stretch::computeParams(const uint8_t* buffer)
{
    StretchParams params;
    if (!buffer)
        return params;
    recalculateInputRange(buffer);
    const std::size_t count = samplesPerChannel();
    const std::array<StretchParams1Channel*, 3> channel = {&params.grey_red, &params.green, &params.blue};
    forDataType(dataType_, [&](auto tag) {
        const auto* first = reinterpret_cast<const decltype(tag)*>(buffer);
        for (int c = 0; c < renderedChannels(); ++c)
            *channel[c] = paramsFromSamples(parameterSamples(first + c * count, count), inputRange_);
    });
    return params;
}

bool Stretch::fitsOutput(const QImage& output, int sampling) const
{
    if (renderedChannels() == 0)
        return false;
    return output.format() == outputFormat(channels_)
        && output.size() == QSize(ceilDiv(width_, sampling), ceilDiv(height_, sampling));
}

void Stretch::run(const uint8_t* buffer, QImage* output, int sampling)
{
    if (!buffer || !output || sampling < 1 || !fitsOutput(*output, sampling))
        return;
    recalculateInputRange(buffer);
    const double maxInput = inputRange_ >= 2.0 ? inputRange_ - 1.0 : inputRange_;
    const bool integerSamples = !isFloating(dataType_);
    const std::array<Curve, 3> curves = {curveOf(params_.grey_red, maxInput, integerSamples),
                                         curveOf(params_.green, maxInput, integerSamples),
                                         curveOf(params_.blue, maxInput, integerSamples)};
    const SampleGrid at{std::size_t(width_), samplesPerChannel(), std::size_t(sampling), output->width()};
    // Detaches once here, so that the tasks only write through the pointer.
    uchar* const bits = output->bits();
    const int stride = output->bytesPerLine();
    forDataType(dataType_, [&](auto tag) {
        const auto* samples = reinterpret_cast<const decltype(tag)*>(buffer);
        if (channels_ == 1) {
            renderInBands(output->height(), [&](int begin, int end) {
                renderGreyRows(samples, at, curves[0], bits, stride, begin, end);
            });
        } else {
            renderInBands(output->height(), [&](int begin, int end) {
                renderColourRows(samples, at, curves, bits, stride, begin, end);
            });
        }
    });
}

QImage stretchedImage(const uint8_t* buffer, int width, int height, int channels, int dataType, int sampling)
{
    if (!buffer || width < 1 || height < 1 || sampling < 1 || (channels != 1 && channels != 3) || !isSampleType(dataType))
        return {};
    QImage image(ceilDiv(width, sampling), ceilDiv(height, sampling), outputFormat(channels));
    if (channels == 1)
        image.setColorTable(greyPalette());
    Stretch stretch(width, height, channels, dataType);
    stretch.setParams(stretch.computeParams(buffer));
    stretch.run(buffer, &image, sampling);
    return image;
}
