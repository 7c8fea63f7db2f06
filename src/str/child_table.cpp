#include "str/child_table.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

#include "kova/kova_mem.h"
#include "kova/kova_types.h"
#include "platform/bounded.h"

namespace kova::str {
namespace {

// The size is published before the table (release on the table pointer), so a reader that
// sees the table also sees its size.
std::atomic<int> table_size{0};
std::atomic<std::int32_t *> table{nullptr};

int settled_size()
{
    int size = table_size.load(std::memory_order_acquire);
    if (size > 0) return size;
    int measured = getdtablesize();
    if (measured < 1 || measured > INT32_MAX / static_cast<int>(sizeof(std::int32_t))) return 0;
    // Every creator must allocate the same size, whichever of them wins the table below.
    if (!table_size.compare_exchange_strong(size, measured, std::memory_order_acq_rel)) return size;
    return measured;
}

std::atomic_ref<std::int32_t> entry(std::int32_t *entries, int fd) { return std::atomic_ref<std::int32_t>(entries[fd]); }

}  // namespace

bool child_table_ready()
{
    if (table.load(std::memory_order_acquire) != nullptr) return true;
    int size = settled_size();
    if (size < 1) return false;
    std::int32_t bytes = size * static_cast<std::int32_t>(sizeof(std::int32_t));
    auto *fresh = static_cast<std::int32_t *>(kova_mallocsubstandard(KOVA_MODULE_ID, bytes, 0, __func__, __LINE__));
    if (fresh == nullptr) return false;
    kova::sec::memset_s(fresh, static_cast<std::size_t>(bytes), 0, static_cast<std::size_t>(bytes));
    std::int32_t *expected = nullptr;
    if (!table.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel))
        kova_freesub(fresh, __func__, __LINE__);
    return true;
}

bool child_table_record(int fd, pid_t pid)
{
    std::int32_t *entries = table.load(std::memory_order_acquire);
    if (entries == nullptr || fd < 0 || fd >= table_size.load(std::memory_order_acquire)) return false;
    entry(entries, fd).store(static_cast<std::int32_t>(pid), std::memory_order_release);
    return true;
}

pid_t child_table_take(int fd)
{
    std::int32_t *entries = table.load(std::memory_order_acquire);
    if (entries == nullptr || fd < 0 || fd >= table_size.load(std::memory_order_acquire)) return 0;
    return entry(entries, fd).exchange(0, std::memory_order_acq_rel);
}

}  // namespace kova::str
