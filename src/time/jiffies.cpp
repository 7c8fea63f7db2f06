#include <atomic>
#include <mutex>

#include "kova/kova_time.h"
#include "time/time_base.h"

namespace {
std::atomic<bool> jiffies_ready{false};
std::mutex jiffies_lock;
}  // namespace

void kova::time::reset_jiffies_for_test()
{
    std::lock_guard guard(jiffies_lock);
    jiffies_ready.store(false);
}

extern "C" void jiffies_Init(void)
{
    if (jiffies_ready.load(std::memory_order_acquire)) return;
    std::lock_guard guard(jiffies_lock);
    if (!jiffies_ready.load(std::memory_order_relaxed) && kova_gettime_init() == 0)
        jiffies_ready.store(true, std::memory_order_release);
}

extern "C" void jiffies_fini(void) {}

extern "C" uint64_t kova_get_jiffies(void)
{
    if (!jiffies_ready.load(std::memory_order_acquire)) [[unlikely]]
        jiffies_Init();
    return kova_time_getnanosec() / kova::time::kNsPerJiffy;
}
