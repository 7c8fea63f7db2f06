// The x86_64 CRC-32C steps (SSE4.2 crc32) and 128-bit carry-less folds (PCLMULQDQ) that every
// x86_64 kernel file builds on. A file includes this after enabling at least
// "sse4.2,pclmul" with #pragma GCC target.
//
// Internal linkage on purpose: each kernel file compiles these for its own instructions, and
// the linker must not pick one file's copy (say the AVX-512 one) for another file's callers.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace kova::crc {
namespace {

struct X86 {
    static std::uint32_t step64(std::uint32_t c, std::uint64_t w) { return static_cast<std::uint32_t>(_mm_crc32_u64(c, w)); }
    static std::uint32_t step32(std::uint32_t c, std::uint32_t w) { return _mm_crc32_u32(c, w); }
    static std::uint32_t step16(std::uint32_t c, std::uint16_t w) { return _mm_crc32_u16(c, w); }
    static std::uint32_t step8(std::uint32_t c, std::uint8_t w) { return _mm_crc32_u8(c, w); }
    static std::uint64_t clmul(std::uint64_t a, std::uint64_t b)
    {
        return static_cast<std::uint64_t>(_mm_cvtsi128_si64(
            _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(a)), _mm_cvtsi64_si128(static_cast<long long>(b)), 0)));
    }
};

struct X86Vector {
    using V = __m128i;
    // The shuffle that reverses the 16 bytes of a lane (first byte most significant).
    static V reverse_mask() { return _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }
    static V load(const unsigned char *p) { return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const V *>(p)), reverse_mask()); }
    static V make(std::uint64_t hi, std::uint64_t lo) { return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo)); }
    static V xor2(V a, V b) { return _mm_xor_si128(a, b); }
    static V xor_lo(V a, std::uint64_t lo) { return _mm_xor_si128(a, make(0, lo)); }
    static std::uint64_t hi(V a) { return static_cast<std::uint64_t>(_mm_extract_epi64(a, 1)); }
    static std::uint64_t lo(V a) { return static_cast<std::uint64_t>(_mm_cvtsi128_si64(a)); }
    static V clmul(std::uint64_t a, std::uint64_t b) { return _mm_clmulepi64_si128(make(0, a), make(0, b), 0x00); }
    static V fold(V a, std::uint64_t k_hi, std::uint64_t k_lo)
    {
        V k = make(k_hi, k_lo);
        return _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x11), _mm_clmulepi64_si128(a, k, 0x00));
    }
    static void prefetch(const unsigned char *p) { _mm_prefetch(reinterpret_cast<const char *>(p), _MM_HINT_T0); }
};

}  // namespace
}  // namespace kova::crc
