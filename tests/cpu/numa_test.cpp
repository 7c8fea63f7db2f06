#include <sched.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cpu/numa_internal.h"
#include "kova/kova_numa.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

using kova::test::TempRoot;

constexpr const char *kDefault = "/opt/quillstore/ZevraNumaConfiguration.ini";

struct Numa {
    Numa() { kova::numa::forget_for_test(); }
    ~Numa() { kova::numa::forget_for_test(); }
    TempRoot root;
};

std::string nodes(const char *numa_num, const char *enable, const char *proc)
{
    return std::string("[NUMA_PARTITION]\ncpu_num = 9\nnuma_num = ") + numa_num +
           "\nnuma_0 = 0-3,8\nnuma_1 = 4-7\n[PROC_PARTITION]\nnuma_enable = " + enable + "\n" + proc;
}

std::vector<unsigned> set_cpus(const cpu_set_t &set)
{
    std::vector<unsigned> cpus;
    for (unsigned cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    return cpus;
}

std::vector<unsigned> mask_cpus(const kova_cpumask_t &mask)
{
    std::vector<unsigned> cpus;
    for (int cpu = kova_first_cpu(&mask); cpu < static_cast<int>(KOVA_MAX_CPUS); cpu = kova_next_cpu(cpu, &mask))
        cpus.push_back(cpu);
    return cpus;
}

// Whole files: the result, the switch, the nodes used, and the message of a failure.
TEST(Numa, ConfigurationFiles)
{
    struct Case {
        std::string file;
        int result;
        uint32_t enabled;
        uint64_t used;
        const char *message;
        bool node0 = true;
    } cases[] = {
        {nodes("2", "true", "proc_numa_info = 0,1\n"), 0, 1, 3, "Get cpu_num(9), numa_num(2) success."},
        {nodes("2", "trueX", ""), 0, 1, 0, "Get numa_enable(trueX) success."},
        {nodes("2", "false", "proc_numa_info = 1\n"), 0, 0, 2, "Get proc_numa_info(1) success."},
        {nodes("2", "yes", ""), -1, 0, 0, "Get proc_numa_info fail, itemValue:yes"},
        {nodes("2", "true", "proc_numa_info = 0,2\n"), -1, 1, 1, "Get proc_numa_info(0,2) failed."},
        {nodes("3", "true", ""), -1, 0, 0, "Parse numa cfg CPU_PARTITION fail."},
        {nodes("2147483647", "true", ""), -1, 0, 0, "Parse numa cfg CPU_PARTITION fail."},
        {nodes("0", "true", ""), -1, 0, 0, "Get numa num fail, ret:0", false},
        {"[NUMA_PARTITION]\nnuma_num = 1\nnuma_0 = 0\n", -1, 0, 0, "Get cpu num fail, ret:-1", false},
    };
    for (const auto &c : cases) {
        kova::test::LogCapture log;
        Numa numa;
        numa.root.write(kDefault, c.file);
        EXPECT_EQ(kova_numam_init(nullptr), c.result) << c.file;
        uint64_t used = 99;
        EXPECT_TRUE(kova_numam_proc_numamask_get(&used) == 0 && used == c.used) << c.file;
        EXPECT_EQ(kova_numam_status_get(), c.enabled) << c.file;
        EXPECT_TRUE(log.contains(c.message)) << c.message;
        kova_cpumask_t mask{};
        EXPECT_EQ(kova_numam_cpumask_get(0, &mask), 0);
        EXPECT_EQ(mask_cpus(mask), c.node0 ? std::vector<unsigned>({0, 1, 2, 3, 8}) : std::vector<unsigned>())
            << "node 0 stays after a later failure: " << c.file;
        numa.root.write(kDefault, nodes("2", "false", ""));
        EXPECT_EQ(kova_numam_init(nullptr), 0) << "a failure is retried, a success is not: " << c.file;
        EXPECT_EQ(kova_numam_status_get(), c.result == 0 ? c.enabled : 0) << c.file;
    }
}

TEST(Numa, LookupsAndTwoFiles)
{
    kova::test::LogCapture log;
    Numa numa;
    EXPECT_EQ(kova_numam_init(nullptr), 0) << "no default file: no nodes";
    EXPECT_TRUE(log.contains("Numa cfg " + numa.root.path(kDefault) + " is not access, errno:2"));
    cpu_set_t set;
    EXPECT_TRUE(kova_numam_cpuset_get(0, &set) == 0 && set_cpus(set).empty());
    EXPECT_TRUE(log.contains("NumaId(0) not configured, numa_num(0)."));
    kova::numa::forget_for_test();
    numa.root.write("/a.ini", "[NUMA_PARTITION]\ncpu_num = 2\nnuma_num = 1\nnuma_0 = 0,1000-1100,2000\n");
    numa.root.write("/b.ini", "[PROC_PARTITION]\nnuma_enable = true\n");
    kova_numam_cfg_s cfg{};
    EXPECT_TRUE(kova_numam_module_init(&cfg) == -1 && log.contains("Numa cfg numa_info error."));
    std::snprintf(cfg.numa_info, sizeof cfg.numa_info, "%s", numa.root.path("/a.ini").c_str());
    std::snprintf(cfg.node_numa, sizeof cfg.node_numa, "%s", numa.root.path("/b.ini").c_str());
    ASSERT_EQ(kova_numam_module_init(&cfg), 0);
    EXPECT_TRUE(kova_numam_num_get() == 1 && kova_numam_status_get() == 1);
    std::vector<unsigned> expected{0};
    for (unsigned cpu = 1000; cpu < 1024; ++cpu) expected.push_back(cpu);
    EXPECT_TRUE(kova_numam_cpuset_get(0, &set) == 0 && set_cpus(set) == expected) << "CPUs past the set are left out";
    kova_cpumask_t mask{};
    EXPECT_TRUE(kova_numam_cpumask_get(0, &mask) == 0 && mask_cpus(mask) == std::vector<unsigned>{0});
    EXPECT_TRUE(kova_numam_cpuset_get(0, nullptr) == -1 && log.contains("Param error, cpuSet is NULL."));
    EXPECT_TRUE(kova_numam_status_set(2) == -1 && kova_numam_status_get() == 1);
    EXPECT_TRUE(kova_numam_parse_cpumask("4294967290-4294967295,500-4294967295", &mask) == 0 &&
                mask_cpus(mask).size() == 13) << "every range ends";
    EXPECT_TRUE(kova_numam_parse_cpuset("1,x,2", &set) == -1 && log.contains("Parse CpuSet fail, invalid format:x,2") &&
                log.contains("Parse CpuSet 1,x,2 fail."));
    EXPECT_TRUE(kova_numam_parse_cpumask("5-2", &mask) == -1 &&
                log.contains("Parse cpu mask 5-2 fail, end:2 is less than start:5") && log.contains("Parse cpu mask 5-2 fail."));
}

}  // namespace
