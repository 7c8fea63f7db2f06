#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_cfg.h"
#include "kova/kova_sysinfo.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "sysinfo/sysinfo_internal.h"

namespace {

using kova::test::TempRoot;

// Four configured CPUs and the sampler thread switched off, so that the test takes every sample.
struct Sampler {
    explicit Sampler(bool thread_off = true)
    {
        kova::sysinfo::set_present_cpu_source_for_test([] { return 4L; });
        root.write("/kova.ini", thread_off ? "[KOVA]\nSYSINFO_CPUUSAGE_THREAD_FLAG = 0\n" : "[KOVA]\n");
        kova_cfg_init(root.path("/kova.ini").c_str());
        EXPECT_EQ(sysinfo_init(), 0);
    }
    ~Sampler()
    {
        sysinfo_exit();
        kova_cfg_destroy_ex(root.path("/kova.ini").c_str());
        kova::sysinfo::set_present_cpu_source_for_test(nullptr);
    }
    void sample(const std::string &stat)
    {
        root.write("/proc/stat", stat);
        sysinfo_update_all_cpu_usage();
    }
    std::vector<uint32_t> usage()
    {
        std::vector<uint32_t> all(6, 99);
        all[0] = kova_sysinfo_cpu_usage();
        all.resize(1 + kova_get_cpu_usage_array(all.data() + 1, 5));
        return all;
    }
    TempRoot root;
};

std::string line(const std::string &name, uint64_t busy, uint64_t idle)
{
    return name + " " + std::to_string(busy) + " 0 0 " + std::to_string(idle) + " 0 0 0 0 0 0\n";
}

// Each case: a first and a second /proc/stat and the percentages (machine, CPU 0..3) after both.
TEST(Sampler, PercentagesFromTwoSamplesOfOddStatFiles)
{
    const uint64_t near_wrap = UINT64_MAX - 99;
    const std::string long_line = "cpu0 100 0 0 100" + std::string(200, ' ') + "5 0 0\ncpu1 1 0 0 1\n";
    struct Case {
        const char *what;
        std::string first, second;
        std::vector<uint32_t> expected;
    } cases[] = {
        {"total +400, idle +100", line("cpu", 0, 0) + line("cpu0", 0, 0), line("cpu", 300, 100) + line("cpu0", 100, 100),
         {75, 50, 0, 0, 0}},
        {"counters that did not move keep the figure", line("cpu", 300, 100), line("cpu", 300, 100), {75, 0, 0, 0, 0}},
        {"offline CPU 1, a CPU beyond the slots", line("cpu", 0, 0), line("cpu", 1, 1) + line("cpu0", 1, 0) +
         line("cpu2", 1, 3) + line("cpu3", 0, 2) + line("cpu7", 5, 0), {50, 100, 0, 25, 0}},
        {"counters wrapping past 2^64", line("cpu", near_wrap, 0), line("cpu", near_wrap + 100, 100),
         {50, 0, 0, 0, 0}},
        {"counters beyond 64 bits read as the largest", line("cpu", 0, 0),
         "cpu 99999999999999999999999 0 0 0\n" + line("cpu0", 0, 1), {100, 0, 0, 0, 0}},
        {"idle running ahead of the total", line("cpu", 50, 0), line("cpu", 0, 100), {0, 0, 0, 0, 0}},
        {"a line past 160 characters", line("cpu", 1, 1), line("cpu", 2, 2) + long_line, {50, 50, 50, 0, 0}},
        {"a truncated first line ends the sample", line("cpu", 1, 1), "cpu 5 5\n" + line("cpu0", 9, 9),
         {50, 0, 0, 0, 0}},
        {"the interrupt line ends the CPU lines", line("cpu", 1, 1), line("cpu", 2, 2) + "intr 5 5 5 5\n" +
         line("cpu1", 9, 9), {50, 0, 0, 0, 0}},
    };
    kova::test::LogCapture quiet(0);
    for (const auto &c : cases) {
        Sampler sampler;
        sampler.sample(c.first);
        sampler.sample(c.second);
        EXPECT_EQ(sampler.usage(), c.expected) << c.what;
    }
}

TEST(Sampler, ReadersBoundsAndMissingStatFile)
{
    kova::test::LogCapture log;
    EXPECT_EQ(kova_get_cache_line_size(), 128u);
    EXPECT_TRUE(kova_sysinfo_cpu_usage() == 0 && kova_get_cpu_usage_array(nullptr, 1) == -1);
    EXPECT_TRUE(log.contains("kova_get_cpu_usage_array: data is NULL"));
    Sampler sampler;
    sampler.sample(line("cpu", 0, 0) + line("cpu3", 0, 0));
    sampler.sample(line("cpu", 1, 3) + line("cpu3", 1, 0));
    for (uint32_t cpu : {3u, 4u, 4000000000u}) EXPECT_EQ(kova_sysinfo_core_usage(&cpu), cpu == 3 ? 100u : 25u) << cpu;
    EXPECT_EQ(kova_sysinfo_core_usage(nullptr), 25u);
    uint32_t two[2] = {7, 7};
    EXPECT_TRUE(kova_get_cpu_usage_array(two, 2) == 2 && two[0] == 0 && two[1] == 0);
    std::remove(sampler.root.path("/proc/stat").c_str());
    sysinfo_update_all_cpu_usage();
    EXPECT_TRUE(log.contains("Open cpu stat file " + sampler.root.path("/proc/stat") + " failed."));
    EXPECT_EQ(kova_sysinfo_cpu_usage(), 25u) << "a missing file keeps the figures";
    unsigned memory = kova_sysinfo_mem_usage();
    EXPECT_TRUE(memory > 0 && memory <= 100) << memory;
    EXPECT_EQ(kova_sysinfo_cpu_num(), static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN)));
}

bool thread_named(const std::string &name)
{
    std::string comm;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task"))
        if (std::getline(std::ifstream(task.path() / "comm"), comm) && comm == name) return true;
    return false;
}

// The thread samples on its own, ends promptly at exit, and is started again by a new init.
TEST(Sampler, ThreadRunsUntilExitAndRestarts)
{
    kova::test::LogCapture log;
    for (int round = 0; round < 2; ++round) {
        Sampler sampler(false);
        sampler.root.write("/proc/stat", line("cpu", 7, 1));
        EXPECT_TRUE(kova::sysinfo::sampler_running_for_test());
        while (!thread_named("kova_sysinfo") || kova_sysinfo_cpu_usage() != 87) std::this_thread::yield();
        EXPECT_EQ(sysinfo_exit(), 0);
        EXPECT_FALSE(kova::sysinfo::sampler_running_for_test());
        EXPECT_EQ(kova_sysinfo_cpu_usage(), 0u) << "the slots are gone";
    }
    EXPECT_FALSE(log.contains("kova_cpu_usage thread exited abnormal."));
}

}  // namespace
