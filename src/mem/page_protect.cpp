#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_mem.h"

KOVA_LOG_SOURCE("mem/kova_mem")

namespace {

// Callers count in 4 KiB pages whatever the system's page size is.
constexpr std::size_t kCallerPage = 4096;

int set_protection(const char *function, void *addr, int pages, int prot)
{
    if (addr == nullptr || pages <= 0) {
        KOVA_LOG_AS(function, kova::log::kError,
                    "Param is invalied,addr is NULL(%p), numpages is 0.", addr);
        return -1;
    }
    int ret = kova_get_current_page_size();
    if (ret != 0) {
        int err = errno;
        KOVA_LOG_AS(function, kova::log::kError,
                    "Get current system page size failed, ret(%d), errno(%d):%s.", ret, err,
                    std::strerror(err));
        return -1;
    }
    std::uint64_t system_page = std::atomic_ref(g_CurSysPageSize).load();
    std::size_t length = static_cast<std::size_t>(pages) * kCallerPage;
    auto page_addr = reinterpret_cast<unsigned long>(addr);
    // mprotect works on whole system pages: a range that covers part of one would change
    // the protection of memory the caller did not name.
    if (system_page != kCallerPage && (length % system_page != 0 || page_addr % system_page != 0)) {
        KOVA_LOG_AS(function, kova::log::kError,
                    "Param is invalied, page_addr(0x%lx), numpages(%d), g_CurSysPageSize(%d).",
                    page_addr, pages, static_cast<int>(system_page));
        return -1;
    }
    if (mprotect(addr, length, prot) != 0) {
        int err = errno;
        KOVA_LOG_AS(function, kova::log::kError,
                    "set page protect read failed, page_addr(0x%lx), errno(%d):%s.", page_addr,
                    err, std::strerror(err));
        return err;
    }
    return 0;
}

}  // namespace

extern "C" int kova_setmemory_ro(void *addr, int pages)
{
    return set_protection(__func__, addr, pages, PROT_READ);
}

extern "C" int kova_setmemory_rw(void *addr, int pages)
{
    return set_protection(__func__, addr, pages, PROT_WRITE);
}
