// The command runners: the metacharacter filter, the system-style runners, execv_s and the streams.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "kova/kova_str.h"
#include "support/command_intercept.h"
#include "support/stream_drain.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

using namespace kova::test;

// Writes `payload` into a write stream and closes it: the close's result, -1 when the stream did
// not open, -2 after a short write.
int feed(std::FILE *stream, const std::string &payload, int (*close)(std::FILE *))
{
    if (stream == nullptr) return -1;
    bool whole = std::fwrite(payload.data(), 1, payload.size(), stream) == payload.size();
    int result = close(stream);
    return whole ? result : -2;
}

// The wait status of child `pid`, -1 when it cannot be reaped.
int reap(pid_t pid) { int status = -1; return waitpid(pid, &status, 0) == pid ? status : -1; }

std::set<int> open_fds()
{
    std::set<int> fds;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(dir)) fds.insert(std::atoi(entry->d_name));
    closedir(dir);
    return fds;
}

// True when a child of this process exists (a finished one is reaped by the look).
bool child_left() { int status; return !(waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD); }

const std::string kNine = "|;&$<>!\n`";

TEST(StrFilter, TheNineMetacharactersOnlyANonEmptyAllowedSetLetsThroughAndModes)
{
    for (int c = 1; c < 256; ++c) {
        char text[2] = {static_cast<char>(c), '\0'};
        EXPECT_EQ(isBlackChar(text), kNine.find(static_cast<char>(c)) != std::string::npos ? 1 : 0) << c;
    }
    EXPECT_EQ(isBlackChar("") + isBlackChar(nullptr) + isWhiteChar("", "|"), 0) << "a set's terminator is no member";
    EXPECT_EQ(isWhiteChar("|", "|;") + isWhiteChar("&", "|;") + isWhiteChar("|", "") + isWhiteChar("|", nullptr) +
                  isWhiteChar(nullptr, "|"), 1);
    struct Case { const char *command, *allowed; int dangerous; } cases[] = {
        {"ls -l /tmp", nullptr, 0}, {"ls; rm x", nullptr, 1}, {"a|b", "|", 0},         {"a|b;c", "|", 1},
        {"a|b;c", "|;", 0},         {"", nullptr, 0},         {nullptr, nullptr, 0},   {"ls\0; rm x", nullptr, 0},
        {"echo 'a;b'", nullptr, 1}};  // quoting hides nothing
    for (const Case &c : cases) EXPECT_EQ(isDangerousCmd(c.command, c.allowed), c.dangerous) << c.command;
    for (char c : kNine)
        for (std::string s : {std::string("echo a") + c + "b", std::string(1, c), std::string("ls") + c})
            EXPECT_TRUE(isDangerousCmd(s.c_str(), "x") && !isDangerousCmd(s.c_str(), std::string{c}.c_str())) << s;
    EXPECT_EQ(kova_ismodevalid("r") + kova_ismodevalid("w"), 0);
    for (const char *bad : {"rw", "re", "", "a", "r+", "W", " r", static_cast<const char *>(nullptr)})
        EXPECT_EQ(kova_ismodevalid(bad), -1) << (bad ? bad : "null");
}

TEST(StrSystem, ReturnsTheRawWaitStatus)
{
    for (auto [command, status] : {std::pair{"true", 0}, {"exit 3", W_EXITCODE(3, 0)}, {"kill -9 $$", SIGKILL},
                                   {"kova-no-such-program 2>/dev/null", W_EXITCODE(127, 0)}}) {
        EXPECT_EQ(kova_system(command), status) << command;
        EXPECT_EQ(kova_cmd_exec(command), status) << command;
    }
    EXPECT_EQ(kova_system(nullptr) + kova_cmd_exec(nullptr), -44);
    EXPECT_FALSE(child_left());
}

