// File operations: the wrappers' null checks, the line reader, the block copy, record locks, the
// directory walk and the exact shell commands.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_fileops.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

using namespace kova::test;

int fd_with(const TempRoot &root, const std::string &content)
{
    root.write("/in", content);
    return open(root.path("/in").c_str(), O_RDWR);
}

TEST(FileopsReadline, SplitsDropsCarriageReturnsAndStopsBehindTheLine)
{
    struct Case {
        std::string input;
        int size;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"ab\r\ncd", 64, {"ab\n", "cd"}},
        {"abcdef\n", 4, {"abc", "def", "\n"}},
        {"a\r\r\rb\n\n", 3, {"ab", "\n", "\n"}},  // the cut counts stored bytes, not carriage returns
        {"", 8, {}},
        {"\r\r", 8, {}},
        {"xyz", 1, {}},
        {std::string("a\0b\n", 4), 8, {"a"}},  // the NUL is stored: the C string ends there
    };
    TempRoot root;
    for (const Case &c : cases) {
        int fd = fd_with(root, c.input);
        std::vector<std::string> got;
        std::vector<char> buf(static_cast<size_t>(c.size), 'Z');
        while (char *line = kova_readline(fd, buf.data(), c.size)) {
            ASSERT_EQ(line, buf.data());
            EXPECT_EQ(buf.back(), '\0');
            got.emplace_back(line);
        }
        EXPECT_EQ(got, c.lines) << c.input;
        close(fd);
    }
    int fd = fd_with(root, "ab\ncd\n");
    char buf[16];
    EXPECT_TRUE(kova_readline(fd, buf, sizeof buf) != nullptr && lseek(fd, 0, SEEK_CUR) == 3);
    EXPECT_EQ(kova_readline(fd, nullptr, 4), nullptr);
    EXPECT_EQ(kova_readline(fd, buf, 0), nullptr);
    close(fd);
}

TEST(FileopsCopy, CopiesEveryLengthAroundTheBlockAndReportsOpenFailures)
{
    TempRoot root;
    for (size_t length : {0u, 1u, 127u, 128u, 129u, 256u, 300u}) {
        std::string content;
        for (size_t i = 0; i < length; ++i) content += static_cast<char>(i * 7);
        root.write("/src", content);
        root.write("/dst", std::string(1000, 'x'));
        ASSERT_EQ(kova_copy(root.path("/src").c_str(), root.path("/dst").c_str()), 0);
        EXPECT_EQ(root.read("/dst"), content) << length;
    }
    LogCapture log;
    EXPECT_EQ(kova_copy(nullptr, "/x"), -EINVAL);
    // A missing source, a destination in a missing directory, a directory (reads EISDIR).
    for (const auto &[src, dest, message] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"/missing", "/d2", "Open srcFile " + root.path("/missing") + " error."},
             {"/src", "/no/dir", "Open pDestFile " + root.path("/no/dir") + " error."},
             {"/", "/d3", "copydata read from srcFile=" + root.path("/") + " to destfile=" + root.path("/d3") + " error."}}) {
        EXPECT_EQ(kova_copy(root.path(src).c_str(), root.path(dest).c_str()), -125);
        EXPECT_EQ(log.with_text(message).at(0).level, 4);
    }
}

