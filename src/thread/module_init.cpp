#include <atomic>
#include <mutex>

#include "kova/kova_signal.h"
#include "kova/kova_thrd.h"

namespace {
std::atomic<bool> module_ready{false};
std::mutex module_lock;
}  // namespace

extern "C" int kova_thrd_module_init(void)
{
    if (module_ready.load(std::memory_order_acquire)) return 0;
    std::lock_guard guard(module_lock);
    if (!module_ready.load(std::memory_order_relaxed)) {
        dump_signal_init();
        module_ready.store(true, std::memory_order_release);
    }
    return 0;
}
