#include "init/init_steps.h"

#include "kova/kova_affinity.h"
#include "kova/kova_cpumask.h"
#include "kova/kova_crc32.h"
#include "kova/kova_init.h"
#include "kova/kova_log.h"
#include "kova/kova_sched.h"
#include "kova/kova_schedwork.h"
#include "kova/kova_symbol.h"
#include "kova/kova_sysinfo.h"
#include "kova/kova_thrd.h"
#include "kova/kova_time.h"
#include "kova/kova_timer.h"

namespace kova::init {

// Steps without a status of their own report 0; a step of two operations reports the first one's.
Step steps[kStepCount] = {
    {"kova_glibc_init", kova_glibc_init, OnFailure::kIgnored, nullptr},
    {"jiffies_Init", [] { return jiffies_Init(), 0; }, OnFailure::kIgnored, nullptr},
    {"pid_init_names, kova_pid_set_name",
     [] { return pid_init_names(), kova_pid_set_name(KOVA_MODULE_ID, "KOVA"), 0; }, OnFailure::kIgnored, nullptr},
    {"kova_thrd_setpid_accl", [] { return kova_thrd_setpid_accl(), 0; }, OnFailure::kIgnored, nullptr},
    {"kova_sched_init", kova_sched_init, OnFailure::kIgnored, nullptr},
    {"sysinfo_init", sysinfo_init, OnFailure::kAborts, "Kova sysinfo initialize failed."},
    {"cpuinfo_init", cpuinfo_init, OnFailure::kAborts, "Kova cpuinfo initialize failed."},
    {"sched_work_init", sched_work_init, OnFailure::kAborts, "Kova schedWork initialize failed."},
    {"cpumask_init, globalCpuNum_init", [] {
         int status = cpumask_init();
         return globalCpuNum_init(), status;
     }, OnFailure::kIgnored,
     nullptr},
    {"kova_gettime_init", kova_gettime_init, OnFailure::kAborts, "Kova time initialize failed."},
    {"kova_thrd_module_init", kova_thrd_module_init, OnFailure::kIgnored, nullptr},
    {"kova_affinity_init", kova_affinity_init, OnFailure::kReported, "Kova affinity initialize failed."},
    {"kova_timer_module_init", kova_timer_module_init, OnFailure::kAborts, "Kova timer initialize failed."},
    {"kova_symbol_init, kova_crc32_init", [] {
         int status = kova_symbol_init();
         return kova_crc32_init(), status;
     },
     OnFailure::kIgnored, nullptr},
};

StepFunction teardowns[kTeardownCount] = {
    [] { return pid_destroy_names(), 0; },
    sysinfo_exit,
    sched_work_destroy,
    kova_symbol_fini,
};

}  // namespace kova::init
