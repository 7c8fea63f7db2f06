// Checked wrappers over the POSIX per-process interval timers.
#include "init/kova_log.h"
#include "kova/kova_timer_posix.h"

KOVA_LOG_SOURCE("timer/kova_timer_posix")

using kova::log::kError;

namespace {

constexpr int kRefused = -22;
constexpr std::uint32_t kLastClock = 3;  // CLOCK_THREAD_CPUTIME_ID

unsigned long long bits(const volatile void *p) { return reinterpret_cast<std::uintptr_t>(p); }

}  // namespace

extern "C" {

int kova_timer_create_posix(uint32_t clockid, struct sigevent *evp, timer_t *timerid)
{
    if (evp == nullptr || timerid == nullptr) {
        KOVA_LOG(kError, "Argument NULL in kova_timer_create_posix, evp: 0x%llx, timerid: 0x%llx!\n", bits(evp),
                 bits(timerid));
        return kRefused;
    }
    if (clockid > kLastClock) {
        KOVA_LOG(kError, "Argument clockid: %d is out of range in kova_timer_create_posix!\n",
                 static_cast<int>(clockid));
        return kRefused;
    }
    return timer_create(static_cast<clockid_t>(clockid), evp, timerid);
}

int kova_timer_delete_posix(timer_t timerid) { return timer_delete(timerid); }

int kova_timer_settime_posix(timer_t timerid, uint32_t flags, const struct itimerspec *new_value,
                             struct itimerspec *old_value)
{
    if (new_value == nullptr) {
        KOVA_LOG(kError, "Argument NULL in kova_timer_settime_posix, timerid: 0x%llx, new_value: 0x%llx!\n",
                 bits(timerid), bits(new_value));
        return kRefused;
    }
    return timer_settime(timerid, static_cast<int>(flags), new_value, old_value);
}

int kova_timer_gettime_posix(timer_t timerid, struct itimerspec *curr_value)
{
    if (curr_value == nullptr) {
        KOVA_LOG(kError, "Argument NULL in kova_timer_gettime_posix, timerid: 0x%llx, curr_value: 0x%llx!\n",
                 bits(timerid), bits(curr_value));
        return kRefused;
    }
    return timer_gettime(timerid, curr_value);
}

int kova_timer_getoverrun_posix(timer_t timerid) { return timer_getoverrun(timerid); }

}  // extern "C"
