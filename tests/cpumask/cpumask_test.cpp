#include <cerrno>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "kova/kova_cpumask.h"
#include "smp/smp_internal.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

// A mask between guard words: a write outside the 64 bytes shows in a guard.
struct Guarded {
    uint64_t before = 0;
    kova_cpumask_t mask{};
    uint64_t after = 0;
};

kova_cpumask_t mask_of(std::initializer_list<unsigned> cpus)
{
    kova_cpumask_t m{};
    for (unsigned cpu : cpus) m.bits[cpu / 64] |= 1ull << (cpu % 64);
    return m;
}

bool operator==(const kova_cpumask_t &a, const kova_cpumask_t &b) { return std::equal(a.bits, a.bits + 8, b.bits); }

TEST(CpuMask, ItemsSetTheirCpusAndBadItemsNothing)
{
    kova::test::LogCapture log;
    for (auto [item, expected, cpus] : {std::tuple{"5", 5, mask_of({5})}, {"8-10", 10, mask_of({8, 9, 10})},
                                        {"10-8", 8, mask_of({})}, {" 511\n", 511, mask_of({511})},
                                        {"63-64", 64, mask_of({63, 64})}}) {
        Guarded g;
        EXPECT_EQ(kova_set_cpumask_bit(&g.mask, item), expected) << item;
        EXPECT_TRUE(g.mask == cpus && g.before == 0 && g.after == 0) << item;
    }
    Guarded g;
    reinterpret_cast<unsigned char *>(g.mask.bits)[1] = 0x01;
    for (const char *bad : {"512", "0-512", "4294967296", "99999999999999999999", "9223372036854775808-1", "-1",
                            "+3", "2-", "1--3", "3abc", "1,2", "abc"}) {
        EXPECT_EQ(kova_set_cpumask_bit(&g.mask, bad), -1) << bad;
        EXPECT_TRUE(g.mask == mask_of({8}) && g.before == 0 && g.after == 0) << bad;
    }
    EXPECT_TRUE(log.contains("Cpu list item 0-512 is beyond cpu 511.") && log.contains("Invalid cpu list item:2-."));
    EXPECT_EQ(kova_set_cpumask_bit(&g.mask, " \n"), -1);
    EXPECT_TRUE(log.contains("sscanf_s failed.ret is -1."));
    EXPECT_EQ(kova_set_cpumask_bit(nullptr, "1") + kova_set_cpumask_bit(&g.mask, nullptr), -2);
}

// Random items against a reference reading of the grammar; nothing is written outside the mask.
TEST(CpuMask, RandomItemsAgreeWithAReference)
{
    kova::test::LogCapture quiet(0);
    static const std::regex grammar(R"(\s*(\d+)(?:-(\d+))?\s*)");
    std::mt19937 random(5);
    const std::string chars = "0123456789- \n+x";
    for (int round = 0; round < 20000; ++round) {
        std::string item;
        for (int n = random() % 12; n > 0; --n)
            item += random() % 6 ? std::string(1, chars[random() % chars.size()]) : std::to_string(random() % 1100);
        Guarded g;
        kova_cpumask_t expected{};
        int expected_result = -1;
        std::smatch m;
        if (std::regex_match(item, m, grammar)) {
            double first = std::stod(m[1]), last = m[2].matched ? std::stod(m[2]) : first;
            if (first < 512 && last < 512) {
                expected_result = static_cast<int>(last);
                for (auto cpu = static_cast<unsigned>(first); cpu <= last; ++cpu) expected.bits[cpu / 64] |= 1ull << (cpu % 64);
            }
        }
        ASSERT_EQ(kova_set_cpumask_bit(&g.mask, item.c_str()), expected_result) << item;
        ASSERT_TRUE(g.mask == expected && g.before == 0 && g.after == 0) << item;
    }
}

