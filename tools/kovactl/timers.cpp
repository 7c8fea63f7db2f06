#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

std::uint64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

struct Probe {
    kova_timer_s timer;
    std::uint64_t requested_ns = 0;
    std::atomic<std::int64_t> late_ns{-1};
};

// Lateness behind the moment asked for (arm time + delay), on the timer's own clock: the
// library's nanosecond clock for the wheel, CLOCK_MONOTONIC for high-resolution timers.
std::uint64_t clock_of(const kova_timer_s &t)
{
    return (t.flags & KOVA_TIMER_HR) != 0 ? monotonic_ns() : kova_time_getnanosec();
}

void on_fire(std::uint64_t data)
{
    auto *probe = reinterpret_cast<Probe *>(data);
    probe->late_ns.store(static_cast<std::int64_t>(clock_of(probe->timer) - probe->requested_ns));
}

void report(const char *kind, std::vector<Probe> &probes)
{
    std::vector<std::int64_t> late;
    for (Probe &p : probes) late.push_back(p.late_ns.load());
    std::sort(late.begin(), late.end());
    auto at = [&](double q) { return late[std::min(late.size() - 1, static_cast<std::size_t>(q * late.size()))]; };
    std::printf("%-22s %6zu timers  min %9.1f us  median %9.1f us  p99 %9.1f us  max %9.1f us  early %zu\n", kind,
                late.size(), late.front() / 1e3, at(0.5) / 1e3, at(0.99) / 1e3, late.back() / 1e3,
                static_cast<std::size_t>(std::count_if(late.begin(), late.end(), [](auto l) { return l < 0; })));
}

}  // namespace

int run_timers(int argc, char **)
{
    if (argc > 0) return usage_error();
    kova_log_init(nullptr, 6);
    if (kova_timer_module_init() != 0) return 1;
    std::vector<Probe> wheel(400), hr(200);
    for (std::size_t i = 0; i < wheel.size(); ++i) {
        std::uint64_t delay_ms = 1 + (i * 7) % 500;
        kova_timer_init(&wheel[i].timer);
        kova_timer_set(&wheel[i].timer, delay_ms, reinterpret_cast<std::uint64_t>(&wheel[i]), on_fire);
        wheel[i].requested_ns = clock_of(wheel[i].timer) + delay_ms * 1000000;
        kova_timer_add(&wheel[i].timer);
    }
    for (std::size_t i = 0; i < hr.size(); ++i) {
        std::uint64_t delay_ns = 100000 + (i * 4513) % 900000;
        kova_timer_init(&hr[i].timer);
        kova_timer_set(&hr[i].timer, delay_ns, reinterpret_cast<std::uint64_t>(&hr[i]), on_fire);
        hr[i].timer.flags = KOVA_TIMER_HR;
        hr[i].requested_ns = clock_of(hr[i].timer) + delay_ns;
        kova_timer_add_ns(&hr[i].timer);
        kova_usleep(50);
    }
    kova_msleep(700);
    std::printf("lateness of each timer behind the moment it was asked for (negative: early)\n");
    report("wheel (1-500 ms)", wheel);
    report("high-res (100-1000 us)", hr);
    for (Probe &p : wheel) kova_timer_delete_sync(&p.timer);
    for (Probe &p : hr) kova_timer_delete_sync(&p.timer);
    return 0;
}

KOVACTL_COMMAND("timers", "arm wheel and high-resolution timers and show how late they fired", run_timers, "",
                "Takes no arguments. Arms 400 wheel timers of 1 to 500 ms and 200 high-resolution timers of 100 to "
                "1000 us, waits 700 ms and prints the minimum, median, 99th percentile and maximum lateness of each "
                "kind behind the moment asked for (negative: early).",
                "0, 1 when the timer module cannot start, 2 for a usage error.");

}  // namespace kovactl
