// What the processor offers for checksums, and the kernels built for it (crc32/arch_*.cpp).
// The kernels may only be called when cpu() says the instructions are there.
#pragma once

#include <cstdint>
#include <span>

namespace kova::crc {

struct Cpu {
    bool crc32c = false;     // aarch64 CRC32 extension; x86_64 SSE4.2
    bool clmul = false;      // aarch64 PMULL; x86_64 PCLMULQDQ
    std::uint32_t midr = 0;  // aarch64 MIDR_EL1 where the kernel lets us read it; 0 elsewhere
    bool clmul256 = false;   // x86_64 VPCLMULQDQ and AVX2 on ymm, the system saving ymm state
    bool clmul512 = false;   // x86_64 VPCLMULQDQ and AVX-512 F/BW/VL on zmm, the system saving zmm state
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
#if defined(__x86_64__)
std::uint32_t fold256(void *unused, std::uint64_t n, std::uint32_t crc, const void *src);
std::uint32_t fold256_copy(void *dst, std::uint64_t n, std::uint32_t crc, const void *src);
std::uint16_t crc16_fold256(std::uint16_t crc, const unsigned char *p, std::uint64_t n);
std::uint32_t fold512(void *unused, std::uint64_t n, std::uint32_t crc, const void *src);
std::uint32_t fold512_copy(void *dst, std::uint64_t n, std::uint32_t crc, const void *src);
std::uint16_t crc16_fold512(std::uint16_t crc, const unsigned char *p, std::uint64_t n);
#endif
}  // namespace hw

// Every kernel built for this processor, best first. kova_crc32_init takes the first one the
// processor runs and prefers; tests run each one the processor runs.
using Crc32cFn = std::uint32_t (*)(void *dst, std::uint64_t n, std::uint32_t crc, const void *src);
using Crc16Fn = std::uint16_t (*)(std::uint16_t crc, const unsigned char *p, std::uint64_t n);
struct Crc32cKernel {
    const char *name;
    bool (*runs_on)(const Cpu &);
    bool (*preferred_on)(const Cpu &);
    Crc32cFn update;  // the first argument is ignored
    Crc32cFn copy;
};
struct Crc16Kernel {
    const char *name;
    bool (*runs_on)(const Cpu &);
    Crc16Fn update;
};
std::span<const Crc32cKernel> crc32c_kernels();
std::span<const Crc16Kernel> crc16_kernels();

}  // namespace kova::crc
