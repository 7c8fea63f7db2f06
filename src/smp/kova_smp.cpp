#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_cpumask.h"
#include "smp/smp_internal.h"

KOVA_LOG_SOURCE("smp/kova_smp")

uint32_t g_onlineCpuNum = 0;
uint32_t g_configCpuNum = 0;

namespace {

long system_config_cpus() { return sysconf(_SC_NPROCESSORS_CONF); }
long system_online_cpus() { return sysconf(_SC_NPROCESSORS_ONLN); }

std::atomic<kova::smp::CpuCountSource> config_source{&system_config_cpus};
std::atomic<kova::smp::CpuCountSource> online_source{&system_online_cpus};

uint32_t online_cached = 0;

std::mutex counts_lock;
uint32_t counts_done = 0;

// The counts are plain exported words that concurrent first calls fill with the same value;
// relaxed is enough, nothing else is published through them.
std::atomic_ref<uint32_t> word(uint32_t &value) { return std::atomic_ref<uint32_t>(value); }

}  // namespace

namespace kova::smp {

void set_config_cpu_source_for_test(CpuCountSource source)
{
    config_source.store(source != nullptr ? source : &system_config_cpus);
}

void set_online_cpu_source_for_test(CpuCountSource source)
{
    online_source.store(source != nullptr ? source : &system_online_cpus);
}

void forget_counts_for_test()
{
    std::lock_guard guard(counts_lock);
    word(g_onlineCpuNum).store(0, std::memory_order_relaxed);
    word(g_configCpuNum).store(0, std::memory_order_relaxed);
    word(online_cached).store(0, std::memory_order_relaxed);
    word(counts_done).store(0, std::memory_order_relaxed);
}

}  // namespace kova::smp

extern "C" {

unsigned int num_online_cpus(void)
{
    if (uint32_t known = word(online_cached).load(std::memory_order_relaxed); known != 0) return known;
    auto count = static_cast<int32_t>(online_source.load()());
    if (count < 0) {
        KOVA_LOG_AS("kova_sysinfo_cpu_num", kova::log::kError, "kova_sysinfo getting online cpu num failed errno=%d.", errno);
        return 0;
    }
    word(online_cached).store(static_cast<uint32_t>(count), std::memory_order_relaxed);
    return static_cast<uint32_t>(count);
}

unsigned int num_config_cpus(void)
{
    if (uint32_t known = word(g_configCpuNum).load(std::memory_order_relaxed); known != 0) return known;
    auto count = static_cast<int32_t>(config_source.load()());
    if (count >= 1 && count <= static_cast<int32_t>(KOVA_MAX_CPUS)) {
        word(g_configCpuNum).store(static_cast<uint32_t>(count), std::memory_order_relaxed);
        return static_cast<uint32_t>(count);
    }
    int err = errno;
    KOVA_LOG(kova::log::kError, "Kova_smp getting cpu num failed ret %ld errno=%d.", static_cast<long>(count), err);
    return 0;
}

void globalCpuNum_init(void)
{
    std::atomic_ref done(counts_done);
    if (done.load(std::memory_order_acquire) == 1) return;
    std::lock_guard guard(counts_lock);
    if (done.load(std::memory_order_relaxed) == 1) return;

    word(g_onlineCpuNum).store(num_online_cpus(), std::memory_order_relaxed);
    errno = 0;
    if (auto count = static_cast<int32_t>(config_source.load()()); count >= 0)
        word(g_configCpuNum).store(static_cast<uint32_t>(count), std::memory_order_relaxed);
    else
        KOVA_LOG(kova::log::kError, "Kova_smp getting cpu num failed errno=%d.", errno);

    bool known = word(g_onlineCpuNum).load(std::memory_order_relaxed) != 0 &&
                 word(g_configCpuNum).load(std::memory_order_relaxed) != 0;
    done.store(known ? 1 : 0, std::memory_order_release);
}

}  // extern "C"