// Both filtered runners, ours and the C library's front end: the exact command or nothing runs.
TEST(StrSystem, FilteredRunnersRefuseOrPassTheExactCommand)
{
    for (auto run : {kova_system_s, system_s}) {
        CommandIntercept intercept;
        LogCapture log;
        intercept.answer("date", 6);
        intercept.fail_spawn("unstartable");
        EXPECT_EQ(run(nullptr, nullptr), -22);
        EXPECT_EQ(run("date > /tmp/x", nullptr) + run("date > /tmp/x", "|"), 2 * KOVA_ERR_DANGEROUS_CMD);
        EXPECT_TRUE(intercept.commands().empty() && log.messages().empty());
        EXPECT_EQ(run("date > /tmp/x", ">"), W_EXITCODE(6, 0));
        EXPECT_EQ(run("unstartable", nullptr), -1);
        EXPECT_EQ(intercept.commands(), (std::vector<std::string>{"date > /tmp/x", "unstartable"}));
        intercept.pass_through();
        EXPECT_EQ(run("exit 4", nullptr), W_EXITCODE(4, 0));
    }
    EXPECT_FALSE(child_left());
}

int check_calls = 0;
int veto(const char *, int, char *const[]) { return ++check_calls, 0; }
int consent(const char *, int, char *const[]) { return ++check_calls, 1; }

// The vector execv would run is what is checked, up to its terminating null, whatever argc says.
// Each vector is a heap block of exactly its entries, so a read past its end is seen by ASan.
TEST(StrExecv, ChecksEveryArgumentUpToTheTerminatingNullThenExecutes)
{
    struct Case { std::vector<const char *> argv; int argc; const char *allowed; kova_execv_check_fn check;
                  int result, checks; const char *logged; } cases[] = {
        {{"echo", "a;b", nullptr}, 2, nullptr, consent, KOVA_ERR_DANGEROUS_CMD, 0, "argv[1] is: a;b."},
        {{"echo", "ok", "rm|x", "c&d", nullptr}, 1, nullptr, consent, KOVA_ERR_DANGEROUS_CMD, 0, "argv[2] is: rm|x."},
        {{"echo", "ok", nullptr}, 1000, nullptr, veto, KOVA_ERR_DANGEROUS_CMD, 1, nullptr},
        {{"echo", nullptr, "a|b", nullptr}, 4, nullptr, veto, KOVA_ERR_DANGEROUS_CMD, 1, nullptr},  // not run
        {{"echo", "a;b", nullptr}, 2, ";", veto, KOVA_ERR_DANGEROUS_CMD, 1, nullptr},
        {{"echo", nullptr}, 1, nullptr, nullptr, -22, 0, nullptr},  // a null path, below
    };
    for (const Case &c : cases) {
        LogCapture log;
        check_calls = 0;
        auto argv = std::make_unique<char *[]>(c.argv.size());
        for (std::size_t i = 0; i < c.argv.size(); ++i) argv[i] = const_cast<char *>(c.argv[i]);
        const char *path = c.result == -22 ? nullptr : "/nonexistent/kova-program";  // a wrong pass returns -1
        EXPECT_EQ(execv_s(path, c.argc, argv.get(), c.allowed, c.check), c.result) << c.argc;
        EXPECT_EQ(check_calls, c.checks) << c.argc;
        std::vector<std::string> logged;
        for (const auto &m : log.messages())
            logged.push_back(m.text + (m.level == 3 && m.function == "execv_s" && m.file == "str/kova_str" ? "" : "?"));
        EXPECT_EQ(logged, c.logged ? std::vector<std::string>{std::string("execv cmd is dangerous, ") + c.logged}
                                   : std::vector<std::string>{});
    }
    EXPECT_EQ(execv_s("/bin/echo", 1, nullptr, nullptr, nullptr), -22);
    char *const argv[] = {const_cast<char *>("kova-program"), nullptr};
    errno = 0;
    EXPECT_TRUE(execv_s("/nonexistent/kova-program", 1, argv, nullptr, consent) == -1 && errno == ENOENT);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char sh[] = "sh", c[] = "-c", exit7[] = "exit 7";
        char *const run[] = {sh, c, exit7, nullptr};
        execv_s("/bin/sh", 3, run, nullptr, nullptr);
        _exit(99);
    }
    EXPECT_EQ(reap(child), W_EXITCODE(7, 0));
}

