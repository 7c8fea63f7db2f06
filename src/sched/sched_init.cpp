#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "init/kova_log.h"
#include "kova/kova_sched.h"
#include "kova/kova_thrd.h"

KOVA_LOG_SOURCE("sched/kova_sched")

namespace {

pthread_once_t sched_once = PTHREAD_ONCE_INIT;
std::atomic<int32_t> sched_status{-1};

void s_sched_init() { sched_status.store(0); }

}  // namespace

extern "C" int kova_sched_init(void)
{
    pthread_once(&sched_once, s_sched_init);
    int32_t status = sched_status.load();
    if (status != 0) {
        KOVA_LOG(kova::log::kError, "sched init fail s_sched_init(%d)", status);
        return -1;
    }
    return 0;
}

extern "C" int kova_set_process_name(const char *format, const char *argument)
{
    kova_thrd_setname(format, argument);
    return 0;
}
