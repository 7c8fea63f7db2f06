// The CRC-16/T10-DIF kernel's structure, shared by the processors. `Isa` supplies a 128-bit
// vector V holding 16 message bytes as a polynomial (first byte most significant), the
// carry-less folds and a prefetch; a kernel file includes this after enabling the
// instructions.
//
// A 128-bit value A standing for A(x) * x^(8 * bytes after it) is folded over D bytes with
//   A' = hi64(A) * (x^(8D+64) mod P)  ^  lo64(A) * (x^(8D) mod P)      (each product < 80 bits)
// which keeps A' = A * x^(8D) (mod P). The crc is A * x^16 mod P: two folds by 8 bytes bring A
// below 64 bits, and a Barrett step with mu = x^80 / P takes the remainder.
//
//   exactly 512 bytes: four accumulators over 64-byte steps, no head or tail
//   16 bytes or fewer: the table
//   otherwise: the table up to 16-byte alignment, four accumulators over 256-byte blocks
//   (prefetching ahead) and 64-byte steps, one accumulator over 16-byte steps, the table for
//   the last 0..15 bytes
#pragma once

#include <cstdint>

#include "crc32/tables.h"

namespace kova::crc {
namespace {  // compiled per kernel file for its instructions (see x86_isa.h)

namespace poly16 {
constexpr std::uint64_t kP = 0x10000u | kCrc16Poly;

// x^n mod P.
consteval std::uint64_t x_pow_mod(unsigned n)
{
    std::uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) r = (r << 1) ^ ((r & 0x8000u) != 0 ? kP : 0);
    return r;
}

// The low 64 bits of x^80 / P (its x^64 term is applied separately).
consteval std::uint64_t barrett_mu()
{
    unsigned __int128 rem = static_cast<unsigned __int128>(1) << 80, quotient = 0;
    for (int shift = 64; shift >= 0; --shift) {
        if (((rem >> (shift + 16)) & 1) != 0) {
            quotient |= static_cast<unsigned __int128>(1) << shift;
            rem ^= static_cast<unsigned __int128>(kP) << shift;
        }
    }
    return static_cast<std::uint64_t>(quotient);
}

struct FoldConstants {
    std::uint64_t hi, lo;
};
consteval FoldConstants over(unsigned bytes) { return {x_pow_mod(8 * bytes + 64), x_pow_mod(8 * bytes)}; }
}  // namespace poly16

template <class Isa>
struct Crc16Fold {
    using V = typename Isa::V;

    static V fold(V a, poly16::FoldConstants k, V next) { return Isa::xor2(Isa::fold(a, k.hi, k.lo), next); }

    static std::uint16_t reduce(V a)
    {
        constexpr std::uint64_t k64 = poly16::x_pow_mod(64);
        V v = Isa::xor_lo(Isa::clmul(Isa::hi(a), k64), Isa::lo(a));       // < 80 bits
        std::uint64_t w = Isa::lo(Isa::clmul(Isa::hi(v), k64)) ^ Isa::lo(v);  // < 64 bits
        std::uint64_t q = Isa::hi(Isa::clmul(w, poly16::barrett_mu())) ^ w;
        return static_cast<std::uint16_t>(Isa::lo(Isa::clmul(q, kCrc16Poly)));
    }

    // Takes the whole 16-byte pieces of n >= 16 bytes; p and n are left on the rest (0..15).
    static std::uint16_t blocks(std::uint16_t crc, const unsigned char *&p, std::uint64_t &n)
    {
        V a0 = Isa::xor2(Isa::load(p), Isa::make(static_cast<std::uint64_t>(crc) << 48, 0));
        V acc;
        if (n >= 64) {
            V a1 = Isa::load(p + 16), a2 = Isa::load(p + 32), a3 = Isa::load(p + 48);
            p += 64;
            n -= 64;
            constexpr auto k64 = poly16::over(64);
            auto step = [&] {
                a0 = fold(a0, k64, Isa::load(p));
                a1 = fold(a1, k64, Isa::load(p + 16));
                a2 = fold(a2, k64, Isa::load(p + 32));
                a3 = fold(a3, k64, Isa::load(p + 48));
                p += 64;
                n -= 64;
            };
            for (; n >= 256;) {
                Isa::prefetch(p + 512);
                step();
                step();
                step();
                step();
            }
            while (n >= 64) step();
            acc = Isa::xor2(Isa::fold(a0, poly16::over(48).hi, poly16::over(48).lo),
                            Isa::fold(a1, poly16::over(32).hi, poly16::over(32).lo));
            acc = fold(a2, poly16::over(16), Isa::xor2(acc, a3));
        } else {
            acc = a0;
            p += 16;
            n -= 16;
        }
        for (; n >= 16; p += 16, n -= 16) acc = fold(acc, poly16::over(16), Isa::load(p));
        return reduce(acc);
    }

    static std::uint16_t run(std::uint16_t crc, const unsigned char *p, std::uint64_t n)
    {
        if (n == 512) {
            std::uint64_t left = 512;
            return blocks(crc, p, left);
        }
        if (n <= 16) return crc16_table_update(crc, p, n);
        std::uint64_t head = (0u - reinterpret_cast<std::uintptr_t>(p)) & 15u;
        if (n - head < 16) return crc16_table_update(crc, p, n);
        crc = crc16_table_update(crc, p, head);
        p += head;
        n -= head;
        crc = blocks(crc, p, n);
        return crc16_table_update(crc, p, n);
    }
};

}  // namespace
}  // namespace kova::crc
