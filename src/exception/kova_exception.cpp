#include "kova/kova_exception.h"

#include <atomic>

#include "init/kova_log.h"
#include "kova/kova_signal.h"

KOVA_LOG_SOURCE("exception/kova_exception")

namespace {
std::atomic<kova_watchdog_reset_fn> watchdog_hook{nullptr};
}  // namespace

extern "C" int32_t kova_exception_watchdog_timer_func_register(kova_watchdog_reset_fn func)
{
    KOVA_LOG(kova::log::kInfo, "Kova_exception_watchdog_timer_func_register=%p", reinterpret_cast<void *>(func));
    watchdog_hook.store(func, std::memory_order_release);
    return 0;
}

extern "C" int32_t kova_exception_watchdog_timer_reset(uint32_t value)
{
    kova_watchdog_reset_fn func = watchdog_hook.load(std::memory_order_acquire);
    if (func == nullptr) return 0;
    KOVA_LOG(kova::log::kInfo, "Kova_exception_watchdog_timer_reset=%d", static_cast<int>(value));
    return func(value);
}

extern "C" int32_t kova_exception_init(void)
{
    kova_thread_signal_init();
    return 0;
}

extern "C" int32_t kova_exception_init_with_list(void *, const uint32_t *sigList, uint32_t sigNum)
{
    if (sigList == nullptr || sigNum == 0) {
        KOVA_LOG(kova::log::kError, "parm is invaild, sigList is null or sigNum is not bigger than 0(%u).", sigNum);
        return -1;
    }
    kova_thread_signal_init_with_list(sigList, sigNum);
    return 0;
}
