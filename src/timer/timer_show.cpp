#include <cstddef>

#include "init/kova_log.h"
#include "timer/wheel.h"

KOVA_LOG_SOURCE("timer/kova_timer")

namespace {

#define TIMER_SHOW_FORMAT                                                                          \
    "Timer entry:0x%llx, expirTime:%lu, timeOut:%lu, data:%lu, func:0x%llx         isp:%x flags:%x in " \
    "funcName:%s file:%s line:%d"

bool is_slot_head(const kova_list_head_s *entry)
{
    const kova_timer_root_s &r = kova::timer::root();
    return entry >= &r.wheel[0] && entry < &r.wheel[KOVA_TIMER_WHEEL_SLOTS];
}

}  // namespace

extern "C" void kova_timer_show(kova_list_head_s *entry)
{
    if (entry == nullptr) return;
    // A slot head has no record around it: show it as an empty record rather than read whatever
    // memory precedes it.
    kova_timer_s empty{};
    const kova_timer_s *t = is_slot_head(entry) ? &empty : kova::timer::timer_of(entry);
    auto address = static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(entry));
    auto func = static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(t->func));
    auto expires = static_cast<unsigned long>(kova::timer::expiry_of(t));
    const char *name = t->funcName != nullptr ? t->funcName : "";
    const char *file = t->file != nullptr ? t->file : "";
    int isp = static_cast<int8_t>(t->isp), flags = static_cast<int8_t>(t->flags);
    // Written for the platform's infrastructure log whatever its level, then for ours.
    kovalog(0, kova::log::kInfo, kova_log_source, __LINE__, __func__, 0, "[Infra]" TIMER_SHOW_FORMAT, address, expires, static_cast<unsigned long>(t->timeOut), static_cast<unsigned long>(t->data), func, isp,
            flags, name, file, t->line);
    KOVA_LOG(kova::log::kInfo, TIMER_SHOW_FORMAT, address, expires, static_cast<unsigned long>(t->timeOut),
             static_cast<unsigned long>(t->data), func, isp, flags, name, file, t->line);
}
