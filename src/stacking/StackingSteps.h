#pragma once

// Private to the stacking methods: the per-sample combination shared by the
// median and sigma-clip methods, and the size check every method applies to a
// prepared frame. The frame preparation itself is a private part of
// ImageStacker (StackingSteps.cpp).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <omp.h>

#include "image/ImageBuffer.h"

// Throws std::runtime_error naming the frame's 1-based position and both
// sizes when the prepared frame's width, height or channel count differs from
// the reference's.
void requireReferenceSize(const ByteImage& prepared, const ByteImage& reference, int position);

// Progress lines of the combination; each takes the Logger's mutex itself.
void logThreadCount(int threads);
void logRowStarted(int row, int height);
void logAllRowsFinished(int height);

namespace detail {

// Rows handed to a thread at a time: small enough to even out the load of
// the last rows, large enough that the scheduler is not asked per row.
constexpr int kRowsPerChunk = 10;
constexpr int kRowsPerProgressLine = 100;

// One row: gathers the frames' samples at each position into `samples` (one
// byte per frame, in list order) and stores combine(samples, frames) there.
template <typename Combine>
void combineRow(const std::vector<const std::uint8_t*>& sources, std::uint8_t* samples, std::size_t begin,
                std::size_t end, std::uint8_t* out, const Combine& combine)
{
    const std::size_t frames = sources.size();
    for (std::size_t i = begin; i < end; ++i) {
        for (std::size_t f = 0; f < frames; ++f)
            samples[f] = sources[f][i];
        out[i] = combine(samples, frames);
    }
}

}  // namespace detail

// Writes combine(samples, k) into every sample of `result`, `samples` holding
// the k prepared frames' values at that position in list order (the combiner
// may reorder them). Every frame must have the result's size. Rows are shared
// out dynamically over the OpenMP threads; each thread writes only its own
// rows and gathers into its own scratch slice. `combine` must not throw.
template <typename Combine>
void combinePerSample(const std::vector<ByteImagePtr>& prepared, ByteImage& result, const Combine& combine)
{
    std::vector<const std::uint8_t*> sources;
    for (const ByteImagePtr& frame : prepared)
        sources.push_back(frame->data());
    const int height = result.height();
    const std::size_t rowLength = std::size_t(result.width()) * std::size_t(result.channels());
    const int maxThreads = omp_get_max_threads();
    // Allocated here, where an exception can still leave the function.
    std::vector<std::uint8_t> scratch(std::size_t(maxThreads) * sources.size());
    std::uint8_t* out = result.data();

#pragma omp parallel num_threads(maxThreads)
    {
#pragma omp single
        logThreadCount(omp_get_num_threads());
        std::uint8_t* samples = scratch.data() + std::size_t(omp_get_thread_num()) * sources.size();
#pragma omp for schedule(dynamic, detail::kRowsPerChunk)
        for (int row = 0; row < height; ++row) {
            if (row % detail::kRowsPerProgressLine == 0) {
#pragma omp critical(pelorumRowProgress)
                logRowStarted(row, height);
            }
            const std::size_t begin = std::size_t(row) * rowLength;
            detail::combineRow(sources, samples, begin, begin + rowLength, out, combine);
        }
        logAllRowsFinished(height);
    }
}
