#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_affinity.h"
#include "kova/kova_thrd.h"

KOVA_LOG_SOURCE("affinity/kova_affinity")

kova_affinity_entity_s g_affinityLevel_1 = {};

namespace {

constexpr long kCpusInMask = sizeof(g_affinityLevel_1.cpumask) * 8;

std::mutex affinity_lock;
std::atomic<bool> affinity_ready{false};

}  // namespace

extern "C" int kova_affinity_init(void)
{
    if (affinity_ready.load(std::memory_order_acquire)) return 0;
    std::lock_guard guard(affinity_lock);
    if (affinity_ready.load(std::memory_order_relaxed)) return 0;

    char process_name[32] = {};
    if (kova_get_process_name(process_name, sizeof process_name) != 0) {
        KOVA_LOG(kova::log::kInfo, "kova_get_process_name failed, can't set affinity.");
        return -1;
    }
    if (std::strcmp(process_name, "app_data") == 0)
        (void)kova_parse_affinity_level("affinity_level_1", &g_affinityLevel_1);
    affinity_ready.store(true, std::memory_order_release);
    return 0;
}

// Levels would come from the product's configuration, and none is configured for this library.
extern "C" int kova_parse_affinity_level(const char *, kova_affinity_entity_s *) { return -1; }

extern "C" int kova_parse_affinity_value(const char *text, kova_affinity_entity_s *entity)
{
    if (text == nullptr || entity == nullptr) return -1;
    for (const char *item = text;;) {
        char *end = nullptr;
        long cpu = std::strtol(item, &end, 10);
        if (end != item && cpu >= 0 && cpu < kCpusInMask)
            entity->cpumask[cpu / 8] = static_cast<uint8_t>(entity->cpumask[cpu / 8] | (1u << (cpu % 8)));
        item = std::strchr(item, ',');
        if (item == nullptr) break;
        ++item;
    }
    return 0;
}

extern "C" kova_affinity_entity_s *kova_get_affinity_entity(const char *name)
{
    if (name == nullptr) return nullptr;
    if (std::strncmp(name, g_affinityLevel_1.name, sizeof g_affinityLevel_1.name) != 0) return nullptr;
    return &g_affinityLevel_1;
}

extern "C" int kova_set_thread_affinity(pthread_t thread, const char *level)
{
    if (level == nullptr) return -1;
    kova_affinity_entity_s *entity = kova_get_affinity_entity(level);
    if (entity == nullptr) return 0;
    if (kova_thrd_setbindcpu(thread, entity->cpumask) != 0) {
        KOVA_LOG(kova::log::kInfo, "kova_thrd_setbindcpu for tid(%lu) with(%s) failed.",
                 static_cast<unsigned long>(thread), level);
        return -1;
    }
    return 0;
}

extern "C" int kova_affinity_exit(void) { return 0; }
