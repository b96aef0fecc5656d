#include <immintrin.h>

#include "stacking/BlockKernels.h"

// Blocks of 32 samples. AVX has 256-bit float arithmetic but no 256-bit
// integer instructions, so the integer work is done on two 128-bit halves
// (VEX-encoded under this target) and only the float work is 256 bits wide.

namespace {

constexpr std::size_t kBlock = 32;

__attribute__((target("avx"))) __m128i loadHalf(const std::uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__attribute__((target("avx"))) void addAvx(std::uint8_t* a, const std::uint8_t* b, std::size_t blocks)
{
    for (std::size_t k = 0; k < blocks; ++k, a += kBlock, b += kBlock) {
        const __m128i lo = _mm_adds_epu8(loadHalf(a), loadHalf(b));
        const __m128i hi = _mm_adds_epu8(loadHalf(a + 16), loadHalf(b + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a + 16), hi);
    }
}

// Samples 0..7 of the 16 bytes in v, shifted right by `shift` bytes first, as floats.
template <int shift>
__attribute__((target("avx"))) __m256 eightAsFloats(__m128i v)
{
    const __m128i lo = _mm_cvtepu8_epi32(_mm_srli_si128(v, shift));
    const __m128i hi = _mm_cvtepu8_epi32(_mm_srli_si128(v, shift + 4));
    return _mm256_cvtepi32_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1));
}

// 16 samples scaled, rounded to nearest even and narrowed with saturation.
// The cap at 255 keeps NaN (limit first: minps returns its second operand
// for NaN) and maps products of 2^31 or more to 255 instead of INT_MIN.
__attribute__((target("avx"))) __m128i scaledHalf(__m128i v, __m256 s)
{
    const __m256 limit = _mm256_set1_ps(255.0f);
    const __m256i r0 = _mm256_cvtps_epi32(_mm256_min_ps(limit, _mm256_mul_ps(eightAsFloats<0>(v), s)));
    const __m256i r1 = _mm256_cvtps_epi32(_mm256_min_ps(limit, _mm256_mul_ps(eightAsFloats<8>(v), s)));
    const __m128i w0 = _mm_packs_epi32(_mm256_castsi256_si128(r0), _mm256_extractf128_si256(r0, 1));
    const __m128i w1 = _mm_packs_epi32(_mm256_castsi256_si128(r1), _mm256_extractf128_si256(r1, 1));
    return _mm_packus_epi16(w0, w1);
}

__attribute__((target("avx"))) void scaleAvx(std::uint8_t* a, std::size_t blocks, float s)
{
    const __m256 vs = _mm256_set1_ps(s);
    for (std::size_t k = 0; k < blocks; ++k, a += kBlock) {
        const __m128i lo = scaledHalf(loadHalf(a), vs);
        const __m128i hi = scaledHalf(loadHalf(a + 16), vs);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a + 16), hi);
    }
}

// psadbw against zero adds eight bytes into a 64-bit lane, which never wraps.
__attribute__((target("avx"))) std::uint64_t sumAvx(const std::uint8_t* a, std::size_t blocks)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    for (std::size_t k = 0; k < blocks; ++k, a += kBlock) {
        sums = _mm_add_epi64(sums, _mm_sad_epu8(loadHalf(a), zero));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(loadHalf(a + 16), zero));
    }
    return std::uint64_t(_mm_cvtsi128_si64(sums)) + std::uint64_t(_mm_extract_epi64(sums, 1));
}

__attribute__((target("avx"))) __m256 squares(__m256 x, __m256 mean)
{
    const __m256 d = _mm256_sub_ps(x, mean);
    return _mm256_mul_ps(d, d);
}

__attribute__((target("avx"))) float laneTotal(__m256 v)
{
    const __m128 four = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 two = _mm_add_ps(four, _mm_movehl_ps(four, four));
    return _mm_cvtss_f32(_mm_add_ss(two, _mm_movehdup_ps(two)));
}

__attribute__((target("avx"))) float squaredDeviationsAvx(const std::uint8_t* a, std::size_t blocks,
                                                          float mean)
{
    const __m256 vm = _mm256_set1_ps(mean);
    __m256 lo = _mm256_setzero_ps();
    __m256 hi = _mm256_setzero_ps();
    for (std::size_t k = 0; k < blocks; ++k, a += kBlock) {
        const __m128i v0 = loadHalf(a);
        const __m128i v1 = loadHalf(a + 16);
        lo = _mm256_add_ps(lo, squares(eightAsFloats<0>(v0), vm));
        hi = _mm256_add_ps(hi, squares(eightAsFloats<8>(v0), vm));
        lo = _mm256_add_ps(lo, squares(eightAsFloats<0>(v1), vm));
        hi = _mm256_add_ps(hi, squares(eightAsFloats<8>(v1), vm));
    }
    return laneTotal(_mm256_add_ps(lo, hi));
}

}  // namespace

const RewriteKernels avxRewriteKernels{kBlock, addAvx, scaleAvx};
const StatisticsKernels avxStatisticsKernels{kBlock, sumAvx, squaredDeviationsAvx};
