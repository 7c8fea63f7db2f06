// x86_64 folding kernels over zmm registers: four 128-bit lanes per VPCLMULQDQ. Everything in
// this file is compiled for AVX-512 (F, BW, VL) and VPCLMULQDQ and runs only once the processor
// and the system's saved register state are known to allow them (cpu.cpp).
#if defined(__x86_64__)
#pragma GCC target("sse4.2,pclmul,avx2,avx512f,avx512bw,avx512vl,vpclmulqdq")
// GCC 12 reports the deliberately unset vector behind its own AVX-512 broadcasts and extracts
// as a read of an uninitialised value; the warning points into its header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include "crc32/fold_wide.h"

namespace kova::crc {
namespace {

struct Avx512 {
    using Z = __m512i;
    static constexpr unsigned kBytes = 64;
    static constexpr std::uint64_t kFoldFrom = 64;

    static Z load(const unsigned char *p) { return _mm512_loadu_si512(p); }
    static void store(unsigned char *p, Z v) { _mm512_storeu_si512(p, v); }
    static Z reverse_lanes(Z v) { return _mm512_shuffle_epi8(v, _mm512_broadcast_i32x4(X86Vector::reverse_mask())); }
    static Z widen(__m128i v) { return _mm512_zextsi128_si512(v); }
    static Z zero() { return _mm512_setzero_si512(); }
    static Z xor2(Z a, Z b) { return _mm512_xor_si512(a, b); }
    static Z broadcast(poly16::FoldConstants k) { return _mm512_broadcast_i32x4(X86Vector::make(k.hi, k.lo)); }
    static Z fold_xor(Z a, Z k, Z next)
    {
        return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(a, k, 0x11), _mm512_clmulepi64_epi128(a, k, 0x00), next, 0x96);
    }
    // Lanes 0, 1 and 2 folded over 48, 32 and 16 bytes onto lane 3.
    template <class Lanes>
    static __m128i narrow(Z a)
    {
        constexpr auto k48 = Lanes::over(48), k32 = Lanes::over(32), k16 = Lanes::over(16);
        const Z k = _mm512_set_epi64(0, 0, static_cast<long long>(k16.hi), static_cast<long long>(k16.lo),
                                     static_cast<long long>(k32.hi), static_cast<long long>(k32.lo),
                                     static_cast<long long>(k48.hi), static_cast<long long>(k48.lo));
        const Z folded = fold_xor(a, k, _mm512_maskz_mov_epi64(0xC0, a));  // lane 3's constants are 0
        const __m256i half = _mm256_xor_si256(_mm512_castsi512_si256(folded), _mm512_extracti64x4_epi64(folded, 1));
        return _mm_xor_si128(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    }
};

}  // namespace
}  // namespace kova::crc

// Split blocks of 43 vectors folded and three lanes of 56 words: 4096 bytes, about the share
// each unit takes in the same time on the AMD EPYC of docs/crc32.md (a seventh more or less
// for the lanes measured the same).
KOVA_CRC_DEFINE_WIDE_KERNELS(kova::crc::Avx512, 512, 43, 56)
#endif
