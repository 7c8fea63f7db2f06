#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "init/kova_log.h"
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
    auto found = log.with_text("guarded 6"), other = log.with_text("as other");
    ASSERT_TRUE(found.size() == 1 && other.size() == 1 && log.messages().size() == 2) << "level 7 is disabled";
    EXPECT_TRUE(found[0].module == KOVA_MODULE_ID && found[0].file == "init/kova_init" && found[0].level == 6 &&
                found[0].function == "guarded" && found[0].line > 0);
    EXPECT_EQ(other[0].function, "kova_init_inner");
}

TEST(LogConvention, RateLimiterAllowsThreeThenSummarisesAfterTenMinutes)
{
    kova::test::FakeClock clock(1000000000u, 1000 * kJiffy);
    kova::test::LogCapture log;
    for (int i = 0; i < 10; ++i) noisy(i);
    // 60 s later the count restarts, no summary yet: the summary time starts at 0, the clock at 4 s.
    clock.advance(15000 * kJiffy);
    for (int i = 10; i < 20; ++i) noisy(i);  // 3 more logged, 14 suppressed in all
    clock.advance(150000 * kJiffy);
    for (int i = 20; i < 23; ++i) noisy(i);
    clock.advance(14999 * kJiffy);  // just under 60 s after the last logged message: no restart
    noisy(23);
    // A content callback that reaches the same call site while the summary is written.
    static int reentered = 0;
    kovalog_content_callback_s reenter{1, [](const kovalog_message_s *m) {
        if (std::string_view(m->text).starts_with("print:")) { ++reentered; noisy(99); }
    }};
    kovalog_register_content_callback(&reenter);
    clock.advance(150000 * kJiffy);
    noisy(24);
    reenter.callback = nullptr;
    kovalog_register_content_callback(&reenter);
    EXPECT_EQ(reentered, 1);
    auto messages = log.messages();
    ASSERT_EQ(messages.size(), 12u) << "the callback's own line is written, not captured";
    EXPECT_EQ(messages[6].text, "print: 14 messages suppressed.noisy,line=" + std::to_string(messages[0].line) + ".");
    EXPECT_TRUE(messages[6].level == kova::log::kError && messages[6].function == "noisy");
    std::string logged;
    for (auto &m : messages) logged += m.text.starts_with("noisy ") ? m.text.substr(6) + " " : "| ";
    EXPECT_EQ(logged, "0 1 2 10 11 12 | 20 21 22 | 24 ");
}

TEST(LogConvention, LimiterIsConsultedOnlyWhenItsOwnLevelIsEnabled)
{
    kova::test::FakeClock clock(1000000000u, 1000 * kJiffy);
    for (int level : {4, 6}) {  // at 4 the warning is enabled but the limiter's info level is not
        kova::test::LogCapture log(level);
        for (int i = 0; i < 5; ++i) quiet_limiter(i);
        EXPECT_EQ(log.count("warn 2") + log.count("warn 3"), level == 4 ? 0u : 1u) << "nothing counted while off";
        EXPECT_TRUE(level == 4 || log.with_text("warn 0").at(0).level == kova::log::kWarning);
    }
}

TEST(LogConvention, ConcurrentBurstLogsExactlyThree)
{
    kova::test::FakeClock clock(1000000000u, 1000 * kJiffy);
    kova::test::LogCapture log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([] { for (int i = 0; i < 200; ++i) KOVA_LOG_RATELIMITED(3, 3, "burst"); });
    for (auto &t : threads) t.join();
    EXPECT_EQ(log.count("burst"), 3u);
}

}  // namespace
