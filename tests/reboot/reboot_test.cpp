#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "kova/kova_reboot.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"

namespace kova::test {
namespace {

TEST(Reboot, EveryRequestWritesItsRawLineThenRunsTheForcedReboot)
{
    CommandIntercept commands;
    commands.answer("reboot", 3);
    LogCapture log;
    EXPECT_EQ(kova_Reboot(1ull << 33, 77, "disk gone"), 3 << 8);
    EXPECT_EQ(kova_Reboot(0, 0, nullptr), 3 << 8);
    EXPECT_EQ(kova_ResetLocalBoard(), 0);
    for (const char *line : {"Usrspace reboot, reason:8589934592, pid:77 mes:disk gone.",
                             "Usrspace reboot, reason:0, pid:0 mes:(null).", "Usrspace reboot."})
        EXPECT_TRUE(log.with_text(line).at(0).raw) << line;
    EXPECT_EQ(kova_get_reboot_count(), 0);
    EXPECT_EQ(log.with_text("Simu not support get reboot count.").at(0).level, 7);
    EXPECT_EQ(commands.commands(), std::vector<std::string>(3, "reboot -f"));
}

TEST(Reboot, PanicLogsAtMost255CharactersAndRebootsEvenWhenTheMessageIsCut)
{
    const std::string exact(255, 'y'), long_text(300, 'x');
    for (auto [message, cut] : {std::pair{std::string("short"), false}, {exact, false}, {long_text, true}}) {
        CommandIntercept commands;
        LogCapture log;
        errno = 0;
        panic("%s", message.c_str());
        EXPECT_TRUE(log.contains("Panic info = " + message.substr(0, 255) + "\n")) << message.size();
        EXPECT_EQ(log.count("Print panic info error, ret(-1) errno(0)."), cut ? 1u : 0u);
        EXPECT_EQ(commands.commands(), std::vector<std::string>{"reboot -f"});
    }
    LogCapture log;
    EXPECT_EQ(printk("%d-%s", 12, "ab"), 5);
    EXPECT_TRUE(log.with_text("12-ab").at(0).raw);
}

}  // namespace
}  // namespace kova::test
