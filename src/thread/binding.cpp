#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_cpu.h"
#include "kova/kova_cpumask.h"
#include "kova/kova_thrd.h"

KOVA_LOG_SOURCE("thread/kova_thrd")

static_assert(sizeof(cpu_set_t) == KOVA_CPUSET_BYTES);

namespace {

std::atomic<uint32_t> cpuset_bytes{0};

// Only the bytes covering the configured CPUs are handed to the kernel.
uint32_t bytes_for_binding()
{
    uint32_t bytes = cpuset_bytes.load(std::memory_order_relaxed);
    if (bytes != 0) return bytes;
    uint32_t cpus = num_config_cpus();
    bytes = cpus == 0 ? KOVA_CPUSET_BYTES : std::min((cpus + 7) / 8, KOVA_CPUSET_BYTES);
    cpuset_bytes.store(bytes, std::memory_order_relaxed);
    return bytes;
}

}  // namespace

extern "C" int kova_thrd_setbindcpu(pthread_t thread, const uint8_t *cpuset)
{
    if (cpuset == nullptr) return -1;
    uint32_t bytes = bytes_for_binding();
    if (std::all_of(cpuset, cpuset + bytes, [](uint8_t byte) { return byte == 0; })) return 0;

    // Past the configured CPUs the copy is zero, so the whole set binds exactly as the short one
    // would; whole words also suit emulators (qemu-user) that refuse a size of a few bytes.
    cpu_set_t mask;
    CPU_ZERO(&mask);
    std::memcpy(&mask, cpuset, bytes);
    int ret = pthread_setaffinity_np(thread, sizeof mask, &mask);
    if (ret != 0) {
        KOVA_LOG(kova::log::kError, "Set thread(0x%lx) affinity bind cpu failed(%d).", static_cast<unsigned long>(thread),
                 ret);
        return -1;
    }
    return 0;
}

extern "C" int kova_thrd_getbindcpu(pthread_t thread, uint8_t *cpuset)
{
    if (cpuset == nullptr) return -1;
    cpu_set_t mask;
    CPU_ZERO(&mask);
    int ret = pthread_getaffinity_np(thread, sizeof mask, &mask);
    std::memcpy(cpuset, &mask, KOVA_CPUSET_BYTES);
    if (ret != 0) {
        KOVA_LOG(kova::log::kError, "Get thread(%llu) affinity bind cpu failed(%d).",
                 static_cast<unsigned long long>(thread), ret);
        return -1;
    }
    return 0;
}

extern "C" int kova_thrd_getbindcpu_bypid(int64_t id, uint8_t *cpuset)
{
    if (cpuset == nullptr) return -1;
    cpu_set_t mask;
    CPU_ZERO(&mask);
    int ret = sched_getaffinity(static_cast<pid_t>(id), sizeof mask, &mask);
    std::memcpy(cpuset, &mask, KOVA_CPUSET_BYTES);
    if (ret != 0) {
        int err = errno;
        KOVA_LOG(kova::log::kError, "Get thread(%llu) affinity bind cpu by pid failed(%d), errno(%d:%s).",
                 static_cast<unsigned long long>(id), ret, err, std::strerror(err));
        return -1;
    }
    return 0;
}

extern "C" int kova_setCurThreadBind(const char *cpu_list)
{
    uint64_t mask[KOVA_CPUSET_BYTES / sizeof(uint64_t)] = {};
    if (kova_cpum_parse_cpumask(cpu_list, mask) != 0) {
        KOVA_LOG_AS("kova_thrd_setbindcpustr", kova::log::kError, "Bind thread:%lu to cpu:%s fail, invalid cpu mask.",
                    static_cast<unsigned long>(pthread_self()), cpu_list != nullptr ? cpu_list : "(null)");
        return -1;
    }
    return kova_thrd_setbindcpu(pthread_self(), reinterpret_cast<const uint8_t *>(mask));
}
