#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "kova/kova_cpu.h"
#include "kova/kova_cpumask.h"
#include "smp/smp_internal.h"
#include "support/log_capture.h"

namespace {

TEST(ParseCpumask, AddsNumbersAndRangesUpToCpu1023AndSkipsBadItems)
{
    kova::test::LogCapture log;
    uint64_t set[16] = {uint64_t{1} << 63};
    EXPECT_EQ(kova_cpum_parse_cpumask("2,4-6,abc,5-3,,1021-2000,2000-3000", set), 0);
    EXPECT_EQ(set[0], 0x8000000000000074u);
    EXPECT_EQ(set[15], 0xe000000000000000u);
    auto below = log.with_text("Parse cpu mask 5-3 fail, end:3 is less than start:5");
    EXPECT_EQ(below.at(0).level, 3);
    EXPECT_EQ(below.at(0).file, "cpu/kova_cpu");
    EXPECT_EQ(log.count("Parse cpu mask fail, invalid format:abc") + log.count("Parse cpu mask fail, invalid format:"), 2u);

    uint64_t other[16] = {};
    EXPECT_EQ(kova_cpum_parse_cpumask("2000-3000", other), -1);
    EXPECT_EQ(kova_cpum_parse_cpumask("GROUP_0/IOD_NORMAL", other), -1);  // no partition table yet
    EXPECT_EQ(kova_cpum_parse_cpumask(nullptr, other), -1);
    EXPECT_EQ(kova_cpum_parse_cpumask(("1," + std::string(200, '7')).c_str(), other), 0);
    EXPECT_TRUE(other[0] == 2 && std::count(other + 1, other + 16, 0) == 15);
}

long reported_cpus = 0;
long reported_source()
{
    errno = reported_cpus < 0 ? EINVAL : 0;
    return reported_cpus;
}

TEST(NumConfigCpus, CachesOnlyCountsFrom1To512)
{
    kova::test::LogCapture log;
    const uint32_t saved = g_configCpuNum;
    g_configCpuNum = 0;
    kova::smp::set_config_cpu_source_for_test(reported_source);
    for (auto [cpus, expected] : {std::pair{600L, 0u}, {-1L, 0u}, {0L, 0u}, {512L, 512u}, {4L, 512u}}) {
        reported_cpus = cpus;
        EXPECT_EQ(num_config_cpus(), expected) << cpus;
    }
    EXPECT_EQ(g_configCpuNum, 512u);
    EXPECT_EQ(log.count("Kova_smp getting cpu num failed ret 600 errno=0.") +
                  log.count("Kova_smp getting cpu num failed ret -1 errno=22."), 2u);
    kova::smp::set_config_cpu_source_for_test(nullptr);
    g_configCpuNum = saved;
}

}  // namespace
