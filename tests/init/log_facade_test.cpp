#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_log.h"
#include "process/module_names.h"

namespace {

int calls = 0;
void count_call(const kovalog_message_s *) { ++calls; }

// What the facade adds to the logging library: a module's rate limit reaches its group, and a
// null registration empties slot 0.
TEST(LogFacade, ModuleRateLimitsAndNullRegistration)
{
    kovalog_content_callback_s registration{0, &count_call};
    calls = 0;
    ASSERT_EQ(kova_log_register_callback(&registration), 0);
    ASSERT_EQ(kova_ratelimit_set(12, 1, 3600000), 0);
    for (int i = 0; i < 3; ++i) kovalog(12, 3, "f", 1, "g", 0, "limited %d", i);
    EXPECT_EQ(kova_ratelimit_set(12, 0, 0) + kova_ratelimit_set(5000, 1, 1), -1) << "5000 has no group";
    kovalog(12, 3, "f", 1, "g", 0, "no limit");
    ASSERT_EQ(kova_log_register_callback(nullptr), 0);
    kovalog(12, 3, "f", 1, "g", 0, "not seen");
    EXPECT_EQ(calls, 2);
}

TEST(Version, FixedAtFirstCallFromTheRawMonotonicClock)
{
    std::vector<uint64_t> seen(6);
    std::vector<std::thread> callers;
    for (auto &v : seen) callers.emplace_back([&v] { v = ps_get_version(); });
    for (auto &c : callers) c.join();
    timespec after{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &after);
    const uint64_t stamp = ps_get_version();
    EXPECT_TRUE(stamp != 0 && stamp <= static_cast<uint64_t>(after.tv_sec) * 1000000000u + after.tv_nsec);
    EXPECT_EQ(seen, std::vector<uint64_t>(6, stamp));
}

TEST(ModuleNames, FirstUseFillsOnceFromTheTableOthersReadNoneLargeIdsTheirLow16Bits)
{
    pid_destroy_names();
    const auto &row = kova::process::builtin_modules[0];
    std::vector<const char *> first(8);
    std::vector<std::thread> readers;
    for (auto &r : first) readers.emplace_back([&r, &row] { r = kova_pid_get_name(row.id); });
    for (auto &r : readers) r.join();
    EXPECT_EQ(first, std::vector<const char *>(8, row.name)) << "every concurrent first use sees the filled table";
    kova_pid_set_name(2, nullptr);
    kova_pid_set_name(1024, "X");
    for (auto [id, name] : {std::pair<uint32_t, std::string>{KOVA_MODULE_ID, "NONE"}, {0, "NONE"}, {1023, "NONE"},
                            {2, "NONE"}, {1024, "<1024>"}, {70000, "<4464>"}, {0xFFFFFFFFu, "<65535>"}})
        EXPECT_EQ(kova_pid_get_name(id), name) << id;
    static const char custom[] = "CUSTOM";
    kova_pid_set_name(row.id, custom);
    EXPECT_EQ(kova_pid_get_name(row.id), custom) << "a stored name overrides the table; the pointer is kept";
    pid_destroy_names();
    pid_destroy_names();  // clearing twice is harmless
    EXPECT_STREQ(kova_pid_get_name(row.id), row.name) << "names set before a clearing are lost";
}

}  // namespace
