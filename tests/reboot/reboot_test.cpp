#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "kova/kova_reboot.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"

namespace kova::test {
namespace {

const std::vector<std::string> kOneReboot{"reboot -f"};

TEST(Reboot, EveryRequestWritesItsLineThenRunsTheForcedReboot)
{
    CommandIntercept commands;
    commands.answer("reboot", 3);
    LogCapture log;
    EXPECT_EQ(kova_Reboot(1ull << 33, 77, "disk gone"), 3 << 8);
    EXPECT_TRUE(log.contains("Usrspace reboot, reason:8589934592, pid:77 mes:disk gone."));
    EXPECT_EQ(kova_Reboot(0, 0, nullptr), 3 << 8);
    EXPECT_TRUE(log.contains("Usrspace reboot, reason:0, pid:0 mes:(null)."));
    EXPECT_EQ(kova_ResetLocalBoard(), 0);
    EXPECT_TRUE(log.with_text("Usrspace reboot.").at(0).raw);
    EXPECT_EQ(commands.commands(), std::vector<std::string>(3, "reboot -f"));
    log.clear();
    EXPECT_EQ(kova_get_reboot_count(), 0);
    EXPECT_EQ(log.with_text("Simu not support get reboot count.").at(0).level, 7);
    EXPECT_EQ(commands.commands().size(), 3u);
}

TEST(Reboot, PanicLogsAtMost255CharactersAndRebootsEvenWhenTheMessageIsCut)
{
    struct Case {
        std::string message;
        std::string logged;
        bool cut;
    };
    const std::string long_text(300, 'x');
    for (const Case &c : {Case{"short", "short", false}, Case{std::string(255, 'y'), std::string(255, 'y'), false},
                          Case{long_text, long_text.substr(0, 255), true}}) {
        CommandIntercept commands;
        LogCapture log;
        errno = 0;
        panic("%s", c.message.c_str());
        EXPECT_TRUE(log.contains("Panic info = " + c.logged + "\n")) << c.message.size();
        EXPECT_EQ(log.count("Print panic info error, ret(-1) errno(0)."), c.cut ? 1u : 0u);
        EXPECT_EQ(commands.commands(), kOneReboot);
    }
}

TEST(Reboot, PrintkWritesTheTextAsIs)
{
    LogCapture log;
    EXPECT_EQ(printk("%d-%s", 12, "ab"), 5);
    EXPECT_EQ(log.with_text("12-ab").at(0).raw, true);
    EXPECT_EQ(printk(nullptr), -1);
}

}  // namespace
}  // namespace kova::test
