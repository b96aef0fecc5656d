#include <immintrin.h>

#include "stacking/BlockKernels.h"

// Blocks of 16 samples. Compiled for SSE4.1 function by function, so the
// binary still starts on any x86-64; the dispatcher calls these only when the
// processor has SSE4.1.

namespace {

constexpr std::size_t kBlock = 16;

__attribute__((target("sse4.1"))) void addSse41(std::uint8_t* a, const std::uint8_t* b, std::size_t blocks)
{
    for (std::size_t k = 0; k < blocks; ++k, a += kBlock, b += kBlock) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a), _mm_adds_epu8(va, vb));
    }
}

// Four samples as int32 -> float, times s, rounded to nearest even. The
// product is capped at 255 first, limit as the first operand: minps returns
// its second operand when either is NaN, so NaN goes on to the conversion
// (and becomes 0), while a product of 2^31 or more, which the conversion
// would turn into INT_MIN and so into 0, becomes 255.
__attribute__((target("sse4.1"))) __m128i scaledQuad(__m128i quad, __m128 s)
{
    const __m128 x = _mm_mul_ps(_mm_cvtepi32_ps(quad), s);
    return _mm_cvtps_epi32(_mm_min_ps(_mm_set1_ps(255.0f), x));
}

__attribute__((target("sse4.1"))) void scaleSse41(std::uint8_t* a, std::size_t blocks, float s)
{
    const __m128 vs = _mm_set1_ps(s);
    for (std::size_t k = 0; k < blocks; ++k, a += kBlock) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
        const __m128i q0 = scaledQuad(_mm_cvtepu8_epi32(v), vs);
        const __m128i q1 = scaledQuad(_mm_cvtepu8_epi32(_mm_srli_si128(v, 4)), vs);
        const __m128i q2 = scaledQuad(_mm_cvtepu8_epi32(_mm_srli_si128(v, 8)), vs);
        const __m128i q3 = scaledQuad(_mm_cvtepu8_epi32(_mm_srli_si128(v, 12)), vs);
        // Saturating narrowing 32 -> 16 -> 8 bits clamps to 0..255.
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(q0, q1), _mm_packs_epi32(q2, q3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a), bytes);
    }
}

}  // namespace

const RewriteKernels sse41RewriteKernels{kBlock, addSse41, scaleSse41};
