#include <atomic>

#include "crc32/hw.h"

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace kova::crc {
namespace {

Cpu detect()
{
    Cpu c;
#if defined(__x86_64__)
    __builtin_cpu_init();
    c.crc32c = __builtin_cpu_supports("sse4.2");
    c.clmul = __builtin_cpu_supports("pclmul");
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
