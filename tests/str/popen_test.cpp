#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "kova/kova_str.h"
#include "str_test_util.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

using kova::test::child_left;
using kova::test::exit_code;
using kova::test::open_fds;
using kova::test::read_all;

TEST(StrPopen, ReadsTheOutputAndTheExitStatus)
{
    FILE *stream = kova_popen("echo hi", "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(read_all(stream), "hi\n");
    EXPECT_EQ(kova_pclose(stream), 0);

    stream = kova_popen("echo out; exit 5", "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(read_all(stream), "out\n");
    EXPECT_EQ(exit_code(kova_pclose(stream)), 5);
    EXPECT_FALSE(child_left());
}

TEST(StrPopen, FeedsTheChildInWriteMode)
{
    kova::test::TempRoot dir;
    std::string target = dir.path("/fed");
    // More than a pipe buffer, so that the writer blocks on a live reader.
    std::string payload;
    for (int i = 0; payload.size() < 200000; ++i) payload += std::to_string(i) + "\n";

    FILE *stream = kova_popen(("cat > " + target).c_str(), "w");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(std::fwrite(payload.data(), 1, payload.size(), stream), payload.size());
    EXPECT_EQ(kova_pclose(stream), 0);
    std::ifstream fed(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(fed), {}), payload);

    stream = kova_popen("cat >/dev/null", "w");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(std::fwrite(payload.data(), 1, payload.size(), stream), payload.size());
    EXPECT_EQ(kova_pclose(stream), 0);
}

TEST(StrPopen, InterceptedCommandsRunAsChildren)
{
    kova::test::CommandIntercept intercept;
    intercept.answer("probe-read", 4, "canned\n");
    intercept.answer("probe-write", 3);

    FILE *stream = kova_popen("probe-read --all", "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(read_all(stream), "canned\n");
    EXPECT_EQ(exit_code(kova_pclose(stream)), 4);

    // The answering child drains its input: writing to it must not raise SIGPIPE.
    stream = kova_popen("probe-write", "w");
    ASSERT_NE(stream, nullptr);
    std::string payload(300000, 'x');
    EXPECT_EQ(std::fwrite(payload.data(), 1, payload.size(), stream), payload.size());
    EXPECT_EQ(exit_code(kova_pclose(stream)), 3);
    EXPECT_EQ(intercept.commands(), (std::vector<std::string>{"probe-read --all", "probe-write"}));
    EXPECT_FALSE(child_left());
}

TEST(StrPopen, RefusesBadModesBeforeStartingAnything)
{
    kova::test::CommandIntercept intercept;
    for (const char *mode : {"rw", "re", "", "x"}) EXPECT_EQ(kova_popen("true", mode), nullptr) << mode;
    EXPECT_EQ(kova_popen("true", nullptr), nullptr);
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
    EXPECT_EQ(read_all(foreign), "still open");
    std::fclose(foreign);

    // A descriptor reused after kova_pclose must not find the old child.
    FILE *stream = kova_popen("true", "r");
    ASSERT_NE(stream, nullptr);
    int fd = fileno(stream);
    EXPECT_EQ(kova_pclose(stream), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    if (fds[0] != fd) {
        ASSERT_EQ(dup2(fds[0], fd), fd);
        close(fds[0]);
    }
    close(fds[1]);
    FILE *reused = fdopen(fd, "r");
    ASSERT_NE(reused, nullptr);
    EXPECT_EQ(kova_pclose(reused), -1);
    std::fclose(reused);
}

TEST(StrPopen, WithPidLeavesTheChildToTheCaller)
{
    pid_t pid = 0;
    FILE *stream = kova_popen_with_pid("echo p; exit 2", "r", &pid);
    ASSERT_NE(stream, nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(read_all(stream), "p\n");
    EXPECT_EQ(kova_pclose(stream), -1);
    std::fclose(stream);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(exit_code(status), 2);

    EXPECT_EQ(kova_popen_with_pid("true", "r", nullptr), nullptr);
}

TEST(StrPopen, FilteredFrontEndsRefuseWithoutStartingAnything)
{
    kova::test::CommandIntercept intercept;
    kova::test::LogCapture log;
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
    FILE *stream = kova_popen_s("list | head", "r", "|");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(read_all(stream), "ok\n");
    EXPECT_EQ(kova_pclose(stream), 0);
    stream = kova_popen_s_with_pid("list | head", "r", "|", &pid);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(read_all(stream), "ok\n");
    std::fclose(stream);
    int status = -1;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
}

TEST(StrPopen, FdopenFailureIsLoggedAndLeavesNothing)
{
    kova::test::LogCapture log;
    auto before = open_fds();
    // The pipe takes the two lowest free descriptors.
    int first = open("/dev/null", O_RDONLY);
    int second = open("/dev/null", O_RDONLY);
    close(first);
    close(second);
    pid_t pid = 0;
    // Only the unchecked variant lets a mode through that fdopen refuses.
    EXPECT_EQ(kova_popen_with_pid("true", "x", &pid), nullptr);
    auto logged = log.with_text("Iop is NULL, modes:(x), pdes[0]=(" + std::to_string(first) + "), pdes[1]=(" +
                                std::to_string(second) + "), errno:(22).");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, 6);
    EXPECT_EQ(logged[0].function, "kova_popen_with_pid");
    EXPECT_EQ(logged[0].file, "str/kova_str_common");
    EXPECT_EQ(open_fds(), before);
    EXPECT_FALSE(child_left());
}

TEST(StrPopen, ChildEndAlreadyInPlaceStillReachesTheChild)
{
    kova::test::TempRoot dir;
    int saved_in = dup(STDIN_FILENO);
    int saved_out = dup(STDOUT_FILENO);
    ASSERT_GE(saved_in, 0);
    ASSERT_GE(saved_out, 0);
    std::fflush(stdout);
    // With 0 and 1 free the pipe is (0, 1): the write end is the child's stdout already.
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    FILE *stream = kova_popen("echo edge", "r");
    std::string read_back = stream != nullptr ? read_all(stream) : "no stream";
    int read_status = stream != nullptr ? kova_pclose(stream) : -1;
    dup2(saved_out, STDOUT_FILENO);

    // With 0 free the read end is the child's stdin already.
    std::string target = dir.path("/edge");
    stream = kova_popen(("cat > " + target).c_str(), "w");
    int write_status = -1;
    if (stream != nullptr) {
        std::fputs("fed\n", stream);
        write_status = kova_pclose(stream);
    }
    dup2(saved_in, STDIN_FILENO);
    close(saved_in);
    close(saved_out);

    EXPECT_EQ(read_back, "edge\n");
    EXPECT_EQ(read_status, 0);
    EXPECT_EQ(write_status, 0);
    std::ifstream fed(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(fed), {}), "fed\n");
}

TEST(StrPopen, NoChildHoldsAnotherStreamsPipe)
{
    FILE *first = kova_popen("cat >/dev/null", "w");
    FILE *second = kova_popen("cat >/dev/null", "w");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
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
    kova::test::TempRoot dir;
    std::string fifo = dir.path("/gate");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The child lives until the test writes a line into the fifo.
    FILE *stream = kova_popen(("read line < " + fifo).c_str(), "r");
    ASSERT_NE(stream, nullptr);

    std::atomic<pid_t> closer_tid{0};
    std::uint64_t before = 0, after = 0;
    int status = -1;
    std::thread closer([&] {
        before = blocked_signals_of(static_cast<pid_t>(syscall(SYS_gettid)));
        closer_tid = static_cast<pid_t>(syscall(SYS_gettid));
        status = kova_pclose(stream);
        after = blocked_signals_of(static_cast<pid_t>(syscall(SYS_gettid)));
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

    EXPECT_TRUE(seen_blocked);
    EXPECT_EQ(before & kTerminal, 0u);
    EXPECT_EQ(after, before);
    EXPECT_EQ(status, 0);
}

}  // namespace
