#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "init/kova_log.h"
#include "kova/kova_time.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"

KOVA_LOG_SOURCE("init/kova_init")

namespace {

constexpr uint64_t kJiffy = 4000000;  // counts at 1 GHz

void noisy(int i) { KOVA_LOG_RATELIMITED(kova::log::kError, kova::log::kError, "noisy %d", i); }
void quiet_limiter(int i) { KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kWarning, "warn %d", i); }
void guarded(int level) { KOVA_LOG(level, "guarded %d", level); }
void documented_elsewhere() { KOVA_LOG_AS("kova_init_inner", kova::log::kError, "as other"); }

TEST(LogConvention, GuardedCallCarriesSourceFunctionAndLevel)
{
    kova::test::LogCapture log(6);
    guarded(7);
    guarded(6);
    documented_elsewhere();
    EXPECT_FALSE(log.contains("guarded 7")) << "a disabled level formats nothing";
    auto found = log.with_text("guarded 6");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].module, KOVA_MODULE_ID);
    EXPECT_EQ(found[0].file, "init/kova_init");
    EXPECT_EQ(found[0].function, "guarded");
    EXPECT_EQ(found[0].level, 6);
    EXPECT_GT(found[0].line, 0);
    ASSERT_EQ(log.with_text("as other").size(), 1u);
    EXPECT_EQ(log.with_text("as other")[0].function, "kova_init_inner");
}

TEST(LogConvention, RateLimiterAllowsThreeThenSummarisesAfterTenMinutes)
{
    kova::test::FakeClock clock(1000000000u, 1000 * kJiffy);
    kova::test::LogCapture log;
    for (int i = 0; i < 10; ++i) noisy(i);
    EXPECT_TRUE(log.contains("noisy 2"));
    EXPECT_FALSE(log.contains("noisy 3"));

    // 60 s later the count restarts, but the 600 s summary period has not passed since the start
    // (the summary time starts at 0 and the clock started at 4 s, so the first is due at 600 s).
    clock.advance(15000 * kJiffy);
    noisy(10);
    EXPECT_TRUE(log.contains("noisy 10"));
    EXPECT_EQ(log.messages().size(), 4u) << "no summary before 600 s";

    for (int i = 11; i < 20; ++i) noisy(i);  // 2 more logged, 7 suppressed: 14 in all
    clock.advance(150000 * kJiffy);
    noisy(20);
    auto messages = log.messages();
    ASSERT_EQ(messages.size(), 8u);
    EXPECT_EQ(messages[6].text, "print: 14 messages suppressed.noisy,line=" + std::to_string(messages[0].line) + ".");
    EXPECT_EQ(messages[6].level, kova::log::kError);
    EXPECT_EQ(messages[6].function, "noisy");
    EXPECT_EQ(messages[7].text, "noisy 20");

    // Just under 60 s after the last logged message nothing restarts.
    noisy(21);
    noisy(22);
    clock.advance(14999 * kJiffy);
    noisy(23);
    EXPECT_FALSE(log.contains("noisy 23"));
}

TEST(LogConvention, LimiterIsConsultedOnlyWhenItsOwnLevelIsEnabled)
{
    kova::test::FakeClock clock(1000000000u, 1000 * kJiffy);
    {
        kova::test::LogCapture log(4);  // the warning is enabled, the limiter's info level is not
        for (int i = 0; i < 5; ++i) quiet_limiter(i);
        EXPECT_TRUE(log.messages().empty());
    }
    kova::test::LogCapture log(6);
    for (int i = 0; i < 5; ++i) quiet_limiter(i);
    EXPECT_EQ(log.messages().size(), 3u) << "nothing was counted while the limiter was off";
    EXPECT_EQ(log.messages()[0].level, kova::log::kWarning);
}

TEST(LogConvention, ConcurrentBurstLogsExactlyThree)
{
    kova::test::FakeClock clock(1000000000u, 1000 * kJiffy);
    kova::test::LogCapture log;
    auto burst = [] {
        for (int i = 0; i < 200; ++i) KOVA_LOG_RATELIMITED(3, 3, "burst");
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(burst);
    for (auto &t : threads) t.join();
    EXPECT_EQ(log.count("burst"), 3u);
}

}  // namespace
