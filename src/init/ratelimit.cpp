#include "init/kova_log.h"
#include "kova/kova_time.h"

namespace kova::log {

bool RateLimiter::admit(int level, const char *source, const char *function, int line)
{
    std::lock_guard guard(lock_);
    std::uint64_t now = kova_get_jiffies();
    if (now - last_logged_ >= kRestartAfter) {
        counted_ = 0;
        if (suppressed_ != 0 && now - last_summary_ >= kSummaryEvery) {
            if (kovalog_level_check(KOVA_MODULE_ID, level) == 0)
                kovalog(KOVA_MODULE_ID, level, source, line, function, 0,
                        "print: %u messages suppressed.%s,line=%d.", suppressed_, function, line);
            suppressed_ = 0;
            last_summary_ = now;
        }
    }
    if (counted_ < kBurst) {
        ++counted_;
        last_logged_ = now;
        return true;
    }
    ++suppressed_;
    return false;
}

}  // namespace kova::log
