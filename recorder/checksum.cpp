// The frame checksum, computed by the writer process, never on a calling thread.
#include "checksum.hpp"

#include <emmintrin.h>

namespace qvrec {

// Adler-32 as zlib computes it (the reader checks frames with zlib.adler32),
// sixteen bytes a step with SSE2: for a block d0..d15 entered with sum a,
// a grows by the bytes' sum and b by 16a + 16*d0 + 15*d1 + ... + 1*d15.
std::uint32_t checksum(const void* data, std::size_t len) noexcept {
    constexpr std::uint64_t kBase = 65521;
    constexpr std::size_t kChunk = 5536; // whole blocks whose lane sums stay within 32 bits
    const auto* p = static_cast<const unsigned char*>(data);
    const __m128i zero = _mm_setzero_si128();
    const __m128i w_lo = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i w_hi = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    std::uint64_t a = 1, b = 0;
    while (len > 0) {
        std::size_t n = len < kChunk ? len : kChunk;
        len -= n;
        std::size_t blocks = n / 16;
        __m128i sums = zero, before = zero, weighted = zero;
        for (std::size_t k = 0; k < blocks; ++k, p += 16) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            before = _mm_add_epi32(before, sums);
            sums = _mm_add_epi32(sums, _mm_sad_epu8(x, zero));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(x, zero), w_lo));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(x, zero), w_hi));
        }
        alignas(16) std::uint32_t lanes[3][4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes[0]), sums);
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes[1]), before);
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes[2]), weighted);
        std::uint64_t total[3];
        for (int v = 0; v < 3; ++v)
            total[v] = std::uint64_t{lanes[v][0]} + lanes[v][1] + lanes[v][2] + lanes[v][3];
        b += 16 * (blocks * a + total[1]) + total[2];
        a += total[0];
        for (std::size_t k = blocks * 16; k < n; ++k) {
            a += *p++;
            b += a;
        }
        a %= kBase;
        b %= kBase;
    }
    return static_cast<std::uint32_t>(b << 16 | a);
}

} // namespace qvrec
