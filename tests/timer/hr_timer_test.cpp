#include <time.h>

#include <atomic>
#include <mutex>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_timer.h"
#include "support/log_capture.h"
#include "timer/hr_timer.h"
#include "timer/timer_test_util.h"

namespace {

using kova::test::eventually;

void ignore(std::uint64_t) {}

TEST(HrTimer, RefusedUntilTheFirstAdd)
{
    if (kova::timer::hr_state() != 6) GTEST_SKIP() << "another test in this process started the timers";
    kova::test::LogCapture log;
    kova_timer_s timer{};
    EXPECT_EQ(kova_hr_timer_delete(&timer) + kova_hr_timer_modify(&timer, 10), -2);
    EXPECT_EQ(log.count("kova hr timer is not inited."), 2u);
}

TEST(HrTimer, ExpiryCarriesIntoSeconds)
{
    kova_timer_expire_s e = kova::timer::hr_expiry_after(timespec{41, 999500000}, 500000);
    EXPECT_TRUE(e.tv_sec == 42 && e.tv_nsec == 0) << e.tv_sec << "." << e.tv_nsec;
    e = kova::timer::hr_expiry_after(timespec{41, 999500000}, 499999);
    EXPECT_TRUE(e.tv_sec == 41 && e.tv_nsec == 999999999) << e.tv_sec << "." << e.tv_nsec;
}

std::mutex order_lock;
std::vector<std::uint64_t> order;
void record(std::uint64_t data)
{
    std::lock_guard guard(order_lock);
    order.push_back(data);
}

TEST(HrTimer, LimitsPendingAndRouting)
{
    kova::test::LogCapture log;
    kova_timer_s timer;
    kova_timer_init(&timer);
    kova_timer_set(&timer, 1000001, 1, record);
    EXPECT_EQ(kova_timer_add_ns(&timer), -1);
    EXPECT_EQ(log.count("expire must less than 1 ms."), 1u);
    EXPECT_EQ(kova::timer::hr_state(), 0) << "the first add started the thread";

    timer.timeOut = 1000000;
    ASSERT_EQ(kova_timer_add_ns(&timer), 0) << "exactly one millisecond is allowed";
    EXPECT_EQ(kova_timer_add_ns(&timer), -1);
    EXPECT_EQ(log.count("the hr timer is pending."), 1u);
    EXPECT_EQ(kova_timer_modify(&timer, 1000001), -1) << "routed through the wheel's modify";
    EXPECT_TRUE(eventually([&] { return kova_timer_is_pending(&timer) == 0; }));
    EXPECT_EQ(kova_timer_delete_sync(&timer), 0);

    kova_timer_s idle;
    kova_timer_init(&idle);
    idle.flags = KOVA_TIMER_HR;
    EXPECT_EQ(kova_timer_delete(&idle), 0) << "deleting an idle timer is fine";
}

TEST(HrTimer, FiresEarliestFirstAndDeleteCancels)
{
    std::lock_guard<std::mutex>{order_lock}, order.clear();
    kova_timer_s late, early, cancelled;
    for (auto [t, delay, data] : {std::tuple{&late, 900000, 2}, {&early, 100000, 1}, {&cancelled, 800000, 3}}) {
        kova_timer_init(t);
        kova_timer_set(t, delay, data, record);
        ASSERT_EQ(kova_timer_add_ns(t), 0) << data;
    }
    EXPECT_EQ(kova_timer_delete(&cancelled), 0);
    EXPECT_EQ(kova_timer_is_pending(&cancelled), 0u);
    ASSERT_TRUE(eventually([] {
        std::lock_guard guard(order_lock);
        return order.size() >= 2;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard guard(order_lock);
    EXPECT_EQ(order, (std::vector<std::uint64_t>{1, 2}));
}

TEST(HrTimer, DiagnosticListsPendingTimers)
{
    kova_timer_s timer;
    kova_timer_init(&timer);
    kova_timer_set(&timer, 1000000, 0, ignore);
    ASSERT_EQ(kova_timer_add_ns(&timer), 0);
    ASSERT_EQ(kova_timer_modify(&timer, 1000000), 0);
    kova::test::LogCapture log;
    char cmd[] = "hrtimer", sub[] = "show", list[] = "listall", lis[] = "lis";
    char *listing[] = {cmd, sub, list};
    char *wrong[] = {cmd, sub, lis};
    kova_hr_timer_diagnose_func(3, listing);
    kova_hr_timer_diagnose_func(3, wrong);
    kova_hr_timer_diagnose_func(2, listing);
    auto messages = log.messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[0].text, "list of timer\n[NO.] [Timer Handler]          [Expire(ms)] [file:line]\n");
    EXPECT_EQ(log.count("cmd input wrong.\n"), 2u);
    kova_timer_delete_sync(&timer);
}

}  // namespace
