#include <atomic>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_lwp.h"
#include "kova/kova_time.h"
#include "lwp/lwp_internal.h"

KOVA_LOG_SOURCE("lwp/lwp")

namespace {

std::mutex module_mutex;
std::atomic<bool> module_done{false};

}  // namespace

extern "C" int32_t LwpModuleInit(void)
{
    if (module_done.load(std::memory_order_acquire)) return 0;
    std::lock_guard guard(module_mutex);
    if (module_done.load(std::memory_order_relaxed)) return 0;
    kova_gettime_init();
    int32_t ret = LwpVarModuleInit();
    if (ret != 0) {
        KOVA_LOG(kova::log::kInfo, "Init lwp module var fail, ret:%d", ret);
    } else if ((ret = LwpInstModuleInit()) != 0) {
        KOVA_LOG(kova::log::kInfo, "Init lwp module inst fail, ret:%d", ret);
    }
    if (ret != 0) {
        KOVA_LOG(kova::log::kInfo, "Init lwp module fail");
        return -1;
    }
    LwpDebugInit();
    module_done.store(true, std::memory_order_release);
    return 0;
}

extern "C" int32_t LwpIsModuleInited(void) { return module_done.load(std::memory_order_acquire) ? 0 : -1; }

void kova::lwp::reset_for_test()
{
    std::lock_guard guard(module_mutex);
    reset_inst_for_test();
    reset_var_for_test();
    reset_debug_for_test();
    module_done.store(false);
}
