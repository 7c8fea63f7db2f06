#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "kova/kova_timer.h"
#include "support/log_capture.h"
#include "timer/timer_test_util.h"
#include "timer/wheel.h"

namespace {

using kova::test::eventually;

void ignore(std::uint64_t) {}

TEST(TimerApi, BadInputIsRefusedWithItsMessage)
{
    ASSERT_EQ(kova_timer_module_init(), 0);
    kova::test::LogCapture log;
    kova_timer_s timer;
    EXPECT_EQ(kova_timer_init(nullptr) + kova_timer_delete(nullptr) + kova_timer_delete_sync(nullptr), -3);
    EXPECT_EQ(kova_timer_is_pending(nullptr), 0u);
    EXPECT_EQ(log.count("Input timer is null."), 4u);

    EXPECT_EQ(kova_timer_set(nullptr, 10, 0, ignore) + kova_timer_set(&timer, 10, 0, nullptr), -2);
    EXPECT_EQ(log.count("Input para is invalid."), 2u);

    kova_timer_init(&timer);
    EXPECT_EQ(kova_timer_add(&timer) + kova_timer_add_ns(&timer), -2) << "no handler";
    EXPECT_EQ(log.count("Input timer is null or not initiated."), 2u);

    kova_timer_set(&timer, 0, 0, ignore);
    EXPECT_EQ(kova_timer_add(&timer), -1) << "a time-out of 0";
    EXPECT_EQ(log.count("Input para is invalid."), 3u);

    kova_timer_set(&timer, 60000, 0, ignore);
    ASSERT_EQ(kova_timer_add(&timer), 0);
    EXPECT_EQ(kova_timer_is_pending(&timer), 1u);
    EXPECT_EQ(kova_timer_add(&timer) + kova_timer_set(&timer, 5, 0, ignore), -2);
    EXPECT_EQ(log.count("The timer is pending."), 2u);
    EXPECT_EQ(kova_timer_delete(&timer), 0);
    EXPECT_EQ(kova_timer_is_pending(&timer), 0u);
    EXPECT_EQ(timer.entry.prev, KOVA_LIST_POISON_PREV);
    EXPECT_EQ(kova_timer_delete(&timer), 0) << "deleting an idle timer is fine";
    EXPECT_EQ(log.with_text("The timer is pending.")[0].file, "timer/kova_timer");
}

TEST(TimerApi, CallsBeforeInitialisationAreRefused)
{
    ASSERT_EQ(kova_timer_module_init(), 0);
    kova::test::LogCapture log;
    kova_timer_s timer;
    kova_timer_init(&timer);
    kova_timer_set(&timer, 10, 0, ignore);
    kova::timer::module_state.store(kova::timer::kNotInitialised);
    EXPECT_EQ(kova_timer_add(&timer) + kova_timer_modify(&timer, 10) + kova_timer_delete(&timer) +
                  kova_timer_delete_sync(&timer),
              -4);
    kova::timer::module_state.store(kova::timer::kReady);
    EXPECT_EQ(log.count("kova timer is not inited."), 4u);
    EXPECT_EQ(kova_timer_is_pending(&timer), 0u);
}

std::atomic<int> rearms{0};
kova_timer_s rearming;
void rearm_self(std::uint64_t times)
{
    if (rearms.fetch_add(1) + 1 < static_cast<int>(times)) kova_timer_modify(&rearming, 1);
}

TEST(TimerApi, HandlerMayRearmItsOwnTimer)
{
    ASSERT_EQ(kova_timer_module_init(), 0);
    rearms = 0;
    kova_timer_init(&rearming);
    kova_timer_set(&rearming, 1, 3, rearm_self);
    ASSERT_EQ(kova_timer_add(&rearming), 0);
    EXPECT_TRUE(eventually([] { return rearms.load() == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(rearms.load(), 3);
    EXPECT_EQ(kova_timer_is_pending(&rearming), 0u);
}

std::atomic<bool> handler_inside{false};
std::atomic<bool> handler_done{false};
void slow(std::uint64_t)
{
    handler_inside = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    handler_done = true;
}

TEST(TimerApi, DeleteSyncWaitsForTheRunningHandler)
{
    ASSERT_EQ(kova_timer_module_init(), 0);
    kova_timer_s timer;
    kova_timer_init(&timer);
    kova_timer_set(&timer, 1, 0, slow);
    ASSERT_EQ(kova_timer_add(&timer), 0);
    ASSERT_TRUE(eventually([] { return handler_inside.load(); }));
    EXPECT_EQ(kova_timer_delete_sync(&timer), 0);
    EXPECT_TRUE(handler_done.load()) << "returned while the handler still ran";
}

TEST(TimerLinks, BrokenLinksAreReportedAndDumped)
{
    kova::test::LogCapture log;
    kova_timer_s a{}, b{};
    a.funcName = "arm_a";
    a.file = "a.c";
    a.line = 7;
    // head <-> a <-> b, but b does not point back at a.
    kova_list_head_s head{&a.entry, &b.entry};
    a.entry = {&b.entry, &head};
    b.entry = {&head, &head};
    EXPECT_FALSE(kova::timer::check_unlink(&a.entry, "detachTimerFromList"));
    auto reports = log.messages();
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(reports[0].function == "detachTimerFromList" && reports[0].level == 3 &&
                reports[0].text.starts_with("Abnormal list node next:"))
        << reports[0].text;
    EXPECT_TRUE(std::any_of(reports.begin(), reports.end(), [](auto &m) {
        return m.module == 0 && m.text.starts_with("[Infra]Timer entry:0x") &&
               m.text.find("in funcName:arm_a file:a.c line:7") != std::string::npos;
    })) << "the record is dumped to the infrastructure log";

    log.clear();
    kova_timer_s c{};
    c.entry = {&head, nullptr};
    EXPECT_FALSE(kova::timer::check_unlink(&c.entry, "run_timers"));
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_TRUE(log.messages()[0].level == 6 && log.messages()[0].text.starts_with("List node prev:("));

    log.clear();
    b.entry.prev = &head;
    kova::timer::check_walk_order(&b.entry, &a.entry, "recalculate_timer_slot");
    ASSERT_FALSE(log.messages().empty());
    EXPECT_TRUE(log.messages()[0].text.starts_with("Abnormal list node cur:"));
}

}  // namespace
