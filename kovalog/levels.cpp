#include <atomic>
#include <cstdint>

#include "sink.h"

namespace kovalog_internal {
namespace {

// Stored as level XOR the default, so that the zero-initialised table already means "default"
// before any constructor or kovalog_init has run.
std::atomic<std::uint8_t> thresholds[KOVALOG_MODULE_MAX];

int threshold_of(std::uint32_t module)
{
    if (module >= KOVALOG_MODULE_MAX) return KOVALOG_DEFAULT_LEVEL;
    return thresholds[module].load(std::memory_order_relaxed) ^ KOVALOG_DEFAULT_LEVEL;
}

}  // namespace

void reset_levels()
{
    for (auto &t : thresholds) t.store(0, std::memory_order_relaxed);
}

}  // namespace kovalog_internal

using namespace kovalog_internal;

extern "C" int kovalog_level_check(uint32_t module, int level)
{
    return level <= threshold_of(module) ? 0 : 1;
}

extern "C" int kovalog_loglevel_set(uint32_t module, int level)
{
    if (module >= KOVALOG_MODULE_MAX || level < 0 || level > 7) return -1;
    thresholds[module].store(static_cast<std::uint8_t>(level ^ KOVALOG_DEFAULT_LEVEL),
                             std::memory_order_relaxed);
    return 0;
}

extern "C" int kovalog_loglevel_get(uint32_t module)
{
    if (module >= KOVALOG_MODULE_MAX) return -1;
    return threshold_of(module);
}
