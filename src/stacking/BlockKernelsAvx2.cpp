#include <immintrin.h>

#include "stacking/BlockKernels.h"

// Blocks of 32 samples in 256-bit registers.

namespace {

constexpr std::size_t kBlock = 32;

__attribute__((target("avx2"))) __m256i loadBlock(const std::uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) void addAvx2(std::uint8_t* a, const std::uint8_t* b, std::size_t blocks)
{
    for (std::size_t k = 0; k < blocks; ++k, a += kBlock, b += kBlock)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(a), _mm256_adds_epu8(loadBlock(a), loadBlock(b)));
}

// The low 8 bytes of v as floats.
__attribute__((target("avx2"))) __m256 eightAsFloats(__m128i v)
{
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(v));
}

// Capped at 255 before the conversion, limit first: minps returns its second
// operand for NaN, so NaN still converts to INT_MIN and ends as 0, while a
// product of 2^31 or more becomes 255 instead of INT_MIN.
__attribute__((target("avx2"))) __m256i scaledEight(__m128i v, __m256 s)
{
    const __m256 x = _mm256_mul_ps(eightAsFloats(v), s);
    return _mm256_cvtps_epi32(_mm256_min_ps(_mm256_set1_ps(255.0f), x));
}

__attribute__((target("avx2"))) void scaleAvx2(std::uint8_t* a, std::size_t blocks, float s)
{
    const __m256 vs = _mm256_set1_ps(s);
    // The packs work within 128-bit lanes and leave the 4-byte groups in the
    // order 0, 2, 4, 6, 1, 3, 5, 7; this permutation puts them back.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (std::size_t k = 0; k < blocks; ++k, a += kBlock) {
        const __m256i v = loadBlock(a);
        const __m128i lo = _mm256_castsi256_si128(v);
        const __m128i hi = _mm256_extracti128_si256(v, 1);
        const __m256i w0 = _mm256_packs_epi32(scaledEight(lo, vs), scaledEight(_mm_srli_si128(lo, 8), vs));
        const __m256i w1 = _mm256_packs_epi32(scaledEight(hi, vs), scaledEight(_mm_srli_si128(hi, 8), vs));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(w0, w1), order);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(a), bytes);
    }
}

// psadbw against zero adds eight bytes into a 64-bit lane, which never wraps.
__attribute__((target("avx2"))) std::uint64_t sumAvx2(const std::uint8_t* a, std::size_t blocks)
{
    const __m256i zero = _mm256_setzero_si256();
    __m256i sums = zero;
    for (std::size_t k = 0; k < blocks; ++k, a += kBlock)
        sums = _mm256_add_epi64(sums, _mm256_sad_epu8(loadBlock(a), zero));
    const __m128i two = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return std::uint64_t(_mm_cvtsi128_si64(two)) + std::uint64_t(_mm_extract_epi64(two, 1));
}

__attribute__((target("avx2"))) __m256 squares(__m128i v, __m256 mean)
{
    const __m256 d = _mm256_sub_ps(eightAsFloats(v), mean);
    return _mm256_mul_ps(d, d);
}

__attribute__((target("avx2"))) float laneTotal(__m256 v)
{
    const __m128 four = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 two = _mm_add_ps(four, _mm_movehl_ps(four, four));
    return _mm_cvtss_f32(_mm_add_ss(two, _mm_movehdup_ps(two)));
}

__attribute__((target("avx2"))) float squaredDeviationsAvx2(const std::uint8_t* a, std::size_t blocks,
                                                            float mean)
{
    const __m256 vm = _mm256_set1_ps(mean);
    __m256 lo = _mm256_setzero_ps();
    __m256 hi = _mm256_setzero_ps();
    for (std::size_t k = 0; k < blocks; ++k, a += kBlock) {
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16));
        lo = _mm256_add_ps(lo, squares(v0, vm));
        hi = _mm256_add_ps(hi, squares(_mm_srli_si128(v0, 8), vm));
        lo = _mm256_add_ps(lo, squares(v1, vm));
        hi = _mm256_add_ps(hi, squares(_mm_srli_si128(v1, 8), vm));
    }
    return laneTotal(_mm256_add_ps(lo, hi));
}

}  // namespace

const RewriteKernels avx2RewriteKernels{kBlock, addAvx2, scaleAvx2};
const StatisticsKernels avx2StatisticsKernels{kBlock, sumAvx2, squaredDeviationsAvx2};
