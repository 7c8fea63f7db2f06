// aarch64 kernels: the CRC32C instructions for the CRC-32C steps, PMULL for the merges and the
// CRC-16 folds. Everything in this file is compiled for those instructions.
#if defined(__aarch64__)
#pragma GCC target("+crc+crypto")
#include <arm_acle.h>
#include <arm_neon.h>

#include "crc32/define_kernels.h"

namespace kova::crc {
namespace {

struct Arm {
    static std::uint32_t step64(std::uint32_t c, std::uint64_t w) { return __crc32cd(c, w); }
    static std::uint32_t step32(std::uint32_t c, std::uint32_t w) { return __crc32cw(c, w); }
    static std::uint32_t step16(std::uint32_t c, std::uint16_t w) { return __crc32ch(c, w); }
    static std::uint32_t step8(std::uint32_t c, std::uint8_t w) { return __crc32cb(c, w); }
    static std::uint64_t clmul(std::uint64_t a, std::uint64_t b)
    {
        return vgetq_lane_u64(vreinterpretq_u64_p128(vmull_p64(a, b)), 0);
    }
};

struct ArmVector {
    using V = uint64x2_t;  // lane 0 low, lane 1 high
    static V load(const unsigned char *p)
    {
        uint8x16_t bytes = vrev64q_u8(vld1q_u8(p));
        return vreinterpretq_u64_u8(vextq_u8(bytes, bytes, 8));
    }
    static V make(std::uint64_t hi, std::uint64_t lo) { return vcombine_u64(vcreate_u64(lo), vcreate_u64(hi)); }
    static V xor2(V a, V b) { return veorq_u64(a, b); }
    static V xor_lo(V a, std::uint64_t lo) { return veorq_u64(a, make(0, lo)); }
    static std::uint64_t hi(V a) { return vgetq_lane_u64(a, 1); }
    static std::uint64_t lo(V a) { return vgetq_lane_u64(a, 0); }
    static V clmul(std::uint64_t a, std::uint64_t b) { return vreinterpretq_u64_p128(vmull_p64(a, b)); }
    static V fold(V a, std::uint64_t k_hi, std::uint64_t k_lo)
    {
        return veorq_u64(clmul(hi(a), k_hi), clmul(lo(a), k_lo));
    }
    static void prefetch(const unsigned char *p) { __builtin_prefetch(p); }
};

}  // namespace
}  // namespace kova::crc

KOVA_CRC_DEFINE_KERNELS(kova::crc::Arm, kova::crc::ArmVector)
#endif
