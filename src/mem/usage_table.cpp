#include <atomic>
#include <cstdlib>
#include <mutex>

#include "kova/kova_mem.h"
#include "mem/mem_internal.h"

namespace {

// One signed byte count per owner; created on first use and never freed, so that counting
// still works while other singletons are torn down at exit.
std::atomic<std::int64_t *> usage_table{nullptr};
std::mutex usage_table_lock;

std::int64_t *table()
{
    std::int64_t *t = usage_table.load(std::memory_order_acquire);
    if (t != nullptr) [[likely]]
        return t;
    std::lock_guard guard(usage_table_lock);
    t = usage_table.load(std::memory_order_relaxed);
    if (t == nullptr) {
        t = static_cast<std::int64_t *>(std::calloc(KOVA_MEM_OWNERS, sizeof(std::int64_t)));
        usage_table.store(t, std::memory_order_release);
    }
    return t;
}

std::uint32_t slot_of(std::uint32_t owner) { return owner < KOVA_MEM_OWNERS ? owner : 0; }

// Only the low 32 bits of a count are meaningful to callers that pass 32-bit sizes widened.
std::int64_t low_bits(std::uint64_t bytes) { return static_cast<std::uint32_t>(bytes); }

}  // namespace

namespace kova::mem {

std::int64_t used_bytes(std::uint32_t owner)
{
    std::int64_t *t = usage_table.load(std::memory_order_acquire);
    if (t == nullptr) return 0;
    return std::atomic_ref(t[slot_of(owner)]).load(std::memory_order_relaxed);
}

}  // namespace kova::mem

extern "C" void kova_mem_init_head(kova_mem_head_s *head, uint32_t first, uint32_t second)
{
    if (head == nullptr) return;
    *head = kova_mem_head_s{KOVA_MEM_HEAD_MAGIC, first, second, 0};
}

extern "C" void kova_mem_stat_add(uint32_t owner, uint64_t bytes)
{
    std::int64_t *t = table();
    if (t == nullptr) return;
    std::atomic_ref(t[slot_of(owner)]).fetch_add(low_bits(bytes), std::memory_order_relaxed);
}

extern "C" void kova_mem_stat_sub(uint32_t owner, uint64_t bytes)
{
    std::int64_t *t = table();
    if (t == nullptr) return;
    std::atomic_ref(t[slot_of(owner)]).fetch_sub(low_bits(bytes), std::memory_order_relaxed);
}

extern "C" void kova_mem_show(kova_print_fn print)
{
    if (print == nullptr) return;
    constexpr std::uint32_t kPerLine = 5;
    print("Begin to show used memory (Bytes) of all PID.\n");
    for (std::uint32_t i = 0; i < kPerLine; ++i) print("| %-6s  %11s ", "PID", "UsedMem");
    print("\n");

    // A snapshot without a lock: counters may move while they are printed.
    std::int64_t *t = usage_table.load(std::memory_order_acquire);
    long long total = 0;
    std::uint32_t printed = 0;
    for (std::uint32_t owner = 0; t != nullptr && owner < KOVA_MEM_OWNERS; ++owner) {
        long long used = std::atomic_ref(t[owner]).load(std::memory_order_relaxed);
        if (used == 0) continue;
        print("| %-6u  %11lld ", owner, used);
        total += used;
        if (++printed % kPerLine == 0) print("\n");
    }
    print("\nTotal used memory: %lld\n", total);
}

extern "C" int kova_mem_stat_dump(void) { return 0; }
