#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "kova/kova_affinity.h"
#include "kova/kova_cpumask.h"
#include "kova/kova_sched.h"
#include "sched_test.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/print_capture.h"

namespace {

using namespace kova::test;
using CpuSet = std::array<uint8_t, KOVA_CPUSET_BYTES>;

CpuSet cpus(std::initializer_list<unsigned> list)
{
    CpuSet set{};
    for (unsigned cpu : list) set[cpu / 8] = static_cast<uint8_t>(set[cpu / 8] | (1u << (cpu % 8)));
    return set;
}

CpuSet binding_of(pthread_t thread)
{
    CpuSet set{};
    kova_thrd_getbindcpu(thread, set.data());
    return set;
}

// The CPUs this process may run on, first and last: its starting mask, since tests change
// bindings and nice values only on threads of their own.
std::array<unsigned, 2> allowed_range()
{
    cpu_set_t set;
    std::array<unsigned, 2> range{CPU_SETSIZE, 0};
    if (sched_getaffinity(getpid(), sizeof set, &set) == 0)
        for (unsigned cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &set)) range = {std::min(range[0], cpu), cpu};
    return range;
}

// Only the bytes of the configured CPUs count: a missing CPU inside them is refused by the
// kernel (when there is one), a CPU beyond them is as good as an empty set.
TEST(Binding, BindsReadsBackAndLeavesTheBindingAloneOnEmptyOrBadSets)
{
    const auto [first, last] = allowed_range();
    if (first != 0) GTEST_SKIP() << "CPU 0 is not allowed to this process, so nothing can be bound to it";
    LogCapture log;
    const unsigned absent = num_config_cpus(), cpu_count = static_cast<unsigned>(sysconf(_SC_NPROCESSORS_CONF));
    std::thread([&] {
        const pthread_t self = pthread_self();
        const auto original = binding_of(self);
        EXPECT_EQ(kova_thrd_setbindcpu(self, cpus({}).data()), 0);
        EXPECT_EQ(kova_thrd_setbindcpu(self, cpus({(absent + 8) / 8 * 8}).data()), 0);
        EXPECT_EQ(kova_thrd_setbindcpu(self, cpus({absent}).data()), absent % 8 != 0 ? -1 : 0);
        EXPECT_EQ(kova_sched_setaffinity(cpu_count), -1);
        EXPECT_EQ(binding_of(self), original);
        EXPECT_EQ(log.count(format("Set thread(0x%lx) affinity bind cpu failed(%d).", (unsigned long)self, EINVAL)),
                  absent % 8 != 0 ? 1u : 0u);
        EXPECT_EQ(log.count(format("cpu num overstep, current only has %u cpu", cpu_count)), 1u);
        EXPECT_TRUE(my_core == -1 && kova_sched_setaffinity(0) == 0 && my_core == 0);
        EXPECT_EQ(binding_of(self), cpus({0}));
        EXPECT_EQ(kova_setCurThreadBind(std::to_string(last).c_str()), 0);
        auto by_pid = cpus({5});
        EXPECT_TRUE(kova_thrd_getbindcpu_bypid(gettid(), by_pid.data()) == 0 && by_pid == cpus({last}));
        EXPECT_EQ(kova_setCurThreadBind("x"), -1);
        auto invalid = log.with_text(format("Bind thread:%lu to cpu:x fail, invalid cpu mask.", (unsigned long)self));
        EXPECT_EQ(invalid.size() == 1 ? invalid[0].function : "", "kova_thrd_setbindcpustr");
        // The affinity entity takes the listed CPUs below 1024 and binds the thread it is asked for.
        const kova_affinity_entity_s saved = g_affinityLevel_1;
        std::strcpy(g_affinityLevel_1.name, "level_test");
        std::memset(g_affinityLevel_1.cpumask, 0, sizeof g_affinityLevel_1.cpumask);
        EXPECT_EQ(kova_parse_affinity_value("0,,abc,-3,1023,1024", &g_affinityLevel_1), 0);
        EXPECT_EQ(std::memcmp(g_affinityLevel_1.cpumask, cpus({0, 1023}).data(), KOVA_CPUSET_BYTES), 0);
        EXPECT_EQ(kova_set_thread_affinity(self, "level_x") + kova_set_thread_affinity(self, "level_test"), 0);
        EXPECT_EQ(binding_of(self), cpus({0}));
        g_affinityLevel_1 = saved;
    }).join();
}

// A mask that does not parse leaves an entry unconfigured: teardown puts the table back as the
// process found it. The fallback lowers the priority to the least (19), which every process may
// do, and binds to the first CPU the process may use; entry 4 names a CPU the machine lacks.
class Strategies : public ::testing::Test {
protected:
    void TearDown() override
    {
        const kova_thread_strategy_cfg_s unconfigured{0, ""};
        for (uint32_t i = 0; i < KOVA_THRD_STRATEGIES; ++i) kova_initThreadStrategy(i, &unconfigured);
    }
    LogCapture log_;
};

TEST_F(Strategies, ApplyingFallsBackToDefaultAndRecordsTheRequestedIndex)
{
    EXPECT_EQ(kova_setCurThreadStrategy(7) + kova_setCurThreadStrategy(3), 0);  // nothing configured yet
    EXPECT_EQ(log_.with_text("Invalid thread strategy 7.").at(0).function, "kova_getValidThreadAttr");
    const unsigned first = allowed_range()[0];
    const std::string first_text = std::to_string(first), absent = std::to_string(num_config_cpus());
    const kova_thread_strategy_cfg_s fallback{19, first_text.c_str()}, unbindable{19, absent.c_str()};
    const kova_thread_strategy_cfg_s critical{10, "0,65"}, bad{3, "bad"};
    EXPECT_EQ(kova_initThreadStrategy(6, &critical) + kova_initThreadStrategy(2, &bad), -2);
    EXPECT_EQ(log_.count("Invalid thread strategy 6.") + log_.count("Invalid cpu mask info:bad."), 2u);
    ASSERT_EQ(kova_initThreadStrategy(0, &fallback) + kova_initThreadStrategy(1, &critical), 0);
    printed_text().clear();
    EXPECT_EQ(kova_showThreadStrategyDbg(capture_print), 0);
    EXPECT_NE(printed_text().find("Strategy   Flags      Prio CpuMask\nDefault    0x00000001 19   0x"), std::string::npos);
    EXPECT_NE(printed_text().find("\nCritical   0x00000001 10   0x0000000000000001 0000000000000002 "
                                  "0000000000000000 0000000000000000\n"), std::string::npos) << printed_text();
    const bool can_fail = num_config_cpus() % 8 != 0 && kova_initThreadStrategy(4, &unbindable) == 0;
    static std::uint64_t start = 1000000000000u;  // a minute past the last run: the failure is not rate-limited
    kova::test::FakeClock clock(1000000000u, start += 61000000000u);
    std::thread([&] {
        ASSERT_EQ(kova_thrd_setcurthreadinfo(), 0);
        EXPECT_EQ(kova_setCurThreadStrategy(3), 0);
        EXPECT_TRUE(getpriority(PRIO_PROCESS, 0) == 19 && binding_of(pthread_self()) == cpus({first}));
        EXPECT_EQ(m_current_thread->strategy, 3u);
        EXPECT_EQ(kova_setCurThreadStrategy(4), can_fail ? -1 : 0);
        EXPECT_EQ(m_current_thread->strategy, can_fail ? 3u : 4u);
        EXPECT_EQ(log_.count("Set thread strategy 4 fail."), can_fail ? 1u : 0u);
        kova_thrd_clearcurthreadinfo();
    }).join();
}

}  // namespace
