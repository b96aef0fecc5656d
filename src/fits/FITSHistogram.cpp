#include "fits/FITSHistogram.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <type_traits>

#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent>

#include <fitsio.h>

#include "fits/SampleTypes.h"

namespace {

// The histogram has room for three channels.
constexpr int kMaxChannels = 3;
// Above this many samples per channel only about this many are counted.
constexpr std::size_t kCountedSamples = 500000;
constexpr uint16_t kDefaultBinCount = 256;

// Runs task(c) for every channel, one task each on the global pool, and
// waits for all of them.
template <typename Task>
void forEachChannel(int channels, const Task& task)
{
    std::array<QFuture<void>, kMaxChannels> futures;
    for (int c = 0; c < channels; ++c)
        futures[c] = QtConcurrent::run(QThreadPool::globalInstance(), [&task, c] { task(c); });
    for (int c = 0; c < channels; ++c)
        futures[c].waitForFinished();
}

// Narrow integer data gets one bin per value.
uint16_t binCountFor(const FITSImage::Statistic& stats)
{
    const double range = stats.max[0] - stats.min[0];
    if (range > 0.0 && range < kDefaultBinCount && static_cast<uint16_t>(range) != 0)
        return static_cast<uint16_t>(range);
    return kDefaultBinCount;
}

std::size_t countingStep(std::size_t samples)
{
    return samples > kCountedSamples ? samples / kCountedSamples : 1;
}

void prepareBins(FITSHistogram& histogram, const FITSImage::Statistic& stats, int c)
{
    const std::size_t size = histogram.binCount + std::size_t{1};
    histogram.cumulativeFrequency[c].assign(size, 0);
    histogram.intensity[c].assign(size, 0.0);
    histogram.frequency[c].assign(size, 0.0);
    // Bins narrower than one step would leave gaps between integer values.
    const double narrowest = stats.max[c] > 1.1 ? 1.0 : 0.0001;
    const double width = std::max((stats.max[c] - stats.min[c]) / histogram.binCount, narrowest);
    histogram.binWidth[c] = width;
    for (std::size_t i = 0; i < histogram.binCount; ++i)
        histogram.intensity[c][i] = stats.min[c] + double(i) * width;
}

// The bin at position (in bin widths above the minimum), rounded half to
// even. Clamped while still floating so that samples outside the recorded
// range stay inside the vectors and the NaN that infinite samples or
// statistics give never reaches the conversion.
std::size_t binAt(double position, uint16_t binCount)
{
    const double bin = std::rint(position);
    if (!(bin > 0.0))
        return 0;
    return bin < binCount ? static_cast<std::size_t>(bin) : binCount;
}

template <typename T>
void countSamples(FITSHistogram& histogram, const T* plane, std::size_t samples, std::size_t step, double min, int c)
{
    std::vector<double>& frequency = histogram.frequency[c];
    const double width = histogram.binWidth[c];
    for (std::size_t i = 0; i < samples; i += step) {
        const double sample = double(plane[i]);
        if constexpr (std::is_floating_point_v<T>) {
            // Blank pixels of floating FITS data hold no value.
            if (std::isnan(sample))
                continue;
        }
        frequency[binAt((sample - min) / width, histogram.binCount)] += double(step);
    }
}

// Width and height are 16-bit, so even the weighted total stays below 2^32.
void accumulate(FITSHistogram& histogram, int c)
{
    double total = 0.0;
    for (std::size_t i = 0; i <= histogram.binCount; ++i) {
        total += histogram.frequency[c][i];
        histogram.cumulativeFrequency[c][i] = static_cast<uint32_t>(total);
    }
}

double jmIndexOf(const FITSHistogram& histogram)
{
    const std::vector<uint32_t>& cumulative = histogram.cumulativeFrequency[0];
    const uint32_t lowestQuarter = cumulative[histogram.binCount / 4];
    if (lowestQuarter == 0)
        return 1.0;
    return double(cumulative[histogram.binCount / 8]) / lowestQuarter;
}

template <typename T>
void fillHistogram(FITSHistogram& histogram, const uint8_t* buffer, const FITSImage::Statistic& stats, int channels)
{
    const std::size_t samples = std::size_t(stats.width) * stats.height;
    const std::size_t step = countingStep(samples);
    const T* first = reinterpret_cast<const T*>(buffer);
    histogram.binCount = binCountFor(stats);
    forEachChannel(channels, [&](int c) { prepareBins(histogram, stats, c); });
    forEachChannel(channels, [&](int c) { countSamples(histogram, first + c * samples, samples, step, stats.min[c], c); });
    forEachChannel(channels, [&](int c) { accumulate(histogram, c); });
    histogram.jmIndex = jmIndexOf(histogram);
}

} // namespace

FITSHistogram constructHistogram(const uint8_t* buffer, const FITSImage::Statistic& stats)
{
    FITSHistogram histogram;
    const int channels = std::min<int>(stats.channels, kMaxChannels);
    if (!buffer || channels < 1)
        return histogram;
    forDataType(int(stats.dataType), [&](auto tag) { fillHistogram<decltype(tag)>(histogram, buffer, stats, channels); });
    return histogram;
}