TEST(StrPopen, ReadsOutputFeedsInputAndReturnsTheExitStatus)
{
    TempRoot dir;
    std::string payload;  // more than a pipe buffer, so that the writer blocks on a live reader
    for (int i = 0; payload.size() < 200000; ++i) payload += std::to_string(i) + "\n";
    EXPECT_EQ(drain(kova_popen("echo out; exit 5", "r"), kova_pclose), Ran("out\n", W_EXITCODE(5, 0)));
    EXPECT_EQ(feed(kova_popen(("cat > " + dir.path("/fed")).c_str(), "w"), payload, kova_pclose), 0);
    EXPECT_EQ(dir.read("/fed"), payload);

    CommandIntercept intercept;
    intercept.answer("probe-read", 4, "canned\n");
    intercept.answer("probe-write", 3);
    EXPECT_EQ(drain(kova_popen("probe-read --all", "r"), kova_pclose), Ran("canned\n", W_EXITCODE(4, 0)));
    // The answering child drains its input: writing to it must not raise SIGPIPE.
    EXPECT_EQ(feed(kova_popen("probe-write", "w"), payload, kova_pclose), W_EXITCODE(3, 0));
    EXPECT_EQ(intercept.commands(), (std::vector<std::string>{"probe-read --all", "probe-write"}));
    EXPECT_FALSE(child_left());
}

TEST(StrPopen, BadCallsAndDangerousCommandsStartNothing)
{
    CommandIntercept intercept;
    LogCapture log;
    pid_t pid = 0;
    for (const char *mode : {"rw", "re", "", "x", static_cast<const char *>(nullptr)})
        EXPECT_EQ(kova_popen("true", mode), nullptr) << (mode ? mode : "null");
    EXPECT_TRUE(kova_popen(nullptr, "r") == nullptr && kova_popen_s(nullptr, "r", nullptr) == nullptr &&
                kova_popen_s("cat >/dev/null", "w", nullptr) == nullptr && !kova_popen_with_pid("true", "r", nullptr));
    for (auto [cmd, mode] : {std::pair{"echo; echo x", "r"}, {"echo hi", "rw"}, {"echo hi", nullptr}, {nullptr, "r"}})
        EXPECT_EQ(popen_s(cmd, mode, nullptr), nullptr);  // the C library's popen behind the filter
    using Call = std::tuple<const char *, const char *, pid_t *>;
    for (auto [cmd, mode, out] : {Call{nullptr, "r", &pid}, {"x", "r", nullptr}, {"x", "rw", &pid}, {"a|b", "r", &pid}})
        EXPECT_EQ(kova_popen_s_with_pid(cmd, mode, nullptr, out), nullptr);
    EXPECT_TRUE(intercept.commands().empty() && log.messages().empty());

    intercept.answer("list", 0, "ok\n");
    EXPECT_EQ(drain(kova_popen_s("list | head", "r", "|"), kova_pclose), Ran("ok\n", 0));
    EXPECT_EQ(drain(kova_popen_s_with_pid("list | head", "r", "|", &pid), std::fclose), Ran("ok\n", 0));
    EXPECT_EQ(reap(pid), 0);
    EXPECT_EQ(drain(popen_s("echo a; echo b", "r", ";"), pclose), Ran("a\nb\n", 0));
}

// kova_pclose knows only its own streams; a with-pid stream's child is the caller's to reap.
TEST(StrPopen, PcloseRefusesStreamsItDidNotOpen)
{
    FILE *foreign = std::tmpfile();
    EXPECT_EQ(kova_pclose(nullptr) + kova_pclose(foreign), -2);
    EXPECT_TRUE(std::fputs("still open", foreign) > 0 && std::fflush(foreign) == 0 && std::fclose(foreign) == 0);

    pid_t pid = 0;
    EXPECT_EQ(drain(kova_popen_with_pid("echo p; exit 2", "r", &pid), kova_pclose), Ran("p\n", -1));
    EXPECT_EQ(reap(pid), W_EXITCODE(2, 0));

    // A descriptor reused after kova_pclose must not find the old child.
    FILE *stream = kova_popen("true", "r");
    ASSERT_NE(stream, nullptr);
    int fd = fileno(stream), null = open("/dev/null", O_RDONLY);
    EXPECT_EQ(kova_pclose(stream), 0);
    ASSERT_EQ(dup2(null, fd), fd);
    close(null);
    FILE *reused = fdopen(fd, "r");
    EXPECT_EQ(kova_pclose(reused), -1);
    std::fclose(reused);
}

