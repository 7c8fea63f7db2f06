#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_mem.h"
#include "mem/mem_internal.h"

KOVA_LOG_SOURCE("mem/kova_mem")

uint64_t g_CurSysPageSize = 0;

namespace {

long system_page_size() { return sysconf(_SC_PAGESIZE); }

std::atomic<kova::mem::PageSizeSource> page_size_source{&system_page_size};
std::atomic<bool> page_size_known{false};
std::mutex page_size_lock;

}  // namespace

namespace kova::mem {

void set_page_size_source_for_test(PageSizeSource source)
{
    page_size_source.store(source != nullptr ? source : &system_page_size);
}

namespace detail {

void reset_page_size()
{
    std::lock_guard guard(page_size_lock);
    page_size_source.store(&system_page_size);
    page_size_known.store(false);
    std::atomic_ref(g_CurSysPageSize).store(0);
}

}  // namespace detail
}  // namespace kova::mem

extern "C" int kova_get_current_page_size_inner(void)
{
    long size = page_size_source.load()();
    if (size <= 0) {
        int err = errno;
        KOVA_LOG(kova::log::kInfo, "Get current system page size failed, ret=(%d), errno(%d):%s.",
                 static_cast<int>(size), err, std::strerror(err));
        errno = err;  // callers report it too
        return -1;
    }
    std::atomic_ref(g_CurSysPageSize).store(static_cast<std::uint64_t>(size));
    return 0;
}

extern "C" int kova_get_current_page_size(void)
{
    if (page_size_known.load(std::memory_order_acquire)) [[likely]]
        return 0;
    std::lock_guard guard(page_size_lock);
    if (page_size_known.load(std::memory_order_relaxed)) return 0;
    if (kova_get_current_page_size_inner() != 0) return -1;
    page_size_known.store(true, std::memory_order_release);
    return 0;
}

extern "C" int kova_get_sys_page_size(uint64_t *page_size)
{
    if (page_size == nullptr) {
        KOVA_LOG(kova::log::kError, "Get sys page size failed, param err.");
        return -1;
    }
    *page_size = 0;
    if (kova_get_current_page_size() != 0) return -1;
    *page_size = std::atomic_ref(g_CurSysPageSize).load();
    return 0;
}
