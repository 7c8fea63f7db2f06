#include "mem_test.h"
#include "support/command_intercept.h"
#include "support/temp_root.h"

namespace {

class Meminfo : public kova::test::MemTest {
protected:
    kova::test::TempRoot root_;
    std::uint64_t value_ = 99;
};

// Counts without a unit sit between the sizes, as in the kernel's own file.
TEST_F(Meminfo, ReadsSizesAndCountsAroundLinesWithoutAUnit)
{
    root_.write("/proc/meminfo", "MemTotal:  1000 kB\nMemFreeish: 5 kB\nHugePages_Total:   0\n"
                                 "HugePages_Free:   7\nComment: " + std::string(400, 'x') +
                                 " MemFree: 5 kB\nMemFree:   300 kB\nMemAvailable:  250 kB\n");
    EXPECT_EQ(kova_get_free_mem(&value_), 0);
    EXPECT_EQ(value_, 300u);
    EXPECT_EQ(kova::mem::meminfo_value("HugePages_Free:", &value_), 0);
    EXPECT_EQ(value_, 7u);
    EXPECT_EQ(kova_get_available_usage(), 75);
    EXPECT_EQ(kova::mem::meminfo_value("Absent:", &value_), -1);
    EXPECT_EQ(value_, 0u);
    EXPECT_TRUE(log_.messages().empty());
}

TEST_F(Meminfo, FailuresAreReportedAndNotRemembered)
{
    EXPECT_EQ(kova_get_total_mem(&value_), -1);
    EXPECT_EQ(kova_get_available_usage(), 0);
    auto logged = log_.with_text("Fopen /proc/meminfo fail errno 2.");
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0].level, 6);
    EXPECT_EQ(kova_get_free_mem(nullptr), -1);
    EXPECT_EQ(kova_get_total_mem(nullptr), -1);
    EXPECT_EQ(log_.count("Parameter is null."), 2u);

    root_.write("/proc/meminfo", "MemTotal: 1000 kB\n");
    EXPECT_EQ(kova_get_available_usage(), 0);  // no MemAvailable
    root_.write("/proc/meminfo", "MemTotal: 2000 kB\nMemAvailable: 1001 kB\n");
    EXPECT_EQ(kova_get_total_mem(&value_), 0);
    EXPECT_EQ(value_, 1000u);  // read once
    EXPECT_EQ(kova_get_available_usage(), 0);  // more available than installed
}

TEST_F(Meminfo, ReleaseRunsTheExactCommandAndMapsItsStatus)
{
    kova::test::CommandIntercept intercept;
    intercept.answer("sync", 0);
    EXPECT_EQ(kova_release_mem(), 0);
    EXPECT_EQ(intercept.commands(), std::vector<std::string>{"sync;echo 3 > /proc/sys/vm/drop_caches;"});
    kova::test::CommandIntercept failing;
    failing.answer("sync", 1);
    EXPECT_EQ(kova_release_mem(), -1);
}

}  // namespace
