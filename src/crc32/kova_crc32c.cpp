#include "kova/kova_crc32.h"

#include <atomic>
#include <cstring>

#include "crc32/hw.h"
#include "crc32/tables.h"
#include "init/kova_log.h"

KOVA_LOG_SOURCE("crc32/kova_crc32c")

namespace kova::crc {
namespace {

// The one model that gets the three-stream kernel: Arm Neoverse N1 (implementer 0x41, part
// 0xD0C), whose CRC32C instruction has a latency of several cycles and one issue per cycle.
constexpr std::uint32_t kThreeStreamImplementer = 0x41;
constexpr std::uint32_t kThreeStreamPart = 0xD0C;

bool three_stream_model(const Cpu &c)
{
#if defined(__aarch64__)
    return ((c.midr >> 24) & 0xFFu) == kThreeStreamImplementer && ((c.midr >> 4) & 0xFFFu) == kThreeStreamPart;
#else
    (void)c;
    return true;  // every x86_64 core with crc32 issues one per cycle at a latency of three
#endif
}

bool always(const Cpu &) { return true; }
bool has_crc32c(const Cpu &c) { return c.crc32c; }
#if defined(__x86_64__)
bool has_clmul256(const Cpu &c) { return c.clmul256; }
bool has_clmul512(const Cpu &c) { return c.clmul512; }
#endif

std::uint32_t table_kernel(void *, std::uint64_t n, std::uint32_t crc, const void *src)
{
    return crc32c_table_update(crc, static_cast<const unsigned char *>(src), n);
}

std::uint32_t table_copy(void *dst, std::uint64_t n, std::uint32_t crc, const void *src)
{
    std::memcpy(dst, src, n);
    return table_kernel(dst, n, crc, src);
}

std::uint16_t crc16_table(std::uint16_t crc, const unsigned char *p, std::uint64_t n) { return crc16_table_update(crc, p, n); }

// Where the wide folds exist they beat the crc32 streams from 64 bytes on (bench/crc_bench.cpp);
// below that the kernels themselves hand over to the crc32 steps.
constexpr Crc32cKernel kCrc32cKernels[] = {
#if defined(__x86_64__)
    {"Crc32cFoldZmm", has_clmul512, always, hw::fold512, hw::fold512_copy},
    {"Crc32cFoldYmm", has_clmul256, always, hw::fold256, hw::fold256_copy},
#endif
    {"Asm3Crc32c", can_fold, three_stream_model, hw::three, hw::three_copy},
    {"AsmCrc32c", has_crc32c, always, hw::single, hw::single_copy},
    {"table", always, always, table_kernel, table_copy},
};

constexpr Crc16Kernel kCrc16Kernels[] = {
#if defined(__x86_64__)
    {"crc16_t10dif_zmm", has_clmul512, hw::crc16_fold512},
    {"crc16_t10dif_ymm", has_clmul256, hw::crc16_fold256},
#endif
    {"crc16_t10dif", can_fold, hw::crc16},
    {"table", always, crc16_table},
};

// The slots: null until kova_crc32_init (or the first checksum) fills them.
std::atomic<const Crc32cKernel *> crc32c_slot{nullptr};
std::atomic<const Crc16Kernel *> crc16_slot{nullptr};

template <class Kernel>
const Kernel &selected(const std::atomic<const Kernel *> &slot)
{
    const Kernel *k = slot.load(std::memory_order_relaxed);
    if (k == nullptr) {
        kova_crc32_init();
        k = slot.load(std::memory_order_relaxed);
    }
    return *k;
}

const Crc32cKernel &crc32c_selected() { return selected(crc32c_slot); }
const Crc16Kernel &crc16_selected() { return selected(crc16_slot); }

template <auto Kernel>
std::uint32_t continue_with(std::uint32_t crc, const void *buffer, std::uint32_t length)
{
    if (buffer == nullptr || length == 0) return crc;
    return Kernel(nullptr, length, crc, buffer);
}

}  // namespace

std::span<const Crc32cKernel> crc32c_kernels() { return kCrc32cKernels; }
std::span<const Crc16Kernel> crc16_kernels() { return kCrc16Kernels; }

}  // namespace kova::crc

using namespace kova::crc;

