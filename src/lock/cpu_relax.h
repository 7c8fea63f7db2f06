// The spin-wait hint shared by the lock families: tells the core (and an SMT sibling) that the
// loop is waiting, without giving up the processor.
#pragma once

namespace kova::lock {

inline void cpu_relax()
{
#if defined(__x86_64__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

}  // namespace kova::lock
