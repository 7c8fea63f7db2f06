#include <signal.h>
#include <unistd.h>

#include "str_test_util.h"

namespace {

using namespace kova::test;

TEST(StrSystem, ReturnsTheRawWaitStatus)
{
    EXPECT_EQ(kova_system("true"), 0);
    EXPECT_EQ(kova_system("exit 3"), W_EXITCODE(3, 0));
    EXPECT_EQ(kova_system("kova-no-such-program 2>/dev/null"), W_EXITCODE(127, 0));
    EXPECT_EQ(kova_system("kill -9 $$"), SIGKILL);
    EXPECT_EQ(kova_system(nullptr), -22);
    EXPECT_EQ(kova_cmd_exec(nullptr), -22);
    EXPECT_EQ(kova_cmd_exec("exit 2"), W_EXITCODE(2, 0));
    EXPECT_FALSE(child_left());
}

TEST(StrSystem, FilteredRunnerRefusesOrPassesTheExactCommand)
{
    CommandIntercept intercept;
    LogCapture log;
    intercept.answer("date", 6);
    EXPECT_EQ(kova_system_s(nullptr, nullptr), -22);
    EXPECT_EQ(kova_system_s("date > /tmp/x", nullptr), KOVA_ERR_DANGEROUS_CMD);
    EXPECT_EQ(kova_system_s("date > /tmp/x", "|"), KOVA_ERR_DANGEROUS_CMD);
    EXPECT_TRUE(intercept.commands().empty() && log.messages().empty());
    EXPECT_EQ(kova_system_s("date > /tmp/x", ">"), W_EXITCODE(6, 0));
    EXPECT_EQ(intercept.commands(), std::vector<std::string>{"date > /tmp/x"});
    EXPECT_FALSE(child_left());
}

TEST(StrSystem, LibrarySystemFrontEnd)
{
    CommandIntercept intercept;
    intercept.answer("probe", 6);
    intercept.fail_spawn("unstartable");
    intercept.pass_through();
    EXPECT_EQ(system_s(nullptr, nullptr), -22);
    EXPECT_EQ(system_s("probe; reboot", nullptr), KOVA_ERR_DANGEROUS_CMD);
    EXPECT_EQ(system_s("probe --now", nullptr), W_EXITCODE(6, 0));
    EXPECT_EQ(system_s("unstartable", nullptr), -1);
    EXPECT_EQ(intercept.commands(), (std::vector<std::string>{"probe --now", "unstartable"}));
    EXPECT_EQ(system_s("exit 4", nullptr), W_EXITCODE(4, 0));
}

TEST(StrSystem, LibraryPopenFrontEnd)
{
    EXPECT_EQ(drain(popen_s("echo hi", "r", nullptr), pclose), Ran("hi\n", 0));
    EXPECT_EQ(popen_s("echo hi; echo x", "r", nullptr), nullptr);
    EXPECT_EQ(popen_s("echo hi", "rw", nullptr), nullptr);
    EXPECT_EQ(popen_s("echo hi", nullptr, nullptr), nullptr);
    EXPECT_EQ(popen_s(nullptr, "r", nullptr), nullptr);
    EXPECT_EQ(drain(popen_s("echo a; echo b", "r", ";"), pclose), Ran("a\nb\n", 0));
}

int check_calls = 0;
int veto(const char *, int, char *const[]) { return ++check_calls, 0; }
int consent(const char *, int, char *const[]) { return ++check_calls, 1; }

TEST(StrExecv, RefusesDangerousArgumentsWithTheirIndex)
{
    LogCapture log;
    check_calls = 0;
    char *const dangerous[] = {const_cast<char *>("/bin/echo"), const_cast<char *>("a;b"), nullptr};
    EXPECT_EQ(execv_s("/bin/echo", 2, dangerous, nullptr, consent), KOVA_ERR_DANGEROUS_CMD);
    auto logged = log.with_text("execv cmd is dangerous, argv[1] is: a;b.");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_TRUE(logged[0].level == 3 && logged[0].function == "execv_s" && logged[0].file == "str/kova_str");
    EXPECT_EQ(check_calls, 0);

    // Null entries are skipped; the first dangerous one is reported.
    char *const gapped[] = {const_cast<char *>("x"), nullptr, const_cast<char *>("a|b"), const_cast<char *>("c&d")};
    EXPECT_EQ(execv_s("/bin/echo", 4, gapped, nullptr, nullptr), KOVA_ERR_DANGEROUS_CMD);
    EXPECT_TRUE(log.contains("execv cmd is dangerous, argv[2] is: a|b."));
    EXPECT_FALSE(log.contains("execv cmd is dangerous, argv[3] is: c&d."));
    EXPECT_EQ(execv_s(nullptr, 1, dangerous, nullptr, nullptr), -22);
    EXPECT_EQ(execv_s("/bin/echo", 1, nullptr, nullptr, nullptr), -22);
}

TEST(StrExecv, CheckFunctionVetoesAndOnlyArgcArgumentsAreTested)
{
    LogCapture log;
    check_calls = 0;
    char *const argv[] = {const_cast<char *>("echo"), const_cast<char *>("a;b"), const_cast<char *>("rm|x"), nullptr};
    EXPECT_EQ(execv_s("/bin/echo", 2, argv, ";", veto), KOVA_ERR_DANGEROUS_CMD);
    EXPECT_EQ(check_calls, 1);
    // argv[2] lies beyond argc: reaching the check shows it was not tested.
    EXPECT_EQ(execv_s("/bin/echo", 1, argv + 1, ";", veto), KOVA_ERR_DANGEROUS_CMD);
    EXPECT_EQ(check_calls, 2);
    EXPECT_TRUE(log.messages().empty());
    errno = 0;
    EXPECT_EQ(execv_s("/nonexistent/kova-program", 1, argv, nullptr, consent), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(StrExecv, ExecutesAnAcceptedProgram)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>("exit 7"), nullptr};
        execv_s("/bin/sh", 3, argv, nullptr, nullptr);
        _exit(99);
    }
    EXPECT_EQ(reap(child), W_EXITCODE(7, 0));
}

}  // namespace
