#pragma once

#include <cstddef>
#include <cstdint>

// The inner loops of the byte kernels, one set per instruction-set level.
// Each works on a whole number of blocks of blockSize samples and knows
// nothing of threads or tails: ByteKernels.cpp splits the blocks over the
// threads and finishes the last n mod blockSize samples with the portable
// set, whose block is a single sample.

struct RewriteKernels {
    std::size_t blockSize;
    // a[i] = min(a[i] + b[i], 255).
    void (*add)(std::uint8_t* a, const std::uint8_t* b, std::size_t blocks);
    // Portable: truncated. Vector: rounded to nearest even. Both clamp to 0..255.
    void (*scale)(std::uint8_t* a, std::size_t blocks, float s);
};

struct StatisticsKernels {
    std::size_t blockSize;
    std::uint64_t (*sum)(const std::uint8_t* a, std::size_t blocks);
    // Sum of (float(a[i]) - mean)^2 with single-precision terms and partials.
    float (*squaredDeviations)(const std::uint8_t* a, std::size_t blocks, float mean);
};

extern const RewriteKernels portableRewriteKernels;
extern const RewriteKernels sse41RewriteKernels;
extern const RewriteKernels avxRewriteKernels;
extern const RewriteKernels avx2RewriteKernels;

// No SSE4.1 set: the portable loops, which the compiler already vectorises
// with the SSE2 every x86-64 has, are as fast there.
extern const StatisticsKernels portableStatisticsKernels;
extern const StatisticsKernels avxStatisticsKernels;
extern const StatisticsKernels avx2StatisticsKernels;
