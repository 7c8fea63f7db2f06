#include <sys/resource.h>

#include <array>
#include <cerrno>

#include "init/kova_log.h"
#include "kova/kova_thrd.h"

KOVA_LOG_SOURCE("thread/kova_thrd")

// On Linux PRIO_PROCESS with who 0 is the calling thread, not the whole process.
extern "C" int kova_setCurThreadPrio(int32_t nice_value)
{
    int ret = setpriority(PRIO_PROCESS, 0, nice_value);
    if (ret != 0) {
        int err = errno;
        KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kWarning, "Set thread prio fail %d, errno %d.", ret, err);
        return -1;
    }
    return 0;
}

extern "C" void kova_thrd_setprio(uint32_t level)
{
    constexpr std::array<int32_t, 5> kNiceOfLevel{-20, -15, 0, 10, 15};
    if (level < kNiceOfLevel.size()) (void)kova_setCurThreadPrio(kNiceOfLevel[level]);
}
