#include <sched.h>
#include <unistd.h>

#include <cerrno>

#include "init/kova_log.h"
#include "kova/kova_sched.h"
#include "kova/kova_thrd.h"

KOVA_LOG_SOURCE("sched/kova_sched")

extern "C" int kova_sched_setaffinity(uint32_t cpu)
{
    long configured = sysconf(_SC_NPROCESSORS_CONF);
    if (configured <= static_cast<long>(cpu)) {
        KOVA_LOG(kova::log::kError, "cpu num overstep, current only has %ld cpu", configured);
        return -1;
    }
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (cpu < CPU_SETSIZE) CPU_SET(cpu, &mask);
    if (sched_setaffinity(0, sizeof mask, &mask) != 0) {
        KOVA_LOG(kova::log::kError, "set affinity fail, errno:%d", errno);
        return -1;
    }
    kova_thrd_core_set(static_cast<int32_t>(cpu));
    return 0;
}
