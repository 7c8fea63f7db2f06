// Folding kernels over wide vectors for x86_64: VPCLMULQDQ multiplies every 128-bit lane of a
// ymm (two lanes) or zmm (four lanes) at once, so both checksums advance 32 or 64 bytes per
// fold instead of being bound by one crc32 instruction per cycle. `W` supplies the vector type
// and its handful of operations (arch_x86_avx2.cpp, arch_x86_avx512.cpp); a file includes this
// after enabling those instructions.
//
//   4 accumulators, each one vector, over blocks of 4 vectors   (while >= 4 vectors remain)
//   merged into one: a0 folded over 3 vectors, a1 over 2, a2 over 1, a3 as it is
//   1 accumulator over single vectors                          (while >= 1 vector remains)
//   narrowed to one 128-bit lane: lane j folded over the lanes after it
//   CRC-32C: two crc32 steps turn the lane into the crc, crc32 steps take the last 0..63 bytes
//   CRC-16: 16-byte folds, the Barrett reduction of crc16_fold.h, the table for 0..15 bytes
//
// Every fold multiplies a lane's two 64-bit halves by constants x^k mod P (one product per
// half, each below 96 bits) and adds the next data: the lane's polynomial stays congruent,
// modulo P, to all the message it has absorbed. The constants are derived below at compile
// time; the tests compare every kernel with the table at every length, so a wrong constant
// cannot pass.
#pragma once

#include <cstdint>
#include <type_traits>

#include "crc32/crc16_fold.h"
#include "crc32/crc32c_streams.h"
#include "crc32/x86_isa.h"

namespace kova::crc {
namespace {  // compiled per kernel file for its instructions (see x86_isa.h)

namespace poly32c {
constexpr std::uint64_t kP = 0x100000000ull | 0x1EDC6F41u;  // the polynomial, x^32 included

// x^n mod P, bit d standing for x^d.
consteval std::uint64_t x_pow_mod(unsigned n)
{
    std::uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) r = (r << 1) ^ ((r & 0x80000000u) != 0 ? kP : 0);
    return r;
}

consteval std::uint64_t reflect64(std::uint64_t v)
{
    std::uint64_t r = 0;
    for (int i = 0; i < 64; ++i) r |= ((v >> i) & 1) << (63 - i);
    return r;
}

// CRC-32C is bit-reflected: a lane loaded from memory holds its first bit in bit 0, so bit i
// stands for x^(127-i). Its low half L is the coefficient of x^64 and its high half H of x^0:
// folding the lane over D bytes is L * x^(8D+64) + H * x^(8D). A carry-less product of two
// reflected 64-bit values comes out one place short (bit i + j of the product stands for
// x^(126-i-j), one below the lane's x^(127-i-j)), that is multiplied by x: so the constants
// are x^(8D+63) mod P for L and x^(8D-1) mod P for H, each reflected to 64 bits.
consteval poly16::FoldConstants over(unsigned bytes)
{
    return {reflect64(x_pow_mod(8 * bytes - 1)), reflect64(x_pow_mod(8 * bytes + 63))};
}
}  // namespace poly32c

// How a checksum's message bytes sit in a lane, and its fold constants.
struct Crc32cLanes {
    static constexpr bool kReversed = false;  // the bytes as loaded, first byte lowest
    static consteval poly16::FoldConstants over(unsigned bytes) { return poly32c::over(bytes); }
};
struct Crc16Lanes {
    static constexpr bool kReversed = true;  // byte-reversed, first byte most significant
    static consteval poly16::FoldConstants over(unsigned bytes) { return poly16::over(bytes); }
};

template <class W, class Lanes, bool kCopy>
struct WideFold {
    using Z = typename W::Z;
    static constexpr unsigned kBytes = W::kBytes;

    static Z take(const Cursor<kCopy> &c, std::uint64_t offset)
    {
        Z v = W::load(c.src + offset);
        if constexpr (kCopy) W::store(c.dst + offset, v);
        if constexpr (Lanes::kReversed) v = W::reverse_lanes(v);
        return v;
    }

    template <unsigned kDistance>
    static Z fold(Z a, Z next)
    {
        constexpr poly16::FoldConstants k = Lanes::over(kDistance);
        return W::fold_xor(a, W::broadcast(k), next);
    }

