// Timer wheel: arm + cancel cost against how many timers are pending (it must stay flat), with a
// mutex-protected std::multimap keyed by expiry as the baseline. The baseline computes each expiry
// from the same millisecond clock, as any timer must ("timeOut ms from now"); the container alone
// is shown beside it, since on x86_64 the clock read (CLOCK_MONOTONIC through the vDSO) is a large
// share of the cost. Then firing lateness of wheel and high-resolution timers against the moment
// each was asked for (arm time + delay, on the timer's own clock), early firings counted; the
// high-resolution ones beside a thread sleeping with clock_nanosleep(TIMER_ABSTIME).
#include <time.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "kova/kova_sched.h"
#include "kova/kova_time.h"
#include "kova/kova_timer.h"

namespace {

constexpr std::uint64_t kHourMs = 3600000;

void ignore(std::uint64_t) {}

std::uint64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void wheel_modify_delete(benchmark::State &state)
{
    kova_timer_module_init();
    const auto pending = static_cast<std::size_t>(state.range(0));
    std::vector<kova_timer_s> timers(pending);
    std::mt19937_64 random(1);
    for (kova_timer_s &t : timers) {
        kova_timer_init(&t);
        kova_timer_set(&t, kHourMs + random() % kHourMs, 0, ignore);
        kova_timer_add(&t);
    }
    kova_timer_s probe;
    kova_timer_init(&probe);
    kova_timer_set(&probe, 1, 0, ignore);
    for (auto _ : state) {
        kova_timer_modify(&probe, 1000 + random() % (2 * kHourMs));
        kova_timer_delete(&probe);
    }
    for (kova_timer_s &t : timers) kova_timer_delete(&t);
}
BENCHMARK(wheel_modify_delete)->Arg(1000)->Arg(64000)->Arg(1000000);

struct TimerMap {
    std::mutex lock;
    std::multimap<std::uint64_t, void *> by_expiry;
};

void fill(TimerMap &map, std::size_t pending, std::mt19937_64 &random)
{
    std::uint64_t now = kova_time_getmillisec();
    for (std::size_t i = 0; i < pending; ++i) map.by_expiry.emplace(now + kHourMs + random() % kHourMs, nullptr);
}

void multimap_arm_cancel(benchmark::State &state)
{
    TimerMap map;
    std::mt19937_64 random(1);
    fill(map, static_cast<std::size_t>(state.range(0)), random);
    for (auto _ : state) {
        std::multimap<std::uint64_t, void *>::iterator it;
        {
            std::uint64_t expires = kova_time_getmillisec() + 1000 + random() % (2 * kHourMs);
            std::lock_guard guard(map.lock);
            it = map.by_expiry.emplace(expires, nullptr);
        }
        std::lock_guard guard(map.lock);
        map.by_expiry.erase(it);
    }
}
BENCHMARK(multimap_arm_cancel)->Arg(1000)->Arg(64000)->Arg(1000000);

// The same without the clock read: the container and its lock alone.
void multimap_insert_erase(benchmark::State &state)
{
    TimerMap map;
    std::mt19937_64 random(1);
    fill(map, static_cast<std::size_t>(state.range(0)), random);
    std::uint64_t now = kova_time_getmillisec();
    for (auto _ : state) {
        std::multimap<std::uint64_t, void *>::iterator it;
        {
            std::lock_guard guard(map.lock);
            it = map.by_expiry.emplace(now + 1000 + random() % (2 * kHourMs), nullptr);
        }
        std::lock_guard guard(map.lock);
        map.by_expiry.erase(it);
    }
}
BENCHMARK(multimap_insert_erase)->Arg(1000)->Arg(64000)->Arg(1000000);

constexpr std::int64_t kNotFired = INT64_MIN;

struct LateProbe {
    kova_timer_s timer;
    std::uint64_t requested_ns = 0;  // arm time + delay, on the timer's own clock
    std::atomic<std::int64_t> late_ns{kNotFired};
};

std::uint64_t clock_of(const kova_timer_s &t)
{
    return (t.flags & KOVA_TIMER_HR) != 0 ? monotonic_ns() : kova_time_getnanosec();
}

void record_late(std::uint64_t data)
{
    auto *p = reinterpret_cast<LateProbe *>(data);
    p->late_ns.store(static_cast<std::int64_t>(clock_of(p->timer) - p->requested_ns));
}

// Arms a probe: the requested moment is read just before the timer reads its own clock.
void arm_probe(LateProbe &p, std::uint64_t delay, bool high_resolution)
{
    kova_timer_init(&p.timer);
    kova_timer_set(&p.timer, delay, reinterpret_cast<std::uint64_t>(&p), record_late);
    if (high_resolution) p.timer.flags = KOVA_TIMER_HR;
    p.requested_ns = clock_of(p.timer) + (high_resolution ? delay : delay * 1000000);
    if (high_resolution)
        kova_timer_add_ns(&p.timer);
    else
        kova_timer_add(&p.timer);
}

// Lateness behind the requested moment; negative is early.
void report(benchmark::State &state, std::vector<std::int64_t> late)
{
    auto missed = std::erase(late, kNotFired);
    std::sort(late.begin(), late.end());
    state.counters["min_us"] = static_cast<double>(late.front()) / 1e3;
    state.counters["median_us"] = static_cast<double>(late[late.size() / 2]) / 1e3;
    state.counters["p99_us"] = static_cast<double>(late[late.size() * 99 / 100]) / 1e3;
    state.counters["max_us"] = static_cast<double>(late.back()) / 1e3;
    state.counters["early"] = static_cast<double>(std::count_if(late.begin(), late.end(), [](auto l) { return l < 0; }));
    state.counters["missed"] = static_cast<double>(missed);
}

void wheel_lateness_10k_over_2s(benchmark::State &state)
{
    kova_timer_module_init();
    for (auto _ : state) {
        std::vector<LateProbe> probes(10000);
        for (std::size_t i = 0; i < probes.size(); ++i) arm_probe(probes[i], 1 + (i * 2000) / probes.size(), false);
        kova_msleep(2100);
        std::vector<std::int64_t> late;
        for (LateProbe &p : probes) {
            kova_timer_delete_sync(&p.timer);
            late.push_back(p.late_ns.load());
        }
        report(state, late);
    }
}
BENCHMARK(wheel_lateness_10k_over_2s)->Iterations(1)->Unit(benchmark::kMillisecond);

void hr_timer_lateness(benchmark::State &state)
{
    for (auto _ : state) {
        std::vector<LateProbe> probes(500);
        for (std::size_t i = 0; i < probes.size(); ++i) {
            arm_probe(probes[i], 100000 + (i * 1801) % 900001, true);
            kova_usleep(1500);  // one at a time: each is measured alone
        }
        std::vector<std::int64_t> late;
        for (LateProbe &p : probes) {
            kova_timer_delete_sync(&p.timer);
            late.push_back(p.late_ns.load());
        }
        report(state, late);
    }
}
BENCHMARK(hr_timer_lateness)->Iterations(1)->Unit(benchmark::kMillisecond);

void clock_nanosleep_lateness(benchmark::State &state)
{
    for (auto _ : state) {
        std::vector<std::int64_t> late;
        std::thread sleeper([&] {
            for (std::size_t i = 0; i < 500; ++i) {
                std::uint64_t due = monotonic_ns() + 100000 + (i * 1801) % 900001;
                timespec deadline{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
                late.push_back(static_cast<std::int64_t>(monotonic_ns() - due));
                kova_usleep(1500 - 1000);
            }
        });
        sleeper.join();
        report(state, late);
    }
}
BENCHMARK(clock_nanosleep_lateness)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
