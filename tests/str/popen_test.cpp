#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "str_test_util.h"
#include "support/temp_root.h"

namespace {

using namespace kova::test;

TEST(StrPopen, ReadsTheOutputAndTheExitStatus)
{
    EXPECT_EQ(drain(kova_popen("echo hi", "r"), kova_pclose), Ran("hi\n", 0));
    EXPECT_EQ(drain(kova_popen("echo out; exit 5", "r"), kova_pclose), Ran("out\n", W_EXITCODE(5, 0)));
    EXPECT_FALSE(child_left());
}

TEST(StrPopen, FeedsTheChildInWriteMode)
{
    TempRoot dir;
    std::string payload;  // more than a pipe buffer, so that the writer blocks on a live reader
    for (int i = 0; payload.size() < 200000; ++i) payload += std::to_string(i) + "\n";
    EXPECT_EQ(feed(kova_popen(("cat > " + dir.path("/fed")).c_str(), "w"), payload, kova_pclose), 0);
    EXPECT_EQ(dir.read("/fed"), payload);
    EXPECT_EQ(feed(kova_popen("cat >/dev/null", "w"), payload, kova_pclose), 0);
}

TEST(StrPopen, InterceptedCommandsRunAsChildren)
{
    CommandIntercept intercept;
    intercept.answer("probe-read", 4, "canned\n");
    intercept.answer("probe-write", 3);
    EXPECT_EQ(drain(kova_popen("probe-read --all", "r"), kova_pclose), Ran("canned\n", W_EXITCODE(4, 0)));
    // The answering child drains its input: writing to it must not raise SIGPIPE.
    EXPECT_EQ(feed(kova_popen("probe-write", "w"), std::string(300000, 'x'), kova_pclose), W_EXITCODE(3, 0));
    EXPECT_EQ(intercept.commands(), (std::vector<std::string>{"probe-read --all", "probe-write"}));
    EXPECT_FALSE(child_left());
}

TEST(StrPopen, RefusesBadModesBeforeStartingAnything)
{
    CommandIntercept intercept;
    for (const char *mode : {"rw", "re", "", "x", static_cast<const char *>(nullptr)})
        EXPECT_EQ(kova_popen("true", mode), nullptr) << (mode ? mode : "null");
    EXPECT_EQ(kova_popen(nullptr, "r"), nullptr);
    EXPECT_TRUE(intercept.commands().empty());
}

TEST(StrPopen, PcloseRefusesForeignStreamsAndLeavesThemOpen)
{
    EXPECT_EQ(kova_pclose(nullptr), -1);
    FILE *foreign = std::tmpfile();
    ASSERT_NE(foreign, nullptr);
    EXPECT_EQ(kova_pclose(foreign), -1);
    EXPECT_GT(std::fputs("still open", foreign), 0);
    std::rewind(foreign);
    EXPECT_EQ(drain(foreign, std::fclose), Ran("still open", 0));

    // A descriptor reused after kova_pclose must not find the old child.
    FILE *stream = kova_popen("true", "r");
    ASSERT_NE(stream, nullptr);
    int fd = fileno(stream), fds[2];
    EXPECT_EQ(kova_pclose(stream), 0);
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]);
    if (fds[0] != fd) {
        ASSERT_EQ(dup2(fds[0], fd), fd);
        close(fds[0]);
    }
    FILE *reused = fdopen(fd, "r");
    ASSERT_NE(reused, nullptr);
    EXPECT_EQ(kova_pclose(reused), -1);
    std::fclose(reused);
}

TEST(StrPopen, WithPidLeavesTheChildToTheCaller)
{
    pid_t pid = 0;
    FILE *stream = kova_popen_with_pid("echo p; exit 2", "r", &pid);
    ASSERT_TRUE(stream != nullptr && pid > 0);
    EXPECT_EQ(drain(stream, kova_pclose), Ran("p\n", -1));
    std::fclose(stream);
    EXPECT_EQ(reap(pid), W_EXITCODE(2, 0));
    EXPECT_EQ(kova_popen_with_pid("true", "r", nullptr), nullptr);
}

TEST(StrPopen, FilteredFrontEndsRefuseWithoutStartingAnything)
{
    CommandIntercept intercept;
    LogCapture log;
    pid_t pid = 0;
    EXPECT_EQ(kova_popen_s(nullptr, "r", nullptr), nullptr);
    EXPECT_EQ(kova_popen_s("cat >/dev/null", "w", nullptr), nullptr);
    EXPECT_EQ(kova_popen_s_with_pid(nullptr, "r", nullptr, &pid), nullptr);
    EXPECT_EQ(kova_popen_s_with_pid("true", "r", nullptr, nullptr), nullptr);
    EXPECT_EQ(kova_popen_s_with_pid("true", "rw", nullptr, &pid), nullptr);
    EXPECT_EQ(kova_popen_s_with_pid("a | b", "r", nullptr, &pid), nullptr);
    EXPECT_TRUE(intercept.commands().empty());
    EXPECT_TRUE(log.messages().empty());

    intercept.answer("list", 0, "ok\n");
    EXPECT_EQ(drain(kova_popen_s("list | head", "r", "|"), kova_pclose), Ran("ok\n", 0));
    EXPECT_EQ(drain(kova_popen_s_with_pid("list | head", "r", "|", &pid), std::fclose), Ran("ok\n", 0));
    EXPECT_EQ(reap(pid), 0);
}

