#include <time.h>
#include <unistd.h>

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

TEST(TimeBase, FactorIsTheTruncatedNanosecondsPerCount)
{
    struct Case {
        uint64_t frequency, ns_per_count;
    } cases[] = {{100000000, 10}, {25000000, 40}, {24000000, 41}, {1000000000, 1}, {62500000, 16},
                 {3000000000ull, 0}, {0, 0}};
    for (const Case &c : cases) {
        FakeClock clock(c.frequency, 1000);
        EXPECT_EQ(kova_time_cycles2ns(1), c.ns_per_count) << c.frequency;
        EXPECT_EQ(kova_time_getnanosec(), 1000 * c.ns_per_count) << c.frequency;
    }
}

// A second at 24 MHz reads short (the factor truncates 41.67 to 41); jiffies are 4 ms.
TEST(TimeBase, ReadingsAtBoundaries)
{
    struct Case {
        uint64_t frequency, counter, ns, ms, jiffies;
    } cases[] = {{24000000, 24000000, 984000000, 984, 246}, {1000000000, 7999999, 7999999, 7, 1},
                 {1000000000, 8000000, 8000000, 8, 2}};
    for (const Case &c : cases) {
        FakeClock clock(c.frequency, c.counter);
        EXPECT_EQ(kova_time_getnanosec(), c.ns) << c.counter;
        EXPECT_EQ(kova_time_getmillisec(), c.ms) << c.counter;
        EXPECT_EQ(kova_get_jiffies(), c.jiffies) << c.counter;
    }
}

TEST(TimeBase, NanosecondsWrapModulo64Bits)
{
    FakeClock clock(25000000, 0);
    uint64_t cycles = (~0ull / 40) + 1;
    EXPECT_EQ(kova_time_cycles2ns(cycles), cycles * 40);  // wraps, no trap
    clock.set(cycles);
    EXPECT_EQ(kova_time_getnanosec(), cycles * 40);
}

TEST(TimeBase, CheckCurrCpuResetsTheAssumedRate)
{
    currCpuGHz = 1.5;
    EXPECT_EQ(kova_CheckCurrCpu(), 0);
    EXPECT_DOUBLE_EQ(currCpuGHz, 2.6);
    EXPECT_EQ(kova_gettime_init() + kova_gettime_init(), 0);
    jiffies_fini();
    EXPECT_EQ(kova_gettime_init(), 0) << "fini tears nothing down";
}

TEST(TimeBase, BeforeInitialisationOnlyJiffiesAreCorrect)
{
    FakeClock clock(25000000, 25000000);  // one second at 40 ns per count
    kova::time::reset_time_base_for_test();
    kova::time::reset_jiffies_for_test();
    EXPECT_EQ(kova_time_getnanosec(), 0u);
    EXPECT_EQ(kova_time_getmillisec(), 0u);
    EXPECT_EQ(kova_time_cycles2ns(100), 0u);
    EXPECT_EQ(kova_get_jiffies(), 250u) << "jiffies initialise on demand";
    EXPECT_EQ(kova_time_getmillisec(), 1000u);
}

TEST(StableCounterRead, ReturnsAtOnceWhenReadsAgree)
{
    FakeClock clock(1000000000, 500);
    clock.step_per_read(8);
    EXPECT_EQ(kova_rte_get_timer_cycles(), 508u);
    EXPECT_EQ(clock.reads(), 2u);
}

TEST(StableCounterRead, GivesUpAfterTwoHundredAttempts)
{
    FakeClock clock(1000000000, 0);
    clock.step_per_read(9);
    uint64_t value = kova_rte_get_timer_cycles();
    EXPECT_EQ(clock.reads(), 400u);
    EXPECT_EQ(value, 399u * 9) << "the 200th attempt's second read";
}

