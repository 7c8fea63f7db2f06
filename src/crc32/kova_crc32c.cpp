#include "kova/kova_crc32.h"

#include <atomic>
#include <cstring>

#include "crc32/hw.h"
#include "crc32/tables.h"
#include "init/kova_log.h"

KOVA_LOG_SOURCE("crc32/kova_crc32c")

namespace kova::crc {
namespace {

using ContinueFn = std::uint32_t (*)(std::uint32_t, const void *, std::uint32_t);
using CopyFn = std::uint32_t (*)(void *, std::uint64_t, std::uint32_t, const void *);

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

std::uint32_t table_copy(void *dst, std::uint64_t n, std::uint32_t crc, const void *src)
{
    std::memcpy(dst, src, n);
    return crc32c_table_update(crc, static_cast<const unsigned char *>(src), n);
}

// The slots hold functions that trust the processor: the check was made when they were chosen.
template <auto Kernel>
std::uint32_t continue_with(std::uint32_t crc, const void *buffer, std::uint32_t length)
{
    if (buffer == nullptr || length == 0) return crc;
    return Kernel(nullptr, length, crc, buffer);
}

std::uint32_t table_kernel(void *, std::uint64_t n, std::uint32_t crc, const void *src)
{
    return crc32c_table_update(crc, static_cast<const unsigned char *>(src), n);
}

std::uint32_t select_on_first_use(std::uint32_t crc, const void *buffer, std::uint32_t length);
std::uint32_t copy_on_first_use(void *dst, std::uint64_t n, std::uint32_t crc, const void *src);

std::atomic<ContinueFn> continue_slot{select_on_first_use};
std::atomic<CopyFn> copy_slot{copy_on_first_use};

std::uint32_t select_on_first_use(std::uint32_t crc, const void *buffer, std::uint32_t length)
{
    kova_crc32_init();
    return continue_slot.load(std::memory_order_relaxed)(crc, buffer, length);
}

std::uint32_t copy_on_first_use(void *dst, std::uint64_t n, std::uint32_t crc, const void *src)
{
    kova_crc32_init();
    return copy_slot.load(std::memory_order_relaxed)(dst, n, crc, src);
}

std::uint16_t crc16_kernel(std::uint16_t crc, const unsigned char *p, std::uint64_t n)
{
    return can_fold(cpu()) ? hw::crc16(crc, p, n) : crc16_table_update(crc, p, n);
}

}  // namespace
}  // namespace kova::crc

using namespace kova::crc;

extern "C" void kova_crc32_init(void)
{
    const Cpu &c = cpu();
    if (!c.crc32c) {
        continue_slot.store(continue_with<table_kernel>, std::memory_order_relaxed);
        copy_slot.store(table_copy, std::memory_order_relaxed);
    } else if (c.clmul && three_stream_model(c)) {
        continue_slot.store(continue_with<hw::three>, std::memory_order_relaxed);
        copy_slot.store(hw::three_copy, std::memory_order_relaxed);
        KOVA_LOG(kova::log::kInfo, "platform support 3crc optimize, use 3crc algorithm.");
    } else {
        continue_slot.store(continue_with<hw::single>, std::memory_order_relaxed);
        copy_slot.store(hw::single_copy, std::memory_order_relaxed);
    }
}

extern "C" uint32_t kova_crc32cContinue(uint32_t crc, const void *buffer, uint32_t length)
{
    return continue_slot.load(std::memory_order_relaxed)(crc, buffer, length);
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
    return copy_slot.load(std::memory_order_relaxed)(destination, length, crc, source);
}

extern "C" uint16_t kova_crc16(uint16_t crc, const void *buffer, uint64_t length)
{
    if (buffer == nullptr || length == 0) return crc;
    return crc16_kernel(crc, static_cast<const unsigned char *>(buffer), length);
}

extern "C" uint16_t kova_crc16_soft(uint16_t crc, const void *buffer, uint64_t length)
{
    if (buffer == nullptr || length == 0) return crc;
    return crc16_table_update(crc, static_cast<const unsigned char *>(buffer), length);
}

extern "C" const char *kova_crc32c_kernel_name(void)
{
    ContinueFn selected = continue_slot.load(std::memory_order_relaxed);
    if (selected == select_on_first_use) {
        kova_crc32_init();
        selected = continue_slot.load(std::memory_order_relaxed);
    }
    if (selected == continue_with<hw::three>) return "Asm3Crc32c";
    if (selected == continue_with<hw::single>) return "AsmCrc32c";
    return "table";
}

extern "C" const char *kova_crc16_kernel_name(void) { return can_fold(cpu()) ? "crc16_t10dif" : "table"; }

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
    return crc16_kernel(crc, buffer, length);
}
