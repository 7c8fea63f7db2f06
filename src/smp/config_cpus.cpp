#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "init/kova_log.h"
#include "kova/kova_cpumask.h"
#include "smp/smp_internal.h"

KOVA_LOG_SOURCE("smp/kova_smp")

uint32_t g_configCpuNum = 0;

namespace {

long system_config_cpus() { return sysconf(_SC_NPROCESSORS_CONF); }

std::atomic<kova::smp::ConfigCpuSource> config_cpu_source{&system_config_cpus};

}  // namespace

namespace kova::smp {

void set_config_cpu_source_for_test(ConfigCpuSource source)
{
    config_cpu_source.store(source != nullptr ? source : &system_config_cpus);
}

long query_config_cpus() { return config_cpu_source.load()(); }

}  // namespace kova::smp

// Concurrent first calls store the same value, so the cache needs no lock.
extern "C" uint32_t num_config_cpus(void)
{
    std::atomic_ref cached(g_configCpuNum);
    if (uint32_t known = cached.load(std::memory_order_relaxed); known != 0) return known;

    auto count = static_cast<std::int32_t>(kova::smp::query_config_cpus());
    if (count >= 1 && count <= static_cast<std::int32_t>(KOVA_MAX_CPUS)) {
        cached.store(static_cast<uint32_t>(count), std::memory_order_relaxed);
        return static_cast<uint32_t>(count);
    }
    int err = errno;
    KOVA_LOG(kova::log::kError, "Kova_smp getting cpu num failed ret %ld errno=%d.", static_cast<long>(count), err);
    return 0;
}