// A start that fails half way leaves no descriptor and no child; only a failed fdopen is logged.
TEST(StrPopen, FailedStartsLeaveNothingBehind)
{
    CommandIntercept intercept;
    LogCapture log;
    intercept.fail_spawn("unstartable");
    auto before = open_fds();
    pid_t pid = 0;
    errno = 0;
    EXPECT_TRUE(kova_popen("unstartable r", "r") == nullptr && errno == EAGAIN);
    EXPECT_TRUE(!kova_popen("unstartable w", "w") && !kova_popen_with_pid("unstartable p", "r", &pid));
    EXPECT_EQ(kova_system("unstartable s") + kova_system_s("unstartable s", nullptr), -2);
    EXPECT_TRUE(intercept.commands().size() == 5 && log.messages().empty());

    // The pipe takes the two lowest free descriptors; only the unchecked variant lets a mode
    // through that fdopen refuses.
    int first = open("/dev/null", O_RDONLY), second = open("/dev/null", O_RDONLY);
    close(first);
    close(second);
    EXPECT_EQ(kova_popen_with_pid("true", "x", &pid), nullptr);
    auto logged = log.with_text("Iop is NULL, modes:(x), pdes[0]=(" + std::to_string(first) + "), pdes[1]=(" +
                                std::to_string(second) + "), errno:(22).");
    EXPECT_TRUE(logged.size() == 1 && logged[0].level == 6 && logged[0].function == "kova_popen_with_pid" &&
                logged[0].file == "str/kova_str_common");
    EXPECT_TRUE(open_fds() == before && !child_left());
}

TEST(StrPopen, ChildEndAlreadyInPlaceStillReachesTheChild)
{
    TempRoot dir;
    int saved_in = dup(STDIN_FILENO), saved_out = dup(STDOUT_FILENO);
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
    EXPECT_TRUE(fed == 0 && dir.read("/edge") == "fed\n");
}

TEST(StrPopen, NoChildHoldsAnotherStreamsPipe)
{
    FILE *first = kova_popen("cat >/dev/null", "w");
    FILE *second = kova_popen("cat >/dev/null", "w");
    ASSERT_TRUE(first != nullptr && second != nullptr);
    // If the second cat inherited the first stream's write end, the first cat never sees end
    // of input and this close waits for the second stream.
    auto closing = std::async(std::launch::async, [first] { return kova_pclose(first); });
    EXPECT_EQ(closing.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(kova_pclose(second) + closing.get(), 0);
}

std::uint64_t blocked_signals_of(pid_t tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("SigBlk:")) return std::stoull(line.substr(7), nullptr, 16);
    return 0;
}

TEST(StrPopen, PcloseBlocksTerminalSignalsOnlyWhileWaiting)
{
    constexpr std::uint64_t kTerminal = (1u << (SIGHUP - 1)) | (1u << (SIGINT - 1)) | (1u << (SIGQUIT - 1));
    TempRoot dir;
    const std::string gate = dir.path("/gate");
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    FILE *stream = kova_popen(("read line < " + gate).c_str(), "r");  // lives until the gate opens
    ASSERT_NE(stream, nullptr);
    const pid_t waiter = gettid();
    bool seen_blocked = false;
    std::thread observer([&] {
        using Clock = std::chrono::steady_clock;
        for (auto end = Clock::now() + std::chrono::seconds(10); !seen_blocked && Clock::now() < end; usleep(1000))
            seen_blocked = (blocked_signals_of(waiter) & kTerminal) == kTerminal;
        std::ofstream(gate) << "go\n";
    });
    const std::uint64_t before = blocked_signals_of(waiter);
    EXPECT_EQ(kova_pclose(stream), 0);
    observer.join();
    EXPECT_TRUE(seen_blocked && (before & kTerminal) == 0 && blocked_signals_of(waiter) == before);
}

// Streams opened and closed at once from many threads: every stream reads its own child's
// output, every close finds its own child, and nothing is left behind.
TEST(StrPopen, ConcurrentStreamsKeepTheirChildren)
{
    const int kThreads = 8, kRounds = std::getenv("UNDER_QEMU") != nullptr ? 25 : 200;  // a start costs ~50 ms there
    auto before = open_fds();
    std::atomic<int> mismatched{0}, waiting{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (--waiting; waiting.load() > 0;) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) {
                std::string said = std::to_string(t) + "-" + std::to_string(i);
                mismatched += drain(kova_popen(("echo " + said).c_str(), "r"), kova_pclose) != Ran(said + "\n", 0);
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(mismatched.load(), 0);
    EXPECT_TRUE(open_fds() == before && !child_left());
}

}  // namespace
