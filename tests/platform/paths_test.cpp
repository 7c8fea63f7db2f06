#include <string>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "support/temp_root.h"

namespace {

TEST(ProductPaths, ResolveUnderTheRootAndBack)
{
    auto path = [](const char *product) { return std::string(kova::platform::ProductPath(product).c_str()); };
    EXPECT_EQ(path("/proc/meminfo"), "/proc/meminfo");
    {
        kova::test::TempRoot root;
        EXPECT_EQ(path("/proc/meminfo"), root.root() + "/proc/meminfo");
    }
    EXPECT_EQ(path("/proc/meminfo"), "/proc/meminfo");
    kova::platform::set_path_root("/tmp/r/");
    EXPECT_EQ(path("/etc/localtime"), "/tmp/r/etc/localtime") << "a trailing slash on the root is not doubled";
    kova::platform::set_path_root("/");
    EXPECT_EQ(path("/etc/localtime"), "/etc/localtime");
}

}  // namespace
