#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_time.h"
#include "platform/clock.h"
#include "support/command_intercept.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "time/time_base.h"

namespace {

using kova::test::FakeClock;

// The factor truncates: a second at 24 MHz reads as 984 ms. Jiffies are 4 ms; products wrap.
TEST(TimeBase, ReadingsAtFactorAndUnitBoundaries)
{
    const uint64_t wraps = (~0ull / 40) + 1;
    struct Case { uint64_t frequency, counter, ns, ms, jiffies; } cases[] = {
                 {100000000, 1000, 10000, 0, 0},          {25000000, 1000, 40000, 0, 0},
                 {62500000, 1000, 16000, 0, 0},           {3000000000ull, 1000, 0, 0, 0},
                 {0, 1000, 0, 0, 0},                      {24000000, 24000000, 984000000, 984, 246},
                 {1000000000, 7999999, 7999999, 7, 1},    {1000000000, 8000000, 8000000, 8, 2},
                 {25000000, wraps, wraps * 40, wraps * 40 / 1000000, wraps * 40 / 4000000}};
    for (const Case &c : cases) {
        FakeClock clock(c.frequency, c.counter);
        EXPECT_EQ(kova_time_cycles2ns(c.counter), c.ns) << c.frequency;
        std::vector readings{kova_time_getnanosec(), kova_time_getmillisec(), kova_get_jiffies()};
        EXPECT_EQ(readings, (std::vector{c.ns, c.ms, c.jiffies})) << c.frequency << " " << c.counter;
    }
}

// Jiffies initialise on demand, also when the first calls race.
TEST(TimeBase, BeforeInitialisationOnlyJiffiesAreCorrect)
{
    FakeClock clock(25000000, 25000000);  // one second at 40 ns per count
    kova::time::reset_time_base_for_test();
    kova::time::reset_jiffies_for_test();
    EXPECT_EQ(kova_time_getnanosec() + kova_time_getmillisec() + kova_time_cycles2ns(100), 0u);
    std::vector<uint64_t> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = kova_get_jiffies(); });
    for (auto &t : threads) t.join();
    EXPECT_EQ(seen, std::vector<uint64_t>(8, 250));
    EXPECT_EQ(kova_time_getmillisec(), 1000u);
    currCpuGHz = 1.5;
    EXPECT_TRUE(kova_CheckCurrCpu() == 0 && currCpuGHz == 2.6);
}

// Two reads agree within 80 ns, counted in the running counter's counts (8 counts at 100 MHz).
TEST(StableCounterRead, AcceptsReadsWithin80NanosecondsOrGivesUpAfter200Attempts)
{
    struct Case { uint64_t frequency, step, reads; } cases[] = {
        {100000000, 8, 2}, {100000000, 9, 400}, {1000000000, 80, 2}, {1000000000, 81, 400},
        {24000000, 1, 2},  {24000000, 2, 400},  {0, 0, 2},           {0, 1, 400}};
    for (const Case &c : cases) {
        FakeClock clock(c.frequency, 500);
        clock.step_per_read(c.step);
        EXPECT_TRUE(kova_rte_get_timer_cycles() == 500 + (c.reads - 1) * c.step && clock.reads() == c.reads)
            << c.frequency << " " << c.step;
    }
}

// Bracketed by the system clock, whatever the scheduler does: the counter's span lies between
// the inner and the outer span (within the factor's truncation: 62.5 MHz is exact, 24 MHz 1.6% short).
TEST(TimeBase, RealCounterIsMonotonicAndTracksTheSystemClock)
{
    ASSERT_EQ(kova_gettime_init(), 0);
    ASSERT_NE(kova_time_cycles2ns(1), 0u) << "the counter frequency must divide into nanoseconds";
    auto monotonic_ns = [] { return uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()); };
    uint64_t outer0 = monotonic_ns(), n0 = kova_time_getnanosec(), inner0 = monotonic_ns();
    for (uint64_t i = 0, previous = n0, now; i < 10000; ++i, previous = now)
        ASSERT_GE(now = kova_time_getnanosec(), previous);
    usleep(20000);
    uint64_t inner1 = monotonic_ns(), n1 = kova_time_getnanosec(), outer1 = monotonic_ns();
    EXPECT_GE(static_cast<double>(n1 - n0), static_cast<double>(inner1 - inner0) * 0.97);
    EXPECT_LE(static_cast<double>(n1 - n0), static_cast<double>(outer1 - outer0) * 1.03);
}

// Each command's answer is its output, or nullptr when it cannot be started. Without a rate in
// the model line the counter's rate is measured (over 50 ms of the real clock) and logged.
TEST(TscFrequency, ReadsTheModelRateFallsBackToMeasuringAndReportsEachFailure)
{
    const std::string flags = "cat /proc/cpuinfo | grep -o constant_tsc | uniq";
    const std::string model = "cat /proc/cpuinfo | grep @ | uniq | awk '{print $NF}'";
    struct Case { const char *flags_out, *model_out; int result; double rate; std::string logged; size_t commands; }
    cases[] = {  // a rate of 0: measured
        {"constant_tsc\n", "2.60GHz\n", 0, 2.6, "", 2},
        {"", "2.60GHz\n", -1, 1.25, "There is no constant_tsc flag in /proc/cpuinfo", 1},
        {nullptr, "2.60GHz\n", -1, 1.25, "Cat /proc/cpuinfo for constant_tsc fail", 1},
        {"constant_tsc\n", nullptr, -1, 1.25, "Cat /proc/cpuinfo fail for cpufreq fail", 2},
        {"constant_tsc\n", "", 0, 0, "cpu standard hz is ", 2},
    };
    for (const Case &c : cases) {
        kova::test::CommandIntercept commands;
        kova::test::LogCapture log;
        c.flags_out ? commands.answer(flags, 0, c.flags_out) : commands.fail_spawn(flags);
        c.model_out ? commands.answer(model, 0, c.model_out) : commands.fail_spawn(model);
        currCpuGHz = 1.25;
        EXPECT_EQ(kova_get_tsc_freq(), c.result) << c.logged;
        std::vector<std::string> ran{flags, model};
        ran.resize(c.commands);
        EXPECT_EQ(commands.commands(), ran) << c.logged;
        const double measured = currCpuGHz * 1e9, frequency = static_cast<double>(kova::platform::counter_frequency());
        if (c.rate == 0) {
            EXPECT_NEAR(measured, frequency, 10e6 + frequency * 0.05);
            EXPECT_EQ(std::llround(measured) % 10000000, 0) << "a multiple of 10 MHz";
        }
        EXPECT_TRUE(c.rate == 0 || currCpuGHz == c.rate) << c.logged;
        std::string text = c.rate == 0 ? c.logged + std::to_string(currCpuGHz) + "." : c.logged;
        const char *function = c.rate == 0 ? "kova_estimate_tsc_freq" : "kova_get_tsc_freq";
        auto logged = log.messages();
        EXPECT_TRUE(text.empty() ? logged.empty()
                                 : logged.size() == 1 && logged[0].text == text && logged[0].function == function &&
                                       logged[0].level == (c.rate == 0 ? 6 : 3)) << c.logged;
    }
    kova_CheckCurrCpu();
    for (auto [rate, rounded] : {std::pair<uint64_t, uint64_t>{105000000, 110000000}, {104999999, 100000000},
                                 {100000000, 100000000}, {62500000, 60000000}, {4999999, 0}, {5000000, 10000000},
                                 {0, 0}})
        EXPECT_EQ(kova::time::round_counter_rate(rate), rounded) << rate;  // to 10 MHz, halfway up
}

}  // namespace