TEST(TimeBase, RealCounterIsMonotonicAndTracksTheWallClock)
{
    ASSERT_EQ(kova_gettime_init(), 0);
    ASSERT_NE(kova_time_cycles2ns(1), 0u) << "the counter frequency must divide into nanoseconds";
    timespec t0{}, t1{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    uint64_t n0 = kova_time_getnanosec();
    for (uint64_t i = 0, previous = n0, now; i < 10000; ++i, previous = now)
        ASSERT_GE(now = kova_time_getnanosec(), previous);
    usleep(20000);
    uint64_t n1 = kova_time_getnanosec();
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double wall = (t1.tv_sec - t0.tv_sec) * 1e9 + (t1.tv_nsec - t0.tv_nsec);
    double ours = static_cast<double>(n1 - n0);
    // The factor truncates (62.5 MHz gives 16 ns exactly; 24 MHz would lose 1.6%).
    EXPECT_GT(ours, wall * 0.9);
    EXPECT_LT(ours, wall * 1.1);
}

TEST(RateEstimate, RoundsToTheNearestTenMegahertzHalfwayUp)
{
    for (auto [rate, rounded] : {std::pair<uint64_t, uint64_t>{105000000, 110000000}, {104999999, 100000000},
                                 {100000000, 100000000}, {62500000, 60000000}, {4999999, 0}, {5000000, 10000000}, {0, 0}})
        EXPECT_EQ(kova::time::round_counter_rate(rate), rounded) << rate;
}

TEST(RateEstimate, MeasuresTheCounterRate)
{
    kova::test::LogCapture log;
    kova_estimate_tsc_freq();
    double frequency = static_cast<double>(kova::platform::counter_frequency());
    EXPECT_NEAR(currCpuGHz * 1e9, frequency, 10e6 + frequency * 0.05);
    EXPECT_EQ(std::llround(currCpuGHz * 1e9) % 10000000, 0) << "a multiple of 10 MHz";
    auto lines = log.messages();
    char expected[64];
    std::snprintf(expected, sizeof expected, "cpu standard hz is %f.", currCpuGHz);
    ASSERT_EQ(log.count(expected), 1u);
    EXPECT_TRUE(lines.size() == 1 && lines[0].level == 6);
    kova_CheckCurrCpu();
}

class TscFrequency : public ::testing::Test {
protected:
    static constexpr const char *kFlagsCommand = "cat /proc/cpuinfo | grep -o constant_tsc | uniq";
    static constexpr const char *kModelCommand = "cat /proc/cpuinfo | grep @ | uniq | awk '{print $NF}'";
    void TearDown() override { kova_CheckCurrCpu(); }
    kova::test::CommandIntercept commands;
    kova::test::LogCapture log;
};

TEST_F(TscFrequency, ReadsTheRateFromTheModelLine)
{
    commands.answer(kFlagsCommand, 0, "constant_tsc\n");
    commands.answer(kModelCommand, 0, "2.60GHz\n");
    currCpuGHz = 0;
    EXPECT_EQ(kova_get_tsc_freq(), 0);
    EXPECT_DOUBLE_EQ(currCpuGHz, 2.6);
    EXPECT_EQ(commands.commands(), (std::vector<std::string>{kFlagsCommand, kModelCommand}));
}

TEST_F(TscFrequency, WithoutTheFlagFailsAndKeepsTheRate)
{
    commands.answer(kFlagsCommand, 1, "");
    currCpuGHz = 1.25;
    EXPECT_EQ(kova_get_tsc_freq(), -1);
    EXPECT_DOUBLE_EQ(currCpuGHz, 1.25);
    auto logged = log.with_text("There is no constant_tsc flag in /proc/cpuinfo");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_TRUE(logged[0].level == 3 && logged[0].function == "kova_get_tsc_freq");
    EXPECT_EQ(commands.commands().size(), 1u);
}

TEST_F(TscFrequency, WithoutAModelRateFallsBackToMeasuring)
{
    commands.answer(kFlagsCommand, 0, "constant_tsc\n");
    commands.answer(kModelCommand, 0, "");
    EXPECT_EQ(kova_get_tsc_freq(), 0);
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_TRUE(log.messages()[0].text.starts_with("cpu standard hz is "));
}

TEST_F(TscFrequency, CommandsThatCannotStartAreReported)
{
    commands.fail_spawn(kFlagsCommand);
    EXPECT_EQ(kova_get_tsc_freq(), -1);
    EXPECT_TRUE(log.contains("Cat /proc/cpuinfo for constant_tsc fail"));

    log.clear();
    kova::test::CommandIntercept second;
    second.answer(kFlagsCommand, 0, "constant_tsc\n");
    second.fail_spawn(kModelCommand);
    EXPECT_EQ(kova_get_tsc_freq(), -1);
    EXPECT_TRUE(log.contains("Cat /proc/cpuinfo fail for cpufreq fail"));
}

TEST(JiffiesInit, ConcurrentFirstCallsAgree)
{
    std::vector<std::thread> threads;
    std::vector<uint64_t> seen(8);
    for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { jiffies_Init(), seen[i] = kova_get_jiffies(); });
    for (auto &t : threads) t.join();
    for (uint64_t j : seen) EXPECT_GT(j, 0u);
}

}  // namespace
