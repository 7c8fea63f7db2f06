#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cpu/cpu_selection.h"
#include "kova/kova_cpu.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"
#include "support/print_capture.h"
#include "support/temp_root.h"

namespace {

using kova::test::CommandIntercept;
using kova::test::TempRoot;
using kova::test::capture_print;
using kova::test::printed_text;

constexpr const char *kProduct = "/ZPR/conf/app_data/prodinfo/product.ini";

struct Partitions {
    Partitions() { kova::cpu::forget_partition_table_for_test(); }
    ~Partitions() { kova::cpu::forget_partition_table_for_test(); }
    TempRoot root;
    CommandIntercept commands;
};

// GROUP_1 refers to GROUP_0, and LOOP to itself; GROUP_2 has no partitions, PART_3 no cpus.
const char *const kTable = "[CPU_PARTITION]\ngroup_num = 4\n"
                           "[GROUP_0]\npartition_num = 3\npartition_0 = IOD_NORMAL:1:4-11\n"
                           "partition_1 = MGMT:0:0-1\npartition_2 = no colons\n"
                           "[GROUP_1]\npartition_num = 2\npartition_0 = IOD:7:GROUP_0/MGMT,20\n"
                           "partition_1 = LOOP:0:GROUP_1/LOOP,30\n"
                           "[GROUP_3]\npartition_num = 1\npartition_0 = IOD_NORMAL:2:40-41\n";

std::vector<uint64_t> parse(const char *text, int &result)
{
    std::vector<uint64_t> set(16);
    result = kova_cpum_parse_cpumask(text, set.data());
    return set;
}

std::vector<uint64_t> cpus(std::initializer_list<std::pair<unsigned, unsigned>> ranges)
{
    std::vector<uint64_t> set(16);
    for (auto [first, last] : ranges)
        for (unsigned cpu = first; cpu <= last; ++cpu) set[cpu / 64] |= 1ull << (cpu % 64);
    return set;
}

TEST(Partitions, SelectionsNamePartitions)
{
    kova::test::LogCapture log;
    Partitions table;
    table.root.write(kProduct, kTable);
    int result = -1;
    struct Case {
        const char *text;
        std::vector<uint64_t> expected;
        int result;
    } cases[] = {{"GROUP_0/IOD_NORMAL,2", cpus({{2, 2}, {4, 11}}), 0},
                 {"*/MGMT", cpus({{0, 1}}), 0},
                 {"GROUP_9/X", cpus({}), 0},
                 {"GROUP_1/IOD", cpus({{0, 1}, {20, 20}}), 0},
                 {"GROUP_1/LOOP", cpus({{30, 30}}), 0},
                 {"*/IOD_NORMAL", cpus({{4, 11}, {40, 41}}), 0},
                 {"1000-2000", cpus({{1000, 1023}}), 0},
                 {"2000-3000", cpus({}), -1},
                 {"5-3,abc", cpus({}), -1}};
    for (const auto &c : cases) EXPECT_TRUE(parse(c.text, result) == c.expected && result == c.result) << c.text;
    EXPECT_TRUE(log.contains("Parse cpu mask 5-3 fail, end:3 is less than start:5") &&
                log.contains("Parse cpu mask fail, invalid format:abc"));
    EXPECT_EQ(table.commands.commands().size(), 0u) << "the file was there: no generator";

    kova_cpum_partition_s *iod = kova_cpum_get_partition("GROUP_1", "IOD");
    ASSERT_NE(iod, nullptr);
    EXPECT_TRUE(iod->type == 7 && iod->reserved == 0 && std::string(iod->cpu_list) == "GROUP_0/MGMT,20");
    EXPECT_EQ(kova_cpum_get_partition("GROUP_0", "no colons"), nullptr);
    EXPECT_EQ(kova_cpum_get_partition("GROUP_2", "IOD"), nullptr);
    std::vector<uint64_t> all(16, ~0ull);
    EXPECT_EQ(kova_cpum_clear_cpumask_of_iod_poll(all.data()), 0);
    EXPECT_EQ(all[0], ~0ull & ~(3ull << 4)) << "4 and 5 polled; 40-41 is too short to poll";
    printed_text().clear();
    EXPECT_EQ(kova_cpum_dbg_show(capture_print), 0);
    EXPECT_TRUE(printed_text().starts_with("Group            Partition        Type CpuBind\n"
                                  "GROUP_0          IOD_NORMAL       1    4-11\n")) << printed_text();
    EXPECT_TRUE(log.contains("Get cpu partition num fail, GROUP_2"));
}

// A missing file that the generator does not produce: the first load fails, later ones succeed
// with an empty table, and numbers still work.
TEST(Partitions, MissingFileAndGenerator)
{
    kova::test::LogCapture log;
    Partitions table;
    table.commands.answer(table.root.path("/ZPR/component"), 1);
    printed_text().clear();
    EXPECT_EQ(kova_cpum_dbg_show(capture_print), -1);
    EXPECT_EQ(printed_text(), "Cpu partition is not inited yet\n");
    EXPECT_EQ(kova_cpum_init(nullptr), -1);
    EXPECT_EQ(table.commands.commands(),
              std::vector<std::string>{table.root.path("/ZPR/component/mgrx/script/gen_product_ini.sh") + " \"" +
                                       table.root.path("/ZPR/conf/app_data/prodinfo/") + "\""});
    EXPECT_EQ(kova_cpum_init(nullptr), 0);
    EXPECT_EQ(kova_cpum_get_partition("GROUP_0", "MGMT"), nullptr);
    int result = -1;
    EXPECT_TRUE(parse("GROUP_0/MGMT,3", result) == cpus({{3, 3}}) && result == 0);
    for (const char *bad : {"[CPU_PARTITION]\ngroup_num = 0\n", "[X]\n"}) {
        kova::cpu::forget_partition_table_for_test();
        table.root.write("/bad.ini", bad);
        EXPECT_EQ(kova_cpum_init(table.root.path("/bad.ini").c_str()), -1) << bad;
    }
    EXPECT_TRUE(log.contains("Get cpu num fail, ret:0") && log.contains("Get cpu num fail, ret:-1"));
}

}  // namespace
