#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_str.h"
#include "str_test_util.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"

namespace {

using kova::test::child_left;
using kova::test::open_fds;

TEST(StrFailure, SpawnFailureLeavesNoDescriptor)
{
    kova::test::CommandIntercept intercept;
    kova::test::LogCapture log;
    intercept.fail_spawn("unstartable");
    auto before = open_fds();
    pid_t pid = 0;
    errno = 0;
    EXPECT_EQ(kova_popen("unstartable r", "r"), nullptr);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(kova_popen("unstartable w", "w"), nullptr);
    EXPECT_EQ(kova_popen_with_pid("unstartable p", "r", &pid), nullptr);
    EXPECT_EQ(kova_system("unstartable s"), -1);
    EXPECT_EQ(kova_system_s("unstartable s", nullptr), -1);
    EXPECT_EQ(intercept.commands().size(), 5u);
    EXPECT_EQ(open_fds(), before);
    EXPECT_FALSE(child_left());
    EXPECT_TRUE(log.messages().empty());
}

// Lowers the descriptor limit to what is open now and fills every free slot below it.
class DescriptorsExhausted {
public:
    DescriptorsExhausted()
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(*open_fds().rbegin()) + 1;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers_.push_back(fd);
    }
    ~DescriptorsExhausted()
    {
        for (int fd : fillers_) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }

private:
    rlimit saved_{};
    std::vector<int> fillers_;
};

TEST(StrFailure, PipeFailureGivesNull)
{
    // Make the child table first, at the full limit.
    FILE *warm = kova_popen("true", "r");
    ASSERT_NE(warm, nullptr);
    kova_pclose(warm);
    kova::test::CommandIntercept intercept;
    auto before = open_fds();
    pid_t pid = 0;
    {
        DescriptorsExhausted exhausted;
        EXPECT_EQ(kova_popen("echo x", "r"), nullptr);
        EXPECT_EQ(errno, EMFILE);
        EXPECT_EQ(kova_popen_with_pid("echo x", "r", &pid), nullptr);
    }
    EXPECT_TRUE(intercept.commands().empty());
    EXPECT_EQ(open_fds(), before);
    EXPECT_FALSE(child_left());
}

}  // namespace
