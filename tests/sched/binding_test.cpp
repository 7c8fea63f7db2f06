#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

#include "kova/kova_affinity.h"
#include "kova/kova_cpumask.h"
#include "kova/kova_sched.h"
#include "sched_test.h"
#include "support/log_capture.h"

namespace {

using kova::test::binding_of;
using kova::test::cpus;
using kova::test::format;

TEST(Sleeps, SleepAtLeastAsLongAsAsked)
{
    const auto start = std::chrono::steady_clock::now();
    kova_usleep(1000001);  // whole seconds and the remainder both count
    kova_msleep(3);
    kova_10msleep(1);
    kova_schedule();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(1014001));
    EXPECT_GT(kova_mdelay(2), 2000000u);
    EXPECT_EQ(kova_sched_init(), 0);
}

// Only the bytes of the configured CPUs count: a missing CPU inside them is refused by the
// kernel (when there is one), a CPU beyond them is as good as an empty set.
TEST(Binding, BindsReadsBackAndLeavesTheBindingAloneOnEmptyOrBadSets)
{
    kova::test::LogCapture log;
    const unsigned absent = num_config_cpus();
    kova::test::on_own_thread([&] {
        const pthread_t self = pthread_self();
        const auto original = binding_of(self);
        EXPECT_EQ(kova_thrd_setbindcpu(self, cpus({}).data()), 0);
        EXPECT_EQ(kova_thrd_setbindcpu(self, cpus({(absent + 8) / 8 * 8}).data()), 0);
        EXPECT_EQ(kova_thrd_setbindcpu(self, cpus({absent}).data()), absent % 8 != 0 ? -1 : 0);
        EXPECT_EQ(kova_sched_setaffinity(static_cast<uint32_t>(sysconf(_SC_NPROCESSORS_CONF))), -1);
        EXPECT_EQ(binding_of(self), original);
        EXPECT_EQ(log.count(format("Set thread(0x%lx) affinity bind cpu failed(%d).", (unsigned long)self, EINVAL)),
                  absent % 8 != 0 ? 1u : 0u);
        EXPECT_EQ(my_core, -1);
        EXPECT_EQ(kova_sched_setaffinity(0), 0);
        EXPECT_EQ(my_core, 0);
        EXPECT_EQ(binding_of(self), cpus({0}));

        EXPECT_EQ(kova_setCurThreadBind("1,x"), absent > 1 ? 0 : -1);
        auto by_pid = cpus({5});
        EXPECT_EQ(kova_thrd_getbindcpu_bypid(gettid(), by_pid.data()), 0);
        EXPECT_EQ(by_pid, cpus({absent > 1 ? 1u : 0u}));
        EXPECT_EQ(kova_setCurThreadBind("x"), -1);
        auto invalid = log.with_text(format("Bind thread:%lu to cpu:x fail, invalid cpu mask.", (unsigned long)self));
        EXPECT_EQ(invalid.size() == 1 ? invalid[0].function : "", "kova_thrd_setbindcpustr");

        const kova_affinity_entity_s saved = g_affinityLevel_1;
        std::strcpy(g_affinityLevel_1.name, "level_test");
        std::memset(g_affinityLevel_1.cpumask, 0, sizeof g_affinityLevel_1.cpumask);
        EXPECT_EQ(kova_parse_affinity_value("0,,abc,-3,1023,1024", &g_affinityLevel_1), 0);
        EXPECT_EQ(std::memcmp(g_affinityLevel_1.cpumask, cpus({0, 1023}).data(), KOVA_CPUSET_BYTES), 0);
        EXPECT_EQ(kova_set_thread_affinity(self, "level_x") + kova_set_thread_affinity(self, nullptr), -1);
        EXPECT_EQ(kova_set_thread_affinity(self, "level_test"), 0);
        EXPECT_EQ(binding_of(self), cpus({0}));
        g_affinityLevel_1 = saved;
    });
    EXPECT_EQ(log.count(format("cpu num overstep, current only has %ld cpu", sysconf(_SC_NPROCESSORS_CONF))), 1u);
    auto stale = cpus({3});
    EXPECT_EQ(kova_thrd_getbindcpu_bypid(0x7ffffff0, stale.data()), -1);
    EXPECT_EQ(stale, cpus({}));
    EXPECT_EQ(log.count(format("Get thread(%llu) affinity bind cpu by pid failed(-1), errno(%d:%s).", 0x7ffffff0ull,
                               ESRCH, std::strerror(ESRCH))), 1u);
    EXPECT_EQ(kova_affinity_init(), 0);  // not the "app_data" process: nothing to fill
}

}  // namespace
