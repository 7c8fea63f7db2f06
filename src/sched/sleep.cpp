#include <sched.h>
#include <sys/select.h>

#include <cstdint>
#include <ctime>

#include "kova/kova_sched.h"
#include "kova/kova_time.h"

namespace {

void sleep_microseconds(uint64_t microseconds)
{
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(microseconds / 1000000);
    timeout.tv_usec = static_cast<suseconds_t>(microseconds % 1000000);
    select(0, nullptr, nullptr, nullptr, &timeout);
}

}  // namespace

extern "C" void kova_usleep(uint32_t microseconds) { sleep_microseconds(microseconds); }

extern "C" void kova_msleep(uint32_t milliseconds) { sleep_microseconds(uint64_t{milliseconds} * 1000); }

extern "C" void kova_10msleep(uint32_t tens_of_milliseconds)
{
    sleep_microseconds(uint64_t{tens_of_milliseconds} * 10000);
}

extern "C" void kova_schedule(void)
{
    const timespec one_millisecond{0, 1000000};
    nanosleep(&one_millisecond, nullptr);
}

extern "C" void kova_yield(void) { sched_yield(); }

extern "C" void kova_thrd_yield(void) { sched_yield(); }

extern "C" uint64_t kova_mdelay(uint32_t milliseconds)
{
    // The clock reads 0 until the time base is set up, which would make the wait endless.
    (void)kova_gettime_init();
    const uint64_t wait = uint64_t{milliseconds} * 1000000;
    const uint64_t start = kova_time_getnanosec();
    uint64_t elapsed = 0;
    do {
        elapsed = kova_time_getnanosec() - start;
    } while (elapsed <= wait);
    return elapsed;
}