extern "C" void kova_crc32_init(void)
{
    const Cpu &c = cpu();
    const Crc32cKernel *k = kCrc32cKernels;
    while (!k->runs_on(c) || !k->preferred_on(c)) ++k;  // the table always qualifies
    const Crc16Kernel *k16 = kCrc16Kernels;
    while (!k16->runs_on(c)) ++k16;
    crc32c_slot.store(k, std::memory_order_relaxed);
    crc16_slot.store(k16, std::memory_order_relaxed);
    if (k->update == hw::three) KOVA_LOG(kova::log::kInfo, "platform support 3crc optimize, use 3crc algorithm.");
}

extern "C" uint32_t kova_crc32cContinue(uint32_t crc, const void *buffer, uint32_t length)
{
    if (buffer == nullptr || length == 0) return crc;
    return crc32c_selected().update(nullptr, length, crc, buffer);
}

extern "C" uint32_t kova_crc32cStart(const void *buffer, uint32_t length) { return kova_crc32cContinue(0xFFFFFFFFu, buffer, length); }

extern "C" uint32_t kova_crc32cEnd(uint32_t crc) { return ~crc; }

extern "C" uint32_t kova_crc32c(const void *buffer, uint32_t length)
{
    if (buffer == nullptr || length == 0) return 0;
    return ~kova_crc32cContinue(0xFFFFFFFFu, buffer, length);
}

extern "C" uint32_t kova_crc32cContinueSoft(uint32_t crc, const void *buffer, uint32_t length)
{
    return continue_with<table_kernel>(crc, buffer, length);
}

extern "C" uint32_t kova_crc32c_soft(const void *buffer, uint32_t length)
{
    if (buffer == nullptr || length == 0) return 0;
    return ~kova_crc32cContinueSoft(0xFFFFFFFFu, buffer, length);
}

extern "C" uint32_t kova_crc32cContinueHard(uint32_t crc, const void *buffer, uint32_t length)
{
    return continue_with<AsmCrc32c>(crc, buffer, length);
}

extern "C" uint32_t kova_3crc32cContinueHard(uint32_t crc, const void *buffer, uint32_t length)
{
    return continue_with<Asm3Crc32c>(crc, buffer, length);
}

extern "C" uint32_t kova_crc32cContinue_with_cpy(uint32_t crc, void *destination, uint32_t length, const void *source)
{
    return crc32c_selected().copy(destination, length, crc, source);
}

extern "C" uint16_t kova_crc16(uint16_t crc, const void *buffer, uint64_t length)
{
    if (buffer == nullptr || length == 0) return crc;
    return crc16_selected().update(crc, static_cast<const unsigned char *>(buffer), length);
}

extern "C" uint16_t kova_crc16_soft(uint16_t crc, const void *buffer, uint64_t length)
{
    if (buffer == nullptr || length == 0) return crc;
    return crc16_table_update(crc, static_cast<const unsigned char *>(buffer), length);
}

extern "C" const char *kova_crc32c_kernel_name(void) { return crc32c_selected().name; }

extern "C" const char *kova_crc16_kernel_name(void) { return crc16_selected().name; }

// The exported kernels check the processor themselves: a caller may reach them directly.
extern "C" uint32_t AsmCrc32c(void *unused, uint64_t length, uint32_t crc, const void *source)
{
    return cpu().crc32c ? hw::single(unused, length, crc, source) : table_kernel(unused, length, crc, source);
}

extern "C" uint32_t Asm3Crc32c(void *unused, uint64_t length, uint32_t crc, const void *source)
{
    return can_fold(cpu()) ? hw::three(unused, length, crc, source) : AsmCrc32c(unused, length, crc, source);
}

extern "C" uint32_t AsmCrc32cWithCpy(void *destination, uint64_t length, uint32_t crc, const void *source)
{
    return cpu().crc32c ? hw::single_copy(destination, length, crc, source) : table_copy(destination, length, crc, source);
}

extern "C" uint32_t Asm3Crc32cWithCpy(void *destination, uint64_t length, uint32_t crc, const void *source)
{
    return can_fold(cpu()) ? hw::three_copy(destination, length, crc, source)
                           : AsmCrc32cWithCpy(destination, length, crc, source);
}

extern "C" uint16_t crc16_t10dif(uint16_t crc, const unsigned char *buffer, uint64_t length)
{
    return crc16_selected().update(crc, buffer, length);
}