TEST(StrPopen, FdopenFailureIsLoggedAndLeavesNothing)
{
    LogCapture log;
    auto before = open_fds();
    // The pipe takes the two lowest free descriptors.
    int first = open("/dev/null", O_RDONLY), second = open("/dev/null", O_RDONLY);
    close(first);
    close(second);
    pid_t pid = 0;
    // Only the unchecked variant lets a mode through that fdopen refuses.
    EXPECT_EQ(kova_popen_with_pid("true", "x", &pid), nullptr);
    auto logged = log.with_text("Iop is NULL, modes:(x), pdes[0]=(" + std::to_string(first) + "), pdes[1]=(" +
                                std::to_string(second) + "), errno:(22).");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_TRUE(logged[0].level == 6 && logged[0].function == "kova_popen_with_pid" &&
                logged[0].file == "str/kova_str_common");
    EXPECT_EQ(open_fds(), before);
    EXPECT_FALSE(child_left());
}

TEST(StrPopen, ChildEndAlreadyInPlaceStillReachesTheChild)
{
    TempRoot dir;
    int saved_in = dup(STDIN_FILENO), saved_out = dup(STDOUT_FILENO);
    ASSERT_TRUE(saved_in >= 0 && saved_out >= 0);
    std::fflush(stdout);
    // With 0 and 1 free the pipe is (0, 1): the write end is the child's stdout already.
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    Ran read_back = drain(kova_popen("echo edge", "r"), kova_pclose);
    dup2(saved_out, STDOUT_FILENO);
    // With 0 free the read end is the child's stdin already.
    int fed = feed(kova_popen(("cat > " + dir.path("/edge")).c_str(), "w"), "fed\n", kova_pclose);
    dup2(saved_in, STDIN_FILENO);
    close(saved_in);
    close(saved_out);
    EXPECT_EQ(read_back, Ran("edge\n", 0));
    EXPECT_EQ(fed, 0);
    EXPECT_EQ(dir.read("/edge"), "fed\n");
}

TEST(StrPopen, NoChildHoldsAnotherStreamsPipe)
{
    FILE *first = kova_popen("cat >/dev/null", "w");
    FILE *second = kova_popen("cat >/dev/null", "w");
    ASSERT_TRUE(first != nullptr && second != nullptr);
    // If the second cat inherited the first stream's write end, the first cat never sees end
    // of input and this close waits for the second stream.
    auto closing = std::async(std::launch::async, [first] { return kova_pclose(first); });
    bool finished_alone = closing.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_EQ(kova_pclose(second), 0);
    EXPECT_EQ(closing.get(), 0);
    EXPECT_TRUE(finished_alone);
}

std::uint64_t blocked_signals_of(pid_t tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    return 0;
}

TEST(StrPopen, PcloseBlocksTerminalSignalsOnlyWhileWaiting)
{
    constexpr std::uint64_t kTerminal = (1u << (SIGHUP - 1)) | (1u << (SIGINT - 1)) | (1u << (SIGQUIT - 1));
    TempRoot dir;
    std::string fifo = dir.path("/gate");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The child lives until the test writes a line into the fifo.
    FILE *stream = kova_popen(("read line < " + fifo).c_str(), "r");
    ASSERT_NE(stream, nullptr);

    std::atomic<pid_t> closer_tid{0};
    std::uint64_t before = 0, after = 0;
    int status = -1;
    std::thread closer([&] {
        before = blocked_signals_of(gettid());
        closer_tid = gettid();
        status = kova_pclose(stream);
        after = blocked_signals_of(gettid());
    });
    while (closer_tid.load() == 0) std::this_thread::yield();
    bool seen_blocked = false;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !seen_blocked && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        seen_blocked = (blocked_signals_of(closer_tid) & kTerminal) == kTerminal;
    int gate = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(gate, 0);
    EXPECT_EQ(write(gate, "go\n", 3), 3);
    close(gate);
    closer.join();
    EXPECT_TRUE(seen_blocked && before == after && (before & kTerminal) == 0 && status == 0)
        << seen_blocked << " " << before << " " << after << " " << status;
}

}  // namespace
