#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <structuredefinitions.h>

// Distribution of the samples of an image, per channel (at most three).
//
// All channels share channel 0's bin count: the whole part of its range
// (max - min) when that lies in 1 ... 255, so narrow integer data gets one
// bin per value, else 256. Each channel's vectors hold binCount + 1 entries;
// the last collects the samples at the channel maximum.
struct FITSHistogram {
    std::array<std::vector<uint32_t>, 3> cumulativeFrequency;
    std::array<std::vector<double>, 3> intensity;   // lower edge of each bin
    std::array<std::vector<double>, 3> frequency;   // (weighted) count of each bin
    std::array<double, 3> binWidth{};
    uint16_t binCount = 0;
    // Samples in the lowest eighth of channel 0's bins over those in the
    // lowest quarter; 1.0 when the lowest quarter is empty.
    double jmIndex = 1.0;
};

// The histogram of the planar buffer described by stats: data type, width,
// height, channels, and each channel's min and max. A channel of more than
// 500000 samples is thinned to every (samples / 500000)-th sample, each
// counted that many times. NaN samples count in no bin, and samples outside
// min ... max (statistics older than the buffer) count in the first or last
// bin. A null buffer, no channels or a data type outside the eight gives the
// empty histogram (binCount 0).
FITSHistogram constructHistogram(const uint8_t* buffer, const FITSImage::Statistic& stats);
