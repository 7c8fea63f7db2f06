#include <time.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_log.h"

namespace {

TEST(Version, FixedAtFirstCallFromTheRawMonotonicClock)
{
    std::vector<uint64_t> seen(6);
    std::vector<std::thread> callers;
    for (std::size_t i = 0; i < seen.size(); ++i) callers.emplace_back([&, i] { seen[i] = ps_get_version(); });
    for (auto &c : callers) c.join();
    uint64_t stamp = ps_get_version();
    EXPECT_NE(stamp, 0u);
    for (uint64_t v : seen) EXPECT_EQ(v, stamp);
    timespec after{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &after);
    uint64_t after_ns = static_cast<uint64_t>(after.tv_sec) * 1000000000u + static_cast<uint64_t>(after.tv_nsec);
    EXPECT_LE(stamp, after_ns);
}

}  // namespace
