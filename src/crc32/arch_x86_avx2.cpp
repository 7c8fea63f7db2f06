// x86_64 folding kernels over ymm registers: two 128-bit lanes per VPCLMULQDQ, for processors
// (or systems) without AVX-512. Everything in this file is compiled for AVX2 and VPCLMULQDQ and
// runs only once the processor and the system's saved register state allow them (cpu.cpp).
#if defined(__x86_64__)
#pragma GCC target("sse4.2,pclmul,avx2,vpclmulqdq")
#include "crc32/fold_wide.h"

namespace kova::crc {
namespace {

struct Avx2 {
    using Z = __m256i;
    static constexpr unsigned kBytes = 32;
    static constexpr std::uint64_t kFoldFrom = 64;

    static Z load(const unsigned char *p) { return _mm256_loadu_si256(reinterpret_cast<const Z *>(p)); }
    static void store(unsigned char *p, Z v) { _mm256_storeu_si256(reinterpret_cast<Z *>(p), v); }
    static Z reverse_lanes(Z v) { return _mm256_shuffle_epi8(v, _mm256_broadcastsi128_si256(X86Vector::reverse_mask())); }
    static Z widen(__m128i v) { return _mm256_zextsi128_si256(v); }
    static Z zero() { return _mm256_setzero_si256(); }
    static Z xor2(Z a, Z b) { return _mm256_xor_si256(a, b); }
    static Z broadcast(poly16::FoldConstants k) { return _mm256_broadcastsi128_si256(X86Vector::make(k.hi, k.lo)); }
    static Z fold_xor(Z a, Z k, Z next)
    {
        return _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(a, k, 0x11), _mm256_clmulepi64_epi128(a, k, 0x00)), next);
    }
    // Lane 0 folded over 16 bytes onto lane 1.
    template <class Lanes>
    static __m128i narrow(Z a)
    {
        constexpr auto k16 = Lanes::over(16);
        return _mm_xor_si128(X86Vector::fold(_mm256_castsi256_si128(a), k16.hi, k16.lo), _mm256_extracti128_si256(a, 1));
    }
};

}  // namespace
}  // namespace kova::crc

// Split blocks of 74 vectors folded and three lanes of 72 words: 4096 bytes. A ymm fold takes
// half the bytes of a zmm one for the same multiplies, so the lanes take a larger share.
KOVA_CRC_DEFINE_WIDE_KERNELS(kova::crc::Avx2, 256, 74, 72)
#endif
