#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "kova/kova_cpumask.h"
#include "sched_test.h"
#include "support/log_capture.h"
#include "support/print_capture.h"

namespace {

class Strategies : public ::testing::Test {
protected:
    // A mask that does not parse leaves an entry unconfigured: the table is as the process found it.
    void TearDown() override
    {
        const kova_thread_strategy_cfg_s unconfigured{0, ""};
        for (uint32_t i = 0; i < KOVA_THRD_STRATEGIES; ++i) kova_initThreadStrategy(i, &unconfigured);
    }
    kova::test::LogCapture log_;
};

TEST_F(Strategies, ConfigurationIsCheckedAndShown)
{
    const kova_thread_strategy_cfg_s critical{10, "0,65"}, bad{3, "bad"};
    EXPECT_EQ(kova_initThreadStrategy(6, &critical) + kova_initThreadStrategy(2, &bad), -2);
    EXPECT_EQ(kova_initThreadStrategy(1, &critical), 0);
    EXPECT_EQ(log_.count("Invalid thread strategy 6.") + log_.count("Invalid cpu mask info:bad."), 2u);
    kova::test::printed_text().clear();
    EXPECT_EQ(kova_showThreadStrategyDbg(kova::test::capture_print), 0);
    const std::string &shown = kova::test::printed_text();
    const std::string zeros = " 0000000000000000 0000000000000000\n", head = "Strategy   Flags      Prio CpuMask\n"
        "Default    0x00000000 0    0x0000000000000000 0000000000000000" + zeros +
        "Critical   0x00000001 10   0x0000000000000001 0000000000000002" + zeros + "Ctrl       0x00000000 3    0x";
    EXPECT_EQ(shown.substr(0, head.size()), head);
}

TEST_F(Strategies, ApplyingFallsBackToDefaultAndRecordsTheRequestedIndex)
{
    EXPECT_EQ(kova_setCurThreadStrategy(7) + kova_setCurThreadStrategy(3), 0);  // nothing configured yet
    EXPECT_EQ(log_.messages().at(0).function, "kova_getValidThreadAttr");
    EXPECT_EQ(log_.messages().size(), 1u);

    const kova_thread_strategy_cfg_s fallback{10, "0"};
    ASSERT_EQ(kova_initThreadStrategy(0, &fallback), 0);
    const std::string absent = std::to_string(num_config_cpus());
    const kova_thread_strategy_cfg_s unbindable{10, absent.c_str()};
    const bool can_fail = num_config_cpus() % 8 != 0 && kova_initThreadStrategy(4, &unbindable) == 0;
    kova::test::on_own_thread([&] {
        ASSERT_EQ(kova_thrd_setcurthreadinfo(), 0);
        EXPECT_EQ(kova_setCurThreadStrategy(3), 0);
        EXPECT_EQ(getpriority(PRIO_PROCESS, 0), 10);
        EXPECT_EQ(kova::test::binding_of(pthread_self()), kova::test::cpus({0}));
        EXPECT_EQ(m_current_thread->strategy, 3u);
        EXPECT_EQ(kova_setCurThreadStrategy(4), can_fail ? -1 : 0);
        EXPECT_EQ(m_current_thread->strategy, can_fail ? 3u : 4u);
        kova_thrd_setprio(5);  // no such level
        EXPECT_EQ(getpriority(PRIO_PROCESS, 0), 10);
        kova_thrd_setprio(geteuid() == 0 ? 1 : 4);  // lowering the nice value needs the privilege
        EXPECT_EQ(getpriority(PRIO_PROCESS, 0), geteuid() == 0 ? -15 : 15);
        EXPECT_EQ(log_.count("Set thread strategy 4 fail."), can_fail ? 1u : 0u);
        kova_thrd_clearcurthreadinfo();
    });
}

}  // namespace
