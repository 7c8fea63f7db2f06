#include <atomic>

#include "kova/kova_mem.h"
#include "mem/mem_internal.h"

namespace kova::mem {

void reset_caches_for_test()
{
    detail::reset_page_size();
    detail::reset_total_mem();
    std::atomic_ref(g_TotalMemSize).store(0);
}

}  // namespace kova::mem
