#include "init/kova_log.h"
#include "kova/kova_time.h"

namespace kova::log {

bool RateLimiter::admit(int level, const char *source, const char *function, int line)
{
    std::uint32_t summary = 0;
    bool admitted = false;
    {
        std::lock_guard guard(lock_);
        std::uint64_t now = kova_get_jiffies();
        if (now - last_logged_ >= restart_after_) {
            counted_ = 0;
            if (summaries_ && suppressed_ != 0 && now - last_summary_ >= kSummaryEvery) {
                summary = suppressed_;
                suppressed_ = 0;
                last_summary_ = now;
            }
        }
        if (counted_ < kBurst) {
            ++counted_;
            last_logged_ = now;
            admitted = true;
        } else {
            ++suppressed_;
        }
    }
    // Written after the lock is released: a content callback may reach this same call site.
    if (summary != 0 && kovalog_level_check(KOVA_MODULE_ID, level) == 0)
        kovalog(KOVA_MODULE_ID, level, source, line, function, 0, "print: %u messages suppressed.%s,line=%d.",
                summary, function, line);
    return admitted;
}

}  // namespace kova::log
