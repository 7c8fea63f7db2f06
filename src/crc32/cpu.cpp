#include <atomic>

#include "crc32/hw.h"

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#elif defined(__x86_64__)
#include <cpuid.h>
#endif

namespace kova::crc {
namespace {

#if defined(__x86_64__)
// XCR0: the register state the system saves across context switches. An instruction set whose
// registers it does not save cannot be used even where CPUID lists it.
std::uint64_t xcr0()
{
    std::uint32_t lo, hi;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}
#endif

Cpu detect()
{
    Cpu c;
#if defined(__x86_64__)
    unsigned a, b, ecx, d;
    if (__get_cpuid(1, &a, &b, &ecx, &d) == 0) return c;
    c.crc32c = (ecx & bit_SSE4_2) != 0;
    c.clmul = (ecx & bit_PCLMUL) != 0;
    const std::uint64_t saved = (ecx & bit_OSXSAVE) != 0 ? xcr0() : 0;
    const bool ymm = (ecx & bit_AVX) != 0 && (saved & 0x6) == 0x6;  // SSE and AVX state
    const bool zmm = ymm && (saved & 0xE0) == 0xE0;                  // opmasks, zmm0-15 upper halves, zmm16-31
    if (__get_cpuid_count(7, 0, &a, &b, &ecx, &d) == 0) return c;
    constexpr unsigned avx512 = bit_AVX512F | bit_AVX512BW | bit_AVX512VL;
    c.clmul256 = can_fold(c) && ymm && (b & bit_AVX2) != 0 && (ecx & bit_VPCLMULQDQ) != 0;
    c.clmul512 = c.clmul256 && zmm && (b & avx512) == avx512;
#elif defined(__aarch64__)
    unsigned long hwcap = getauxval(AT_HWCAP);
    c.crc32c = (hwcap & HWCAP_CRC32) != 0;
    c.clmul = (hwcap & HWCAP_PMULL) != 0;
    // The kernel emulates reading the identification register only where it says so.
    if ((hwcap & HWCAP_CPUID) != 0) {
        std::uint64_t midr;
        asm volatile("mrs %0, midr_el1" : "=r"(midr));
        c.midr = static_cast<std::uint32_t>(midr);
    }
#endif
    return c;
}

std::atomic<const Cpu *> substitute_cpu{nullptr};

}  // namespace

const Cpu &cpu()
{
    static const Cpu real = detect();
    const Cpu *s = substitute_cpu.load(std::memory_order_acquire);
    return s != nullptr ? *s : real;
}

void set_cpu_for_test(const Cpu *substitute) { substitute_cpu.store(substitute, std::memory_order_release); }

}  // namespace kova::crc
