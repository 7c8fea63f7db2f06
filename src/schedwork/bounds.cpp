// The idle-worker bounds, from section "KOVA" of the configuration the process has loaded.
#include "kova/kova_cfg.h"
#include "kova/kova_strutil.h"
#include "schedwork/schedwork.h"

namespace kova::schedwork {

namespace {

// The item of section "KOVA" as an unsigned 32-bit number, or nothing when it cannot be read.
std::optional<std::uint32_t> configured_value(const char *item)
{
    char value[KOVA_CFG_RECORD_VALUE_SIZE];
    if (kova_cfg_getItemValue("KOVA", item, value, sizeof value) != 0) return std::nullopt;
    return static_cast<std::uint32_t>(kova_str_tou64(value));
}

}  // namespace

void store_bounds(std::optional<std::uint32_t> min_free, std::optional<std::uint32_t> max_free)
{
    std::uint32_t min = min_free.value_or(kDefaultMinFree);
    std::uint32_t max = max_free.value_or(kDefaultMaxFree);
    if (min > max) return;
    // Workers are only ever started by the set-up and by a worker taking a work: without one
    // idle worker, queued works would wait for ever.
    if (min == 0) min = 1;
    scheduler().minFreeThread.store(min <= kDefaultMinFree ? min : kDefaultMinFree);
    scheduler().maxFreeThread.store(max <= kDefaultMaxFree ? max : kDefaultMaxFree);
}

}  // namespace kova::schedwork

extern "C" void sched_work_thread_num_set(void)
{
    using kova::schedwork::configured_value;
    kova::schedwork::store_bounds(configured_value("SCHED_THREAD_FREE_NUM_MIN"),
                                  configured_value("SCHED_THREAD_FREE_NUM_MAX"));
}
