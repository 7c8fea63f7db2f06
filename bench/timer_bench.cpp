// Timer wheel: re-arm + delete cost against how many timers are pending (it must stay flat), with
// a mutex-protected std::multimap keyed by expiry as the baseline; and firing lateness of wheel and
// high-resolution timers, the latter against a thread sleeping with clock_nanosleep(TIMER_ABSTIME).
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

void multimap_insert_erase(benchmark::State &state)
{
    const auto pending = static_cast<std::size_t>(state.range(0));
    std::mutex lock;
    std::multimap<std::uint64_t, void *> by_expiry;
    std::mt19937_64 random(1);
    std::uint64_t now = kova_get_jiffies() * 4;
    for (std::size_t i = 0; i < pending; ++i) by_expiry.emplace(now + kHourMs + random() % kHourMs, nullptr);
    for (auto _ : state) {
        std::multimap<std::uint64_t, void *>::iterator it;
        {
            std::lock_guard guard(lock);
            it = by_expiry.emplace(now + 1000 + random() % (2 * kHourMs), nullptr);
        }
        std::lock_guard guard(lock);
        by_expiry.erase(it);
    }
}
BENCHMARK(multimap_insert_erase)->Arg(1000)->Arg(64000)->Arg(1000000);

struct LateProbe {
    kova_timer_s timer;
    std::atomic<std::int64_t> late_ns{-1};
};

void record_late(std::uint64_t data)
{
    auto *p = reinterpret_cast<LateProbe *>(data);
    const kova_timer_s &t = p->timer;
    std::int64_t late = (t.flags & KOVA_TIMER_HR) != 0
                            ? static_cast<std::int64_t>(monotonic_ns()) -
                                  (t.hrExpire.tv_sec * 1000000000 + t.hrExpire.tv_nsec)
                            : static_cast<std::int64_t>(kova_time_getnanosec() - t.expirTime * 1000000);
    p->late_ns.store(late);
}

void report(benchmark::State &state, std::vector<std::int64_t> late)
{
    std::sort(late.begin(), late.end());
    state.counters["median_us"] = static_cast<double>(late[late.size() / 2]) / 1e3;
    state.counters["p99_us"] = static_cast<double>(late[late.size() * 99 / 100]) / 1e3;
    state.counters["max_us"] = static_cast<double>(late.back()) / 1e3;
    state.counters["early"] = static_cast<double>(std::count_if(late.begin(), late.end(), [](auto l) { return l < 0; }));
}

void wheel_lateness_10k_over_2s(benchmark::State &state)
{
    kova_timer_module_init();
    for (auto _ : state) {
        std::vector<LateProbe> probes(10000);
        for (std::size_t i = 0; i < probes.size(); ++i) {
            kova_timer_init(&probes[i].timer);
            kova_timer_set(&probes[i].timer, 1 + (i * 2000) / probes.size(), reinterpret_cast<std::uint64_t>(&probes[i]),
                           record_late);
            kova_timer_add(&probes[i].timer);
        }
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
            kova_timer_init(&probes[i].timer);
            kova_timer_set(&probes[i].timer, 100000 + (i * 1801) % 900001, reinterpret_cast<std::uint64_t>(&probes[i]),
                           record_late);
            kova_timer_add_ns(&probes[i].timer);
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