    // Folds every whole vector of the n - offset >= kBytes bytes at offset (the first one
    // combined with `first`, which carries the incoming crc); returns the 128-bit lane that
    // stands for them and leaves offset on the 0..kBytes-1 bytes after them.
    static __m128i run(Z first, const Cursor<kCopy> &c, std::uint64_t &offset, std::uint64_t n)
    {
        Z a = W::xor2(take(c, offset), first);
        offset += kBytes;
        if (n - offset >= 3 * kBytes) {
            Z a1 = take(c, offset), a2 = take(c, offset + kBytes), a3 = take(c, offset + 2 * kBytes);
            offset += 3 * kBytes;
            for (; n - offset >= 4 * kBytes; offset += 4 * kBytes) {
                a = fold<4 * kBytes>(a, take(c, offset));
                a1 = fold<4 * kBytes>(a1, take(c, offset + kBytes));
                a2 = fold<4 * kBytes>(a2, take(c, offset + 2 * kBytes));
                a3 = fold<4 * kBytes>(a3, take(c, offset + 3 * kBytes));
            }
            a = W::xor2(fold<3 * kBytes>(a, a3), W::xor2(fold<2 * kBytes>(a1, W::zero()), fold<kBytes>(a2, W::zero())));
        }
        for (; n - offset >= kBytes; offset += kBytes) a = fold<kBytes>(a, take(c, offset));
        return W::template narrow<Lanes>(a);
    }
};

// The crc32 instruction runs on other execution units than VPCLMULQDQ, so a large block is
// split: the folds take kVectors vectors while three crc32 streams of kQwords words each take
// the rest, interleaved in one loop so that both units stay busy.
//
//   | folded: kVectors * W::kBytes, from crc | lane 1, from 0 | lane 2, from 0 | lane 3, from 0 |
//
// The folded lane is moved over the three lanes by one more fold, lanes 1 and 2 over the lanes
// after them by a carry-less product (as in crc32c_streams.h), and the four crcs added.
template <class W, unsigned kVectors, unsigned kQwords>
struct SplitBlock {
    static constexpr std::uint64_t kLane = 8 * kQwords;
    static constexpr std::uint64_t kFolded = std::uint64_t{kVectors} * W::kBytes;
    static constexpr std::uint64_t kSize = kFolded + 3 * kLane;
    static constexpr unsigned kRounds = (kVectors - 4) / 4;
    static constexpr unsigned kPerRound = kQwords / kRounds;
    static_assert(kVectors >= 8, "at least one round of four folds");

    // The product that moves a crc over `bytes` zero bytes, reduced by one crc32 step.
    static consteval std::uint64_t shift(std::uint64_t bytes) { return poly32c::reflect64(poly32c::x_pow_mod(8 * bytes - 32)) >> 31; }

