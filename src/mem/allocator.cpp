#include <sys/mman.h>

#include <cstdlib>

#include "init/kova_log.h"
#include "kova/kova_mem.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("mem/kova_mem_manager")

extern "C" void *kova_mallocsubstandard(uint32_t owner, int32_t size, uint32_t unused,
                                        const char *function, uint32_t line)
{
    (void)unused;
    (void)function;
    (void)line;
    if (size == 0) return nullptr;
    void *ptr = size > 0 ? std::malloc(static_cast<std::size_t>(size)) : nullptr;
    if (ptr == nullptr)
        KOVA_LOG(kova::log::kError, "Malloc memory fails. PID: (%d), size: (%d), type: (%d).",
                 static_cast<int>(owner), size, 1);
    return ptr;
}

extern "C" void *kova_mallocsubproc(size_t size, int32_t *allocated)
{
    void *ptr = std::malloc(size);
    if (ptr != nullptr && allocated != nullptr) *allocated = 1;
    return ptr;
}

extern "C" void kova_freesub(void *ptr, const char *function, uint32_t line)
{
    if (ptr == nullptr) {
        // A caller that releases null in a loop must not flood the log.
        KOVA_LOG_RATELIMITED(kova::log::kError, kova::log::kError,
                             "ptr  is null, function(%s) line(%u)",
                             function != nullptr ? function : "", line);
        return;
    }
    std::free(ptr);
}

extern "C" void kova_freesubproc(void *ptr, int32_t allocated)
{
    (void)allocated;
    std::free(ptr);
}

extern "C" void *kova_memset(void *ptr, int value, uint32_t length)
{
    kova::sec::memset_s(ptr, length, value, length);
    return ptr;
}

extern "C" int kova_mprotect(void *addr, size_t length, int prot)
{
    return mprotect(addr, length, prot);
}

extern "C" void *kova_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    return mmap(addr, length, prot, flags, fd, offset);
}

extern "C" int kova_munmap(void *addr, size_t length)
{
    if (addr == nullptr) return -1;
    return munmap(addr, length);
}
