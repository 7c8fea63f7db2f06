#include "process/module_names.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "kova/kova_log.h"

namespace {

constexpr const char kUnnamed[] = "NONE";

// Lookups and stores are single pointer loads and stores without the lock; only filling and
// clearing take it.
std::atomic<const char *> names[KOVA_MODULE_NAME_SLOTS];
std::atomic<bool> names_filled{false};
std::mutex names_lock;
char overflow_name[10];

}  // namespace

extern "C" void pid_init_names(void)
{
    if (names_filled.load(std::memory_order_acquire)) return;
    std::lock_guard guard(names_lock);
    if (names_filled.load(std::memory_order_relaxed)) return;
    for (auto &slot : names) {
        const char *expected = nullptr;
        slot.compare_exchange_strong(expected, kUnnamed, std::memory_order_relaxed);
    }
    for (std::size_t i = 0; i < kova::process::builtin_module_count; ++i) {
        const auto &row = kova::process::builtin_modules[i];
        if (row.id < KOVA_MODULE_NAME_SLOTS) names[row.id].store(row.name, std::memory_order_relaxed);
    }
    names_filled.store(true, std::memory_order_release);
}

extern "C" void pid_destroy_names(void)
{
    if (!names_filled.load(std::memory_order_acquire)) return;
    std::lock_guard guard(names_lock);
    if (!names_filled.load(std::memory_order_relaxed)) return;
    for (auto &slot : names) slot.store(nullptr, std::memory_order_relaxed);
    names_filled.store(false, std::memory_order_release);
}

extern "C" const char *kova_pid_get_name(uint32_t id)
{
    if (id >= KOVA_MODULE_NAME_SLOTS) {
        std::snprintf(overflow_name, sizeof overflow_name, "<%u>", id & 0xFFFFu);
        return overflow_name;
    }
    pid_init_names();
    return names[id].load(std::memory_order_relaxed);
}

extern "C" void kova_pid_set_name(uint32_t id, const char *name)
{
    if (id >= KOVA_MODULE_NAME_SLOTS || name == nullptr) return;
    pid_init_names();
    names[id].store(name, std::memory_order_relaxed);
}
