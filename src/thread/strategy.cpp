#include <pthread.h>

#include <atomic>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_cpu.h"
#include "kova/kova_thrd.h"

KOVA_LOG_SOURCE("thread/kova_thrd")

namespace {

constexpr uint32_t kValid = 1;

struct Strategy {
    uint32_t flags;
    int32_t priority;
    uint64_t cpumask[KOVA_CPUSET_BYTES / sizeof(uint64_t)];
};

constexpr const char *kStrategyNames[KOVA_THRD_STRATEGIES] = {"Default", "Critical", "Ctrl",
                                                              "Manage",  "IO",       "BackGroud"};

// Written at configuration time, read by starting threads without a lock; the valid bit is
// published last so that a reader never takes a half-written entry as configured.
Strategy strategies[KOVA_THRD_STRATEGIES];

uint32_t flags_of(uint32_t index) { return std::atomic_ref(strategies[index].flags).load(std::memory_order_acquire); }

}  // namespace

extern "C" int kova_initThreadStrategy(uint32_t index, const kova_thread_strategy_cfg_s *cfg)
{
    if (index >= KOVA_THRD_STRATEGIES) {
        KOVA_LOG(kova::log::kInfo, "Invalid thread strategy %d.", static_cast<int>(index));
        return -1;
    }
    if (cfg == nullptr) return -1;
    Strategy &entry = strategies[index];
    std::atomic_ref flags(entry.flags);
    flags.fetch_and(~kValid, std::memory_order_relaxed);
    entry.priority = static_cast<int32_t>(cfg->priority);
    std::memset(entry.cpumask, 0, sizeof entry.cpumask);
    if (kova_cpum_parse_cpumask(cfg->cpu_mask, entry.cpumask) != 0) {
        KOVA_LOG(kova::log::kInfo, "Invalid cpu mask info:%s.", cfg->cpu_mask != nullptr ? cfg->cpu_mask : "(null)");
        return -1;
    }
    flags.fetch_or(kValid, std::memory_order_release);
    return 0;
}

extern "C" int kova_setCurThreadStrategy(uint32_t index)
{
    if (index >= KOVA_THRD_STRATEGIES) {
        KOVA_LOG_AS("kova_getValidThreadAttr", kova::log::kInfo, "Invalid thread strategy %d.", static_cast<int>(index));
        return 0;
    }
    const Strategy *entry = (flags_of(index) & kValid) != 0 ? &strategies[index]
                            : (flags_of(0) & kValid) != 0   ? &strategies[0]
                                                            : nullptr;
    if (entry == nullptr) return 0;

    bool prio_set = kova_setCurThreadPrio(entry->priority) == 0;
    bool bound = kova_thrd_setbindcpu(pthread_self(), reinterpret_cast<const uint8_t *>(entry->cpumask)) == 0;
    if (!prio_set || !bound) {
        KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kInfo, "Set thread strategy %d fail.", static_cast<int>(index));
        return -1;
    }
    // Only the owning thread writes its strategy; listers read it concurrently.
    if (kova_thread_s *self = m_current_thread; self != nullptr)
        std::atomic_ref(self->strategy).store(index, std::memory_order_relaxed);
    return 0;
}

extern "C" int kova_showThreadStrategyDbg(kova_print_fn print)
{
    if (print == nullptr) return -1;
    print("%-10s %-10s %-4s %-s\n", "Strategy", "Flags", "Prio", "CpuMask");
    for (uint32_t i = 0; i < KOVA_THRD_STRATEGIES; ++i) {
        const Strategy &entry = strategies[i];
        print("%-10s 0x%08x %-4d 0x%016lx %016lx %016lx %016lx\n", kStrategyNames[i],
              flags_of(i), entry.priority,
              static_cast<unsigned long>(entry.cpumask[0]), static_cast<unsigned long>(entry.cpumask[1]),
              static_cast<unsigned long>(entry.cpumask[2]), static_cast<unsigned long>(entry.cpumask[3]));
    }
    return 0;
}
