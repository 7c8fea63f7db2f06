#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_str.h"
#include "kova/kova_time.h"
#include "platform/clock.h"
#include "time/time_base.h"

KOVA_LOG_SOURCE("time/kova_time")

extern "C" {
double currCpuGHz = 0.0;
}

namespace {

constexpr double kAssumedCpuGHz = 2.6;
constexpr std::uint64_t kRateGranule = 10000000u;  // the measured rate is rounded to 10 MHz
constexpr std::size_t kCommandLine = 256;

std::atomic<bool> time_base_ready{false};
std::mutex time_base_lock;

// Runs `command` and reads the first line of its output into `line` (zeroed first). False
// when the command could not be started.
bool first_output_line(const char *command, const char *allowed, char (&line)[kCommandLine])
{
    std::memset(line, 0, sizeof line);
    FILE *stream = kova_popen_s(command, "r", allowed);
    if (stream == nullptr) return false;
    if (std::fgets(line, sizeof line, stream) == nullptr) line[0] = '\0';
    kova_pclose(stream);
    return true;
}

}  // namespace

namespace kova::time {

// Rounds a rate to the nearest multiple of 10 MHz; a rate exactly halfway goes up.
std::uint64_t round_counter_rate(std::uint64_t rate)
{
    std::uint64_t down = rate / kRateGranule * kRateGranule;
    std::uint64_t up = down == rate ? rate : down + kRateGranule;
    return (up - rate) <= (rate - down) ? up : down;
}

void reset_time_base_for_test()
{
    std::lock_guard guard(time_base_lock);
    time_base_ready.store(false);
    ns_per_cycle.store(0);
}

}  // namespace kova::time

extern "C" int32_t kova_CheckCurrCpu(void)
{
    currCpuGHz = kAssumedCpuGHz;
    std::uint64_t frequency = kova::platform::counter_frequency();
    kova::time::ns_per_cycle.store(frequency == 0 ? 0 : 1000000000u / frequency);
    return 0;
}

extern "C" int32_t kova_gettime_init(void)
{
    if (time_base_ready.load(std::memory_order_acquire)) return 0;
    std::lock_guard guard(time_base_lock);
    if (time_base_ready.load(std::memory_order_relaxed)) return 0;
    int32_t rc = kova_CheckCurrCpu();
    if (rc != 0) return rc;
    time_base_ready.store(true, std::memory_order_release);
    return 0;
}

extern "C" int32_t kova_get_tsc_freq(void)
{
    char line[kCommandLine];
    if (!first_output_line("cat /proc/cpuinfo | grep -o constant_tsc | uniq", "|", line)) {
        KOVA_LOG(kova::log::kError, "Cat /proc/cpuinfo for constant_tsc fail");
        return -1;
    }
    if (line[0] == '\0') {
        KOVA_LOG(kova::log::kError, "There is no constant_tsc flag in /proc/cpuinfo");
        return -1;
    }
    if (!first_output_line("cat /proc/cpuinfo | grep @ | uniq | awk '{print $NF}'", "|$", line)) {
        KOVA_LOG(kova::log::kError, "Cat /proc/cpuinfo fail for cpufreq fail");
        return -1;
    }
    if (line[0] != '\0') {
        currCpuGHz = std::strtod(line, nullptr);
        return 0;
    }
    kova_estimate_tsc_freq();
    return 0;
}

extern "C" void kova_estimate_tsc_freq(void)
{
    timespec t0{}, t1{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &t0);
    std::uint64_t c0 = kova::platform::counter_now();
    timespec pause{0, 50000000};
    nanosleep(&pause, nullptr);
    clock_gettime(CLOCK_MONOTONIC_RAW, &t1);
    std::uint64_t c1 = kova::platform::counter_now();

    std::int64_t elapsed_ns = (static_cast<std::int64_t>(t1.tv_sec) - t0.tv_sec) * 1000000000 +
                              (static_cast<std::int64_t>(t1.tv_nsec) - t0.tv_nsec);
    double seconds = static_cast<double>(elapsed_ns) / 1e9;
    auto rate = static_cast<std::uint64_t>(static_cast<double>(c1 - c0) / seconds);
    currCpuGHz = static_cast<double>(kova::time::round_counter_rate(rate)) / 1e9;
    KOVA_LOG(kova::log::kInfo, "cpu standard hz is %f.", currCpuGHz);
}
