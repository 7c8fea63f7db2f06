// The register record the fault handler prints and hands to the exception chain: 31 general
// registers, then stack pointer, program counter and processor state (34 words).
// aarch64: x0..x30, sp, pc, pstate as the kernel saved them.
// x86_64: R0..R13 are rax, rbx, rcx, rdx, rsi, rdi, r8..r15 in that order, R29 is rbp (the frame
// pointer, as x29 is on aarch64), the rest 0; sp is rsp, pc rip, pstate eflags.
#pragma once

#include <ucontext.h>

#include <cstdint>

namespace kova::arch {

struct MachineRegs {
    std::uint64_t r[31];
    std::uint64_t sp;
    std::uint64_t pc;
    std::uint64_t pstate;
};
static_assert(sizeof(MachineRegs) == 34 * 8);

inline MachineRegs machine_regs(const ucontext_t *context)
{
    MachineRegs regs{};
    if (context == nullptr) return regs;
#if defined(__aarch64__)
    for (int i = 0; i < 31; ++i) regs.r[i] = context->uc_mcontext.regs[i];
    regs.sp = context->uc_mcontext.sp;
    regs.pc = context->uc_mcontext.pc;
    regs.pstate = context->uc_mcontext.pstate;
#elif defined(__x86_64__)
    const greg_t *g = context->uc_mcontext.gregs;
    constexpr int kOrder[] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI, REG_RDI, REG_R8,  REG_R9,
                              REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};
    for (int i = 0; i < 14; ++i) regs.r[i] = static_cast<std::uint64_t>(g[kOrder[i]]);
    regs.r[29] = static_cast<std::uint64_t>(g[REG_RBP]);
    regs.sp = static_cast<std::uint64_t>(g[REG_RSP]);
    regs.pc = static_cast<std::uint64_t>(g[REG_RIP]);
    regs.pstate = static_cast<std::uint64_t>(g[REG_EFL]);
#endif
    return regs;
}

}  // namespace kova::arch
