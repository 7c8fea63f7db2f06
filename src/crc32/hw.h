// What the processor offers for checksums, and the kernels built for it (crc32/arch_*.cpp).
// The kernels may only be called when cpu() says the instructions are there.
#pragma once

#include <cstdint>

namespace kova::crc {

struct Cpu {
    bool crc32c = false;  // aarch64 CRC32 extension; x86_64 SSE4.2
    bool clmul = false;   // aarch64 PMULL; x86_64 PCLMULQDQ
    std::uint32_t midr = 0;  // aarch64 MIDR_EL1 where the kernel lets us read it; 0 elsewhere
};

// Detected once; a test may substitute another processor (null restores the real one) and
// then call kova_crc32_init to select again.
const Cpu &cpu();
void set_cpu_for_test(const Cpu *substitute);

inline bool can_fold(const Cpu &c) { return c.crc32c && c.clmul; }

namespace hw {
std::uint32_t single(void *unused, std::uint64_t n, std::uint32_t crc, const void *src);
std::uint32_t three(void *unused, std::uint64_t n, std::uint32_t crc, const void *src);
std::uint32_t single_copy(void *dst, std::uint64_t n, std::uint32_t crc, const void *src);
std::uint32_t three_copy(void *dst, std::uint64_t n, std::uint32_t crc, const void *src);
std::uint16_t crc16(std::uint16_t crc, const unsigned char *p, std::uint64_t n);
}  // namespace hw

}  // namespace kova::crc