TEST(FileopsLock, NonWaitingModesFailAtOnceWaitingModesWaitForTheOtherProcess)
{
    TempRoot root;
    int fd = fd_with(root, std::string(100, 'x'));
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    pid_t child = fork();
    if (child == 0) {
        kova_flock_req_s held{KOVA_FLOCK_EXCL_NOWAIT, 10, 20};
        char c = kova_lockfile(fd, &held) == 0 ? 'L' : 'F';
        (void)!write(from_child[1], &c, 1);
        (void)!read(to_child[0], &c, 1);
        _exit(0);  // ending the process releases its locks
    }
    char c = 0;
    ASSERT_EQ(read(from_child[0], &c, 1), 1);
    ASSERT_EQ(c, 'L');
    kova_flock_req_s overlap{KOVA_FLOCK_EXCL_NOWAIT, 25, 0};
    EXPECT_EQ(kova_lockfile(fd, &overlap), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EACCES);
    overlap.mode = KOVA_FLOCK_SHARED_NOWAIT;
    EXPECT_EQ(kova_lockfile(fd, &overlap), -1);
    kova_flock_req_s beside{KOVA_FLOCK_EXCL_NOWAIT, 30, 5};  // [10, 30) is held
    EXPECT_TRUE(kova_lockfile(fd, &beside) == 0 && kova_unlockfile(fd, &beside) == 0);
    // The waiting request starts while the range is held and can only succeed once it is free.
    int waited = 1;
    std::thread waiter([&] {
        kova_flock_req_s wait_req{KOVA_FLOCK_EXCL_WAIT, 0, 0};
        waited = kova_lockfile(fd, &wait_req);
    });
    ASSERT_EQ(write(to_child[1], "x", 1), 1);
    waiter.join();
    EXPECT_EQ(waited, 0);
    EXPECT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(kova_lockfile(fd, nullptr) == -EINVAL && kova_unlockfile(fd, nullptr) == -EINVAL);
    for (int p : {to_child[0], to_child[1], from_child[0], from_child[1], fd}) close(p);
}

TEST(FileopsCommands, RunTheExactTextOrRefuseBeforeRunning)
{
    const std::string at_limit(1023, 'p'), beyond(1024, 'p');
    struct Case {
        std::function<int()> call;
        int result;
        std::string command;  // empty: nothing may run
        std::string message;
    };
    const std::vector<Case> cases = {
        {[] { return kova_cmd_cp("/a", "/b"); }, 0, "cp -af /a /b", ""},
        {[] { return kova_cmd_cp("/a;x", "/b"); }, -29, "", ""},
        {[] { return kova_cmd_cp(nullptr, "/b"); }, -22, "", "SrcFile or DestFile is NULL."},
        {[&] { return kova_cmd_cp("/a", beyond.c_str()); }, -36, "",
         "File Path is too Long, pSrcFile: (/a), pDestFile: (" + beyond + ")"},
        {[&] { return kova_cmd_rm(at_limit.c_str()); }, 0, "rm -rf " + at_limit, ""},
        {[&] { return kova_cmd_rm(beyond.c_str()); }, -36, "", "File path too long pSrcFile = " + beyond},
        {[] { return kova_cmd_rm(nullptr); }, -22, "", "Param is NULL."},
        {[] { return kova_cmd_tar("/t.tgz", "/dir", 1); }, 0, "tar -xzf /t.tgz -C /dir", ""},
        {[] { return kova_cmd_tar("/t.tgz", "/src", 0); }, 0, "tar -czf /t.tgz /src", ""},
        {[] { return kova_cmd_touch("/f"); }, 0, "touch /f", ""},
        {[] { return kova_cmd_touch(nullptr); }, -22, "", "File is NULL."},
        {[&] { return kova_cmd_touch(beyond.c_str()); }, -36, "", "File path:(" + beyond + ") is too long."},
        {[] { return kova_cmd_mv("/a", "/b"); }, 0, "mv /a /b", ""},
        {[&] { return kova_cmd_mv(beyond.c_str(), "/b"); }, -36, "",
         "File path too long pSrcFile = " + beyond + ", pDestFile = /b"},
        {[] { return kova_cmd_mkdir("/d/e"); }, 0, "mkdir -p /d/e &>/dev/null", ""},
        {[] { return kova_cmd_mkdir("/d&e"); }, -22, "", "Param error: pFile(/d&e) is dangerous."},
        {[&] { return kova_cmd_mkdir(beyond.c_str()); }, -36, "", "File path too long pFile = " + beyond},
        {[] { return kova_cmd_rm("/fails"); }, 3 << 8, "rm -rf /fails", "Execute cmd(rm -rf /fails) Fail(768)"},
    };
    for (const Case &c : cases) {
        CommandIntercept intercept;
        intercept.answer("rm -rf /fails", 3);
        LogCapture log;
        EXPECT_EQ(c.call(), c.result) << c.command << c.message;
        EXPECT_EQ(intercept.commands(), c.command.empty() ? std::vector<std::string>{} : std::vector{c.command});
        if (!c.message.empty()) {
            EXPECT_EQ(log.with_text(c.message).at(0).level, 3) << c.message;
        }
    }
}

}  // namespace
