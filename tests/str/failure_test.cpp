#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "str_test_util.h"

namespace {

using namespace kova::test;

TEST(StrFailure, SpawnFailureLeavesNoDescriptor)
{
    CommandIntercept intercept;
    LogCapture log;
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
    EXPECT_TRUE(!child_left() && log.messages().empty());
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
    ASSERT_EQ(drain(kova_popen("true", "r"), kova_pclose), Ran("", 0)) << "makes the child table at the full limit";
    CommandIntercept intercept;
    auto before = open_fds();
    pid_t pid = 0;
    {
        DescriptorsExhausted exhausted;
        EXPECT_EQ(kova_popen("echo x", "r"), nullptr);
        EXPECT_EQ(errno, EMFILE);
        EXPECT_EQ(kova_popen_with_pid("echo x", "r", &pid), nullptr);
    }
    EXPECT_TRUE(intercept.commands().empty() && !child_left());
    EXPECT_EQ(open_fds(), before);
}

}  // namespace
