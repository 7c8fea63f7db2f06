#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_log.h"
#include "process/module_names.h"

namespace {

class ModuleNames : public ::testing::Test {
protected:
    void SetUp() override { pid_destroy_names(); }
    void TearDown() override { pid_destroy_names(); }
};

TEST_F(ModuleNames, BuiltInTableFillsAndUnnamedIdsReadNone)
{
    const auto &first = kova::process::builtin_modules[0];
    EXPECT_STREQ(kova_pid_get_name(first.id), first.name);
    EXPECT_STREQ(kova_pid_get_name(KOVA_MODULE_ID), "NONE") << "381 is registered by start-up, not by the table";
    EXPECT_STREQ(kova_pid_get_name(1023), "NONE");
    EXPECT_STREQ(kova_pid_get_name(0), "NONE");
}

TEST_F(ModuleNames, TableHasValidDistinctIds)
{
    ASSERT_EQ(kova::process::builtin_module_count, 220u);
    std::vector<bool> used(KOVA_MODULE_NAME_SLOTS);
    for (std::size_t i = 0; i < kova::process::builtin_module_count; ++i) {
        const auto &row = kova::process::builtin_modules[i];
        ASSERT_LT(row.id, KOVA_MODULE_NAME_SLOTS);
        ASSERT_NE(row.id, KOVA_MODULE_ID);
        ASSERT_NE(row.name, nullptr);
        EXPECT_FALSE(used[row.id]) << "id " << row.id << " named twice";
        used[row.id] = true;
    }
}

TEST_F(ModuleNames, SetNameOverridesBuiltInAndIsLostOnDestroy)
{
    const auto &row = kova::process::builtin_modules[1];
    static const char custom[] = "CUSTOM";
    kova_pid_set_name(row.id, custom);
    EXPECT_EQ(kova_pid_get_name(row.id), custom) << "the pointer is stored, not copied";
    kova_pid_set_name(KOVA_MODULE_ID, "KOVA");
    EXPECT_STREQ(kova_pid_get_name(KOVA_MODULE_ID), "KOVA");

    pid_destroy_names();
    EXPECT_STREQ(kova_pid_get_name(row.id), row.name);
    EXPECT_STREQ(kova_pid_get_name(KOVA_MODULE_ID), "NONE");
    pid_destroy_names();
    pid_destroy_names();  // clearing twice is harmless
    pid_init_names();
    pid_init_names();
    EXPECT_STREQ(kova_pid_get_name(row.id), row.name);
}

TEST_F(ModuleNames, BadStoresAreIgnored)
{
    kova_pid_set_name(2, nullptr);
    EXPECT_STREQ(kova_pid_get_name(2), "NONE");
    kova_pid_set_name(1024, "X");
    EXPECT_STREQ(kova_pid_get_name(1024), "<1024>");
}

TEST_F(ModuleNames, LargeIdsUseTheLow16Bits)
{
    EXPECT_STREQ(kova_pid_get_name(70000), "<4464>");
    EXPECT_STREQ(kova_pid_get_name(0xFFFFFFFFu), "<65535>") << "the longest text fits the buffer";
    EXPECT_STREQ(kova_pid_get_name(65536), "<0>");
}

TEST_F(ModuleNames, ConcurrentFirstUseFillsOnce)
{
    std::vector<std::thread> readers;
    std::vector<const char *> results(8);
    const auto &row = kova::process::builtin_modules[10];
    for (int t = 0; t < 8; ++t)
        readers.emplace_back([&, t] { results[t] = kova_pid_get_name(row.id); });
    for (auto &r : readers) r.join();
    for (const char *name : results) EXPECT_STREQ(name, row.name);
}

}  // namespace