    template <bool kCopy>
    static std::uint32_t run(std::uint32_t crc, const Cursor<kCopy> &c, std::uint64_t offset)
    {
        using F = WideFold<W, Crc32cLanes, kCopy>;
        constexpr unsigned B = W::kBytes;
        const std::uint64_t lane = offset + kFolded;
        std::uint32_t l1 = 0, l2 = 0, l3 = 0;
        auto steps = [&](std::uint64_t from, unsigned count) {
            for (unsigned k = 0; k < count; ++k, from += 8) {
                l1 = X86::step64(l1, c.template take<std::uint64_t>(from));
                l2 = X86::step64(l2, c.template take<std::uint64_t>(from + kLane));
                l3 = X86::step64(l3, c.template take<std::uint64_t>(from + 2 * kLane));
            }
        };
        typename W::Z a = W::xor2(F::take(c, offset), W::widen(_mm_cvtsi32_si128(static_cast<int>(crc))));
        typename W::Z a1 = F::take(c, offset + B), a2 = F::take(c, offset + 2 * B), a3 = F::take(c, offset + 3 * B);
        std::uint64_t at = offset + 4 * B;
#pragma GCC unroll 2
        for (unsigned r = 0; r < kRounds; ++r, at += 4 * B) {
            a = F::template fold<4 * B>(a, F::take(c, at));
            a1 = F::template fold<4 * B>(a1, F::take(c, at + B));
            a2 = F::template fold<4 * B>(a2, F::take(c, at + 2 * B));
            a3 = F::template fold<4 * B>(a3, F::take(c, at + 3 * B));
            steps(lane + std::uint64_t{8} * kPerRound * r, kPerRound);
        }
        a = W::xor2(F::template fold<3 * B>(a, a3), W::xor2(F::template fold<2 * B>(a1, W::zero()), F::template fold<B>(a2, W::zero())));
        for (; at < offset + kFolded; at += B) a = F::template fold<B>(a, F::take(c, at));
        steps(lane + std::uint64_t{8} * kPerRound * kRounds, kQwords - kPerRound * kRounds);
        constexpr poly16::FoldConstants k = Crc32cLanes::over(3 * kLane);
        const __m128i moved = X86Vector::fold(W::template narrow<Crc32cLanes>(a), k.hi, k.lo);
        return X86::step64(X86::step64(0, X86Vector::lo(moved)), X86Vector::hi(moved)) ^ X86::step64(0, X86::clmul(l1, shift(2 * kLane))) ^
               X86::step64(0, X86::clmul(l2, shift(kLane))) ^ l3;
    }
};

template <class W, bool kCopy, class Split = void>
std::uint32_t crc32c_fold(void *dst, std::uint64_t n, std::uint32_t crc, const void *src)
{
    const Cursor<kCopy> c{static_cast<unsigned char *>(dst), static_cast<const unsigned char *>(src)};
    std::uint64_t offset = 0;
    if constexpr (!std::is_void_v<Split>)
        for (; n - offset >= Split::kSize; offset += Split::kSize) crc = Split::run(crc, c, offset);
    if (n - offset >= W::kFoldFrom) {
        const __m128i lane = WideFold<W, Crc32cLanes, kCopy>::run(W::widen(_mm_cvtsi32_si128(static_cast<int>(crc))), c, offset, n);
        crc = X86::step64(X86::step64(0, X86Vector::lo(lane)), X86Vector::hi(lane));
    }
    return single_stream_tail<X86>(crc, c, offset, n);
}

// The reduction of crc16_fold.h without leaving the vector registers (each move to a general
// register and back costs more than the multiply): a lane below 128, then 80, then 64 bits,
// and the Barrett step.
inline std::uint16_t crc16_reduce(__m128i a)
{
    const __m128i k = _mm_set_epi64x(static_cast<long long>(poly16::barrett_mu()), static_cast<long long>(poly16::x_pow_mod(64)));
    const __m128i poly = _mm_cvtsi64_si128(kCrc16Poly);
    a = _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x01), _mm_move_epi64(a));      // < 80 bits
    a = _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x01), _mm_move_epi64(a));      // < 64 bits
    const __m128i q = _mm_xor_si128(_mm_srli_si128(_mm_clmulepi64_si128(a, k, 0x10), 8), a);
    return static_cast<std::uint16_t>(_mm_cvtsi128_si32(_mm_clmulepi64_si128(q, poly, 0x00)));
}

template <class W>
std::uint16_t crc16_fold(std::uint16_t crc, const unsigned char *p, std::uint64_t n)
{
    if (n < W::kBytes) return Crc16Fold<X86Vector>::run(crc, p, n);
    const Cursor<false> c{nullptr, p};
    std::uint64_t offset = 0;
    const __m128i first = X86Vector::make(static_cast<std::uint64_t>(crc) << 48, 0);
    __m128i lane = WideFold<W, Crc16Lanes, false>::run(W::widen(first), c, offset, n);
    for (; n - offset >= 16; offset += 16) lane = Crc16Fold<X86Vector>::fold(lane, poly16::over(16), X86Vector::load(p + offset));
    return crc16_table_update(crc16_reduce(lane), p + offset, n - offset);
}

}  // namespace
}  // namespace kova::crc

// The kernels of hw.h for one vector width. The copy kernel folds only: each crc32 step would
// add an 8-byte store to the vector stores, and measured slower than the folds alone.
#define KOVA_CRC_DEFINE_WIDE_KERNELS(W, bits, split_vectors, split_qwords)                           \
    namespace kova::crc::hw {                                                                         \
    std::uint32_t fold##bits(void *d, std::uint64_t n, std::uint32_t crc, const void *s)              \
    {                                                                                                 \
        return crc32c_fold<W, false, SplitBlock<W, split_vectors, split_qwords>>(d, n, crc, s);       \
    }                                                                                                 \
    std::uint32_t fold##bits##_copy(void *d, std::uint64_t n, std::uint32_t crc, const void *s)       \
    {                                                                                                 \
        return crc32c_fold<W, true>(d, n, crc, s);                                                    \
    }                                                                                                 \
    std::uint16_t crc16_fold##bits(std::uint16_t crc, const unsigned char *p, std::uint64_t n)        \
    {                                                                                                 \
        return crc16_fold<W>(crc, p, n);                                                              \
    }                                                                                                 \
    }