TEST(CpuMask, LoadsTheFirstLineOfAFileIntoTheMask)
{
    kova::test::TempRoot root;
    std::string long_line;
    for (unsigned cpu = 0; cpu < 200; ++cpu) long_line += std::to_string(cpu) + ",";
    root.write("/list", "0-3,8\nthe rest is never read");
    root.write("/later", "4\n");
    root.write("/blank", "\n");
    root.write("/empty", "");
    root.write("/long", long_line + "\n");
    auto load = [&](kova_cpumask_t &m, const char *name) { return load_cpumask(&m, root.path(name).c_str(), 0); };
    kova_cpumask_t m{};
    EXPECT_EQ(load(m, "/list"), 8);
    EXPECT_EQ(load(m, "/later"), 4);
    EXPECT_TRUE(m == mask_of({0, 1, 2, 3, 4, 8})) << "loads only add";
    for (const char *name : {"/missing", "/empty"}) EXPECT_EQ(load(m, name), -1) << name;
    EXPECT_EQ(load(m, "/blank"), 0);
    EXPECT_TRUE(m == mask_of({0, 1, 2, 3, 4, 8}));
    kova_cpumask_t cut{};
    EXPECT_EQ(load(cut, "/long"), 87) << "the 255 characters end inside \"88\", read as 8";
    EXPECT_EQ(kova_first_cpu(&cut) + kova_next_cpu(87, &cut), 0 + 512);
}

TEST(CpuMask, IterationClearingAndTheExportedMasks)
{
    kova_cpumask_t m{};
    EXPECT_EQ(kova_first_cpu(&m), 512);
    m = mask_of({3, 7, 511});
    EXPECT_EQ(kova_first_cpu(&m), 3);
    for (auto [from, next] : {std::pair{3u, 7}, {7u, 511}, {511u, 512}, {512u, 512}, {0xFFFFFFFFu, 512}})
        EXPECT_EQ(kova_next_cpu(from, &m), next) << from;
    init_cpumask_bit(m.bits, 0);
    init_cpumask_bit(m.bits, -8);
    EXPECT_TRUE(m == mask_of({3, 7, 511}));
    init_cpumask_bit(m.bits, 1);
    EXPECT_TRUE(m == mask_of({511}));

    EXPECT_TRUE(cpu_possible_mask != cpu_online_mask && cpu_online_mask != cpu_present_mask);
    EXPECT_EQ(cpumask_init(), 0);
    kova_set_cpumask_bit(cpu_online_mask, "2-3");
    EXPECT_EQ(cpumask_init(), 0);
    EXPECT_TRUE(*cpu_online_mask == mask_of({2, 3})) << "a second init leaves callers' bits alone";
    init_cpumask_bit(cpu_online_mask->bits, 8);
}

long config_cpus = 0;
long online_cpus = 0;

TEST(CpuCounts, ConfiguredAndOnlineCountsAreCachedOnceKnown)
{
    kova::test::LogCapture log;
    kova::smp::forget_counts_for_test();
    kova::smp::set_config_cpu_source_for_test([] { return errno = config_cpus < 0 ? EINVAL : 0, config_cpus; });
    kova::smp::set_online_cpu_source_for_test([] { return errno = online_cpus < 0 ? EINVAL : 0, online_cpus; });
    for (auto [cpus, expected] : {std::pair{600L, 0u}, {-1L, 0u}, {0L, 0u}, {512L, 512u}, {4L, 512u}}) {
        config_cpus = cpus;
        EXPECT_EQ(num_config_cpus(), expected) << cpus;
    }
    EXPECT_EQ(log.count("Kova_smp getting cpu num failed ret 600 errno=0.") +
                  log.count("Kova_smp getting cpu num failed ret -1 errno=22."), 2u);

    kova::smp::forget_counts_for_test();
    config_cpus = 600, online_cpus = -1;
    globalCpuNum_init();
    EXPECT_TRUE(g_configCpuNum == 600 && g_onlineCpuNum == 0 && num_config_cpus() == 600);
    EXPECT_TRUE(log.contains("kova_sysinfo getting online cpu num failed errno=22."));
    config_cpus = -1, online_cpus = 6;
    globalCpuNum_init();
    EXPECT_TRUE(g_configCpuNum == 600 && g_onlineCpuNum == 6 && num_online_cpus() == 6) << "retried, config kept";
    EXPECT_TRUE(log.contains("Kova_smp getting cpu num failed errno=22."));
    online_cpus = 9, config_cpus = 7;
    globalCpuNum_init();
    EXPECT_TRUE(g_configCpuNum == 600 && g_onlineCpuNum == 6) << "done once both were known";

    kova::smp::set_config_cpu_source_for_test(nullptr);
    kova::smp::set_online_cpu_source_for_test(nullptr);
    kova::smp::forget_counts_for_test();
}

}  // namespace
