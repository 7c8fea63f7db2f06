#include <dirent.h>

#include "mem_test.h"
#include "support/command_intercept.h"
#include "support/temp_root.h"

namespace {

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) ++count;
    if (dir != nullptr) closedir(dir);
    return count;
}

class BoardMemory : public kova::test::MemTest {
protected:
    kova::test::TempRoot root_;
    const std::string file_ = root_.path("/proc/brdp/bsp");
    const std::string command_ = "cat " + file_ + " | grep 'System have' | awk '{print $3}'";
    std::uint64_t size_ = 3;
};

TEST_F(BoardMemory, AMissingFileGivesOneAndRunsNothing)
{
    kova::test::CommandIntercept intercept;
    EXPECT_EQ(kova_get_memsize_from_bsp(nullptr), -1);
    EXPECT_EQ(kova_get_memsize_from_bsp(&size_), 1);
    EXPECT_EQ(size_, 3u);
    EXPECT_TRUE(intercept.commands().empty());
    EXPECT_EQ(log_.count("input null ptr."), 1u);
    EXPECT_TRUE(log_.contains("file(" + file_ + ") is not exist or no right to read, errno(2)."));
}

TEST_F(BoardMemory, ReadsTheSizeThroughTheRealPipelineOnce)
{
    root_.write("/proc/brdp/bsp", "Board: 0x31\nSystem have 65536 MB memory\nCPU: 8\n");
    {
        kova::test::CommandIntercept intercept;
        intercept.pass_through();
        ASSERT_EQ(kova_get_memsize_from_bsp(&size_), 0);
        EXPECT_EQ(intercept.commands(), std::vector<std::string>{command_});
    }
    kova::test::CommandIntercept intercept;
    size_ = 0;
    EXPECT_EQ(kova_get_memsize_from_bsp(&size_), 0);
    EXPECT_EQ(size_, 65536u);
    EXPECT_EQ(g_TotalMemSize, 65536u);
    EXPECT_TRUE(intercept.commands().empty());
    EXPECT_TRUE(log_.messages().empty());
}

TEST_F(BoardMemory, AcceptsOnlyAWholePositiveNumberAndLeaksNoDescriptor)
{
    root_.write("/proc/brdp/bsp", "System have ...\n");
    int descriptors = open_descriptors();
    for (const char *output : {"0\n", "abc\n", "12abc\n", "-5\n", "99999999999999999999999\n"}) {
        kova::test::CommandIntercept intercept;
        intercept.answer("cat ", 0, output);
        EXPECT_EQ(kova_get_memsize_from_bsp(&size_), -1) << output;
    }
    EXPECT_EQ(log_.count("Get total mem size failed"), 5u);
    EXPECT_EQ(size_, 3u);
    EXPECT_EQ(g_TotalMemSize, 0u);
    for (bool starts : {true, false}) {
        log_.clear();
        kova::test::CommandIntercept intercept;
        starts ? intercept.answer("cat ", 1, "") : intercept.fail_spawn("cat ");
        EXPECT_EQ(kova_get_memsize_from_bsp(&size_), -1);
        ASSERT_EQ(log_.messages().size(), 1u);
        EXPECT_TRUE(starts ? log_.messages()[0].text.starts_with("Fgets error, errno(")
                           : log_.contains("Cmd " + command_ + " failed"));
    }
    kova::test::CommandIntercept intercept;
    intercept.answer("cat ", 0, "  4096 \n");
    EXPECT_EQ(kova_get_memsize_from_bsp(&size_), 0);
    EXPECT_EQ(size_, 4096u);
    EXPECT_EQ(open_descriptors(), descriptors);
}

}  // namespace
