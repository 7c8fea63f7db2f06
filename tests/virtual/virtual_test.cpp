#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_virtual.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"
#include "virtual/platform_record.h"

namespace {

constexpr char kDetect[] = "systemd-detect-virt -v";
constexpr char kProduct[] = "cat /sys/class/dmi/id/product_name";

std::size_t count_starting(const kova::test::LogCapture &log, const std::string &prefix)
{
    std::size_t n = 0;
    for (const auto &m : log.messages()) n += m.text.rfind(prefix, 0) == 0 && m.level == 6;
    return n;
}

struct Platform {
    const char *virt_output;  // null: the tool is missing (no output, exit 127)
    const char *product_output;
    int type;
    const char *name;
};

TEST(Virtual, MachineTypeAndNameFromTheTwoCommands)
{
    const Platform cases[] = {
        {"none\n", "PowerEdge R740\n", KOVA_MACHINE_PHYSICAL, "none"},
        {"None\n", "OpenStack Nova\n", KOVA_MACHINE_VIRTUAL, "OpenStack Nova"},
        {"kvm\n", "Standard PC (Q35 + ICH9, 2009)\n", KOVA_MACHINE_VIRTUAL, "kvm"},
        {"kvm\n", "OpenStack Nova\n", KOVA_MACHINE_VIRTUAL, "OpenStack Nova"},
        {"none\n", "OpenStack Nova \n", KOVA_MACHINE_PHYSICAL, "none"},  // only the exact product name
        {"vmware\x01trailing\n", "x\n", KOVA_MACHINE_VIRTUAL, "vmware"},  // cut at the first non-printable
        {nullptr, "PowerEdge R740\n", KOVA_MACHINE_UNKNOWN, "Unknow machine"},
        {"none\n", "", KOVA_MACHINE_UNKNOWN, "Unknow machine"},
        {"none\n", nullptr, KOVA_MACHINE_UNKNOWN, "Unknow machine"},
    };
    for (const Platform &p : cases) {
        kova::virt::reset_for_test();
        kova::test::CommandIntercept commands;
        if (p.virt_output != nullptr) commands.answer(kDetect, 0, p.virt_output);
        else commands.answer(kDetect, 127);
        if (p.product_output != nullptr) commands.answer(kProduct, 0, p.product_output);
        else commands.fail_spawn(kProduct);
        EXPECT_EQ(kova_get_machine_type(), p.type) << p.name;
        char name[64] = "garbage";
        EXPECT_EQ(kova_get_virtual_machine_type(name, sizeof name), 0);
        EXPECT_STREQ(name, p.name);
        EXPECT_EQ(commands.commands().front(), kDetect);
    }
    kova::virt::reset_for_test();
}

// A failed detection is tried again; a successful one is never repeated.
TEST(Virtual, FailureIsRetriedAndSuccessCached)
{
    kova::virt::reset_for_test();
    kova::test::LogCapture log;
    {
        kova::test::CommandIntercept commands;
        commands.fail_spawn(kDetect);
        EXPECT_EQ(kova_exec_systemd_detect_virt(), -1);
        EXPECT_EQ(kova_get_machine_type(), KOVA_MACHINE_UNKNOWN);
    }
    EXPECT_EQ(count_starting(log, std::string("Popen ") + kDetect + " fail errno "), 2u);
    kova::test::CommandIntercept commands;
    commands.answer(kDetect, 0, "qemu\n");
    commands.answer(kProduct, 0, "KVM\n");
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) callers.emplace_back([] { EXPECT_EQ(kova_get_machine_type(), KOVA_MACHINE_VIRTUAL); });
    for (auto &c : callers) c.join();
    EXPECT_EQ(kova_exec_systemd_detect_virt(), 0);
    EXPECT_EQ(commands.commands().size(), 2u) << "detected once for all callers";
    char small[3];
    EXPECT_EQ(kova_get_virtual_machine_type(small, sizeof small), 0);
    EXPECT_STREQ(small, "qe");
    EXPECT_EQ(kova_get_virtual_machine_type(nullptr, 8), -1);
    EXPECT_EQ(kova_get_virtual_machine_type(small, 0), -1);
    kova::virt::reset_for_test();
}

TEST(Virtual, CommandCaptureFailures)
{
    kova::test::LogCapture log;
    kova::test::CommandIntercept commands;
    commands.answer("empty", 0, "");
    commands.answer("long", 0, std::string(200, 'x') + "\n");
    commands.answer("short", 0, "abc\n");
    char out[128];
    EXPECT_EQ(kova_exec_systemd_detect_virt_inner("empty", out, sizeof out), -1);
    EXPECT_EQ(count_starting(log, "Fgets err, errno="), 1u);
    EXPECT_EQ(kova_exec_systemd_detect_virt_inner("long", out, 127), -1) << "127 bytes read do not fit in 127";
    EXPECT_EQ(kova_exec_systemd_detect_virt_inner("short", out, 4), -1) << "the line feed counts";
    EXPECT_EQ(log.count("Copy str error."), 2u);
    EXPECT_EQ(kova_exec_systemd_detect_virt_inner("short", out, 5), 0);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(kova_exec_systemd_detect_virt_inner("long", out, sizeof out), 0);
    EXPECT_EQ(std::string(out), std::string(127, 'x')) << "one line of at most 127 bytes is read";
    EXPECT_EQ(kova_exec_systemd_detect_virt_inner("echo a; reboot", out, sizeof out), -1);
    EXPECT_EQ(count_starting(log, "Popen echo a; reboot fail errno "), 1u);
    EXPECT_EQ(commands.commands().size(), 5u) << "a command with a metacharacter never runs";
    EXPECT_EQ(kova_exec_systemd_detect_virt_inner(nullptr, out, sizeof out), -1);
}

}  // namespace
