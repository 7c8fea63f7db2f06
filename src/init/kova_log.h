// The library's log convention: every call is guarded by kovalog_level_check and formats only
// when the level is enabled. A source file names the source it logs under once, with
// KOVA_LOG_SOURCE("family/kova_x"), before using the macros.
#pragma once

#include <cstdint>
#include <mutex>

#include "kova/kova_types.h"
#include "kovalog/kovalog.h"

namespace kova::log {

enum Level : int { kError = 3, kWarning = 4, kInfo = 6, kDebug = 7 };

// The per-call-site limiter: at most three messages per 60 s of quiet, with a summary of what
// was suppressed at most every 600 s. Times in jiffies.
class RateLimiter {
public:
    static constexpr std::uint64_t kRestartAfter = 15000;
    static constexpr std::uint64_t kSummaryEvery = 150000;
    static constexpr std::uint32_t kBurst = 3;

    RateLimiter() = default;
    // Three messages per `restart_after` jiffies of quiet, and no summary of what was suppressed.
    explicit constexpr RateLimiter(std::uint64_t restart_after) : restart_after_(restart_after), summaries_(false) {}

    // True when the caller may log now (and it counts as logged). Writes the summary line
    // under `function` and `line` at `level` first when one is due.
    bool admit(int level, const char *source, const char *function, int line);

private:
    std::mutex lock_;
    std::uint64_t last_logged_ = 0;
    std::uint32_t counted_ = 0;
    std::uint32_t suppressed_ = 0;
    std::uint64_t last_summary_ = 0;
    std::uint64_t restart_after_ = kRestartAfter;
    bool summaries_ = true;
};

}  // namespace kova::log

#define KOVA_LOG_SOURCE(name) \
    namespace {               \
    [[maybe_unused]] constexpr const char kova_log_source[] = name; \
    }

// A message under another module id (a few diagnostics log under the platform's ids).
#define KOVA_LOG_FOR_MODULE(module, function, level, ...)                                      \
    do {                                                                                       \
        if (kovalog_level_check((module), (level)) == 0)                                       \
            kovalog((module), (level), kova_log_source, __LINE__, (function), 0, __VA_ARGS__); \
    } while (0)

// A message documented under another function's name.
#define KOVA_LOG_AS(function, level, ...) KOVA_LOG_FOR_MODULE(KOVA_MODULE_ID, function, level, __VA_ARGS__)

#define KOVA_LOG(level, ...) KOVA_LOG_AS(__func__, level, __VA_ARGS__)

// A rate-limited message: the limiter is consulted only when its own level is enabled.
#define KOVA_LOG_RATELIMITED(limiter_level, level, ...) \
    KOVA_LOG_LIMITED_BY({}, limiter_level, level, __VA_ARGS__)

// At most three messages per `window` jiffies of quiet; what is suppressed is not summarised.
#define KOVA_LOG_RATELIMITED_QUIET(window, limiter_level, level, ...) \
    KOVA_LOG_LIMITED_BY({window}, limiter_level, level, __VA_ARGS__)

#define KOVA_LOG_LIMITED_BY(limiter_init, limiter_level, level, ...)                           \
    do {                                                                                       \
        static ::kova::log::RateLimiter kova_limiter_ limiter_init;                            \
        if (kovalog_level_check(KOVA_MODULE_ID, (limiter_level)) == 0 &&                       \
            kova_limiter_.admit((limiter_level), kova_log_source, __func__, __LINE__))         \
            KOVA_LOG(level, __VA_ARGS__);                                                      \
    } while (0)
