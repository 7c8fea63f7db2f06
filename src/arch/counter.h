// The processor's free-running counter and its frequency.
//
// aarch64: the generic timer's virtual counter CNTVCT_EL0 and CNTFRQ_EL0.
// x86_64:  CLOCK_MONOTONIC through the vDSO, presented as a 1 GHz counter. The TSC would be
//          cheaper, but its frequency is not published by every hypervisor (CPUID leaf 0x15 may
//          read zero) and calibrating it would make the factor an estimate.
#pragma once

#include <cstdint>

#if defined(__aarch64__)
namespace kova::arch {
inline std::uint64_t read_counter()
{
    std::uint64_t value;
    asm volatile("mrs %0, cntvct_el0" : "=r"(value));
    return value;
}
inline std::uint64_t counter_frequency()
{
    std::uint64_t value;
    asm volatile("mrs %0, cntfrq_el0" : "=r"(value));
    return value;
}
}  // namespace kova::arch
#elif defined(__x86_64__)
#include <time.h>
namespace kova::arch {
inline std::uint64_t read_counter()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}
inline std::uint64_t counter_frequency() { return 1000000000u; }
}  // namespace kova::arch
#else
#error "libkova supports aarch64 and x86_64"
#endif
