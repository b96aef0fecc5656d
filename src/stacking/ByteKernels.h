#pragma once

#include <cstddef>
#include <cstdint>

// The per-sample kernels of the stacking engine on flat arrays of bytes.
// Each has a portable path and vector paths for three x86-64 levels; the
// dispatching form picks the best level the processor offers, once per
// process, unless SIMD was switched off. All paths give the same results,
// except that scaleBytes rounds to nearest in complete vector blocks (16
// samples at SSE4.1, 32 at AVX/AVX2) where the portable path and the tail
// truncate, and that varianceBytes adds its terms in another order.
// Arrays above 10 000 samples are split over the OpenMP threads, vector
// paths in whole blocks. Kernels may run concurrently on distinct arrays.

enum class SimdLevel { None = 0, Sse41 = 1, Avx = 2, Avx2 = 3 };

void setSimdEnabled(bool enabled);
bool isSimdEnabled();
// None when SIMD is off, else the best level of this processor.
SimdLevel getSimdLevel();
// The best level of this processor, whatever the switch says.
SimdLevel processorSimdLevel();

// a[i] = min(a[i] + b[i], 255).
void addSaturate(std::uint8_t* a, const std::uint8_t* b, std::size_t n);
// a[i] = trunc(min(a[i] * s, 255)) (vector blocks: rounded to nearest even,
// clamped). On every path a product above 255 (infinity included) gives 255,
// a negative or NaN product 0.
void scaleBytes(std::uint8_t* a, std::size_t n, float s);
// float(sum) / float(n), the sum exact; 0 for n = 0.
float meanBytes(const std::uint8_t* a, std::size_t n);
// Sample variance (divisor n - 1), single-precision terms; 0 for n < 2. The
// terms are added in float over runs of 1024 samples and the runs in double.
float varianceBytes(const std::uint8_t* a, std::size_t n);
// Median, rounded down for even n; 0 for n = 0. Sorts a in place.
int medianBytes(std::uint8_t* a, std::size_t n);

// The same kernels on an explicit level, for tests and benchmarks. A level
// the processor lacks must not be requested.
void addSaturate(SimdLevel level, std::uint8_t* a, const std::uint8_t* b, std::size_t n);
void scaleBytes(SimdLevel level, std::uint8_t* a, std::size_t n, float s);
float meanBytes(SimdLevel level, const std::uint8_t* a, std::size_t n);
float varianceBytes(SimdLevel level, const std::uint8_t* a, std::size_t n);
