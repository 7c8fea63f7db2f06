#include <string>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "support/temp_root.h"

namespace {

TEST(ProductPaths, ResolveUnderTheRootAndBack)
{
    EXPECT_STREQ(kova::platform::ProductPath("/proc/meminfo").c_str(), "/proc/meminfo");
    {
        kova::test::TempRoot root;
        EXPECT_EQ(std::string(kova::platform::ProductPath("/proc/meminfo").c_str()), root.root() + "/proc/meminfo");
        root.write("/ZPR/conf/a.ini", "x=1\n");
        EXPECT_EQ(root.read("/ZPR/conf/a.ini"), "x=1\n");
    }
    EXPECT_STREQ(kova::platform::ProductPath("/proc/meminfo").c_str(), "/proc/meminfo");
    kova::platform::set_path_root("/tmp/r/");
    EXPECT_STREQ(kova::platform::ProductPath("/etc/localtime").c_str(), "/tmp/r/etc/localtime")
        << "a trailing slash on the root is not doubled";
    kova::platform::set_path_root("/");
    EXPECT_STREQ(kova::platform::ProductPath("/etc/localtime").c_str(), "/etc/localtime");
    kova::platform::set_path_root(nullptr);
}

}  // namespace
