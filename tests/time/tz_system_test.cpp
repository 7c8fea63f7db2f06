#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_timezone.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "time/tz_internal.h"

namespace {

using kova::test::CommandIntercept;
using kova::test::LogCapture;
using kova::test::TempRoot;
using Strings = std::vector<std::string>;

struct Fixture {
    TempRoot root;
    CommandIntercept shell;
    LogCapture log;
    std::string script = root.path("/ZPR/script/os_get_tmtz.sh");
};

TEST(TzShell, StatusOutputAndLimits)
{
    Fixture f;
    f.shell.answer("loud", 0, "error text\nretshell0\n");
    f.shell.answer("echo a", 3, "a\nb\nretshell3\n");
    f.shell.answer("silent", 0, "");
    char out[8] = "zz";
    EXPECT_EQ(time_popen_shell("loud", nullptr, 0), -1);
    EXPECT_TRUE(f.log.contains("Execute shell failed, flags is 1."));
    EXPECT_EQ(time_popen_shell("loud", out, 4), 0);
    EXPECT_EQ(time_popen_shell("echo a", out, sizeof out), 3);
    EXPECT_STREQ(out, "a\nb\n");
    EXPECT_EQ(time_popen_shell("echo ab", out, 3), 3);
    EXPECT_TRUE(f.log.contains("The length of output beyond 3."));
    EXPECT_EQ(time_popen_shell("silent", out, sizeof out), -1);
    EXPECT_EQ(time_popen_shell("ls; reboot", out, sizeof out), -1);
    EXPECT_TRUE(f.log.contains("Param error: pscCmd(ls; reboot) is dangerous."));
    EXPECT_EQ(time_popen_shell(std::string(213, 'a').c_str(), nullptr, 0), -1);
    EXPECT_EQ(time_popen_shell(std::string(214, 'a').c_str(), nullptr, 0), -7);
    Strings want{"loud 2>/dev/stdout 1>/dev/null; echo retshell$?", "loud; echo retshell$?",
                 "echo a; echo retshell$?", "echo ab; echo retshell$?", "silent; echo retshell$?",
                 std::string(213, 'a') + " 2>/dev/stdout 1>/dev/null; echo retshell$?"};
    EXPECT_EQ(f.shell.commands(), want);
    char wrapped[257];
    EXPECT_EQ(time_popen_complete_cmd("a & b", out, wrapped), 0);
    EXPECT_STREQ(wrapped, "`a & b`; echo retshell$?");
    for (const char *bad : {"a|b", "a;b", "a<b", "$x", "a&", "a>b", "`x`", "a\\b", "a!", "a\nb", static_cast<const char *>(nullptr)})
        EXPECT_EQ(kova_filter_special_character(bad), -1) << (bad ? bad : "null");
    for (const char *good : {"America/New_York", "Etc/GMT+8", ""}) EXPECT_EQ(kova_filter_special_character(good), 0);
}

TEST(TzDstRules, ScriptAnswersAndMalformedOutput)
{
    Fixture f;
    f.shell.answer(f.script + " querydstinfo;", 0, "03-10 02:00:0011-03 02:00:00\nretshell0\n");
    f.shell.answer(f.script + " querydstforregion", 0, "1\nretshell0\n");
    f.shell.answer(f.script + " querydstinfoforregion", 0, "10-01 02:00:0004-01 03:00:0060\nretshell0\n");
    f.shell.answer(f.script + " querydstinfoforcurrentyear \"Good\"", 0,
                   "2024-03-10 02:00:002024-11-03 02:00:0060\n2025-03-09 02:00:002025-11-02 02:00:0030\nshort\nretshell0\n");
    f.shell.answer(f.script + " querydstinfoforcurrentyear \"Bad\"", 1, "retshell1\n");
    char begin[64], end[64];
    uint32_t offset = 7, second = 7, flag = 0;
    EXPECT_EQ(kova_time_querydstconf(begin, end, &offset, &second), 0);
    EXPECT_TRUE(std::string(begin) == "03-10 02:00:00" && std::string(end) == "11-03 02:00:00" && second == 0);
    EXPECT_EQ(kova_time_query_dstforregion("Europe/Paris", &flag), 0);
    EXPECT_EQ(flag, 1u);
    EXPECT_EQ(kova_time_query_dstconfinfoforregion("Australia/Sydney", begin, end, &offset, &second), 0);
    EXPECT_TRUE(std::string(begin, 14) == "10-01 02:00:00" && std::string(end, 14) == "04-01 03:00:00" && offset == 60);
    kova_dst_year_rules_s rules;
    EXPECT_EQ(kova_time_query_dstconfforregion("Good", &rules), 0);
    EXPECT_TRUE(rules.count == 2 && std::string(rules.rule[1].end) == "2025-11-02 02:00:00" && rules.rule[1].offset_mins == 30);
    EXPECT_TRUE(f.log.contains("Get DST config info failed, result is short."));
    EXPECT_EQ(kova_time_query_dstconfforregion("Bad", &rules), -1);
    EXPECT_EQ(rules.count, 0);
    EXPECT_EQ(kova_time_query_dstforregion("x", nullptr), -22);
    EXPECT_EQ(kova_time_query_dstforregion(nullptr, &flag), -22);
    EXPECT_EQ(kova_time_query_dstforregion("a;reboot", &flag), -1);
    EXPECT_EQ(kova_time_query_dstconfforregion(nullptr, &rules), -1);
    EXPECT_EQ(f.shell.commands()[1], f.script + " querydstforregion \"Europe/Paris\"; echo retshell$?");
    EXPECT_EQ(f.shell.commands().size(), 5u);  // refused names never reach the shell
}

TEST(TzZone, NameDiscoveryAndSetting)
{
    Fixture f;
    f.shell.answer("timedatectl |", 0, "");
    f.shell.answer("timedatectl set-timezone", 1);
    char name[64];
    f.root.write("/etc/sysconfig/clock", "ZONE=x\n");
    ASSERT_EQ(symlink("/usr/share/zoneinfo/Asia/Shanghai", f.root.path("/etc/localtime").c_str()), 0);
    EXPECT_EQ(kova_zonename_get(name), 0);
    EXPECT_STREQ(name, "Asia/Shanghai");
    unlink(f.root.path("/etc/localtime").c_str());
    f.root.write("/etc/sysconfig/clock", "ZONE=x\nDEFAULT_TIMEZONE=\"Europe/Berlin\"\n");
    EXPECT_EQ(kova_zonename_get(name), 0);
    EXPECT_STREQ(name, "Europe/Berlin");

    EXPECT_EQ(kova_timezone_set("Asia/Tokyo"), -2);  // no /etc/localtime
    f.root.write("/etc/localtime", "");
    EXPECT_EQ(kova_timezone_set("Nowhere/City"), -2);
    f.root.write("/usr/share/zoneinfo/Asia/Tokyo", "TZif");
    EXPECT_EQ(kova_timezone_set("Asia/Tokyo"), 0);
    EXPECT_EQ(kova_timezone_set("Asia/Tokyo;reboot"), -22);
    EXPECT_EQ(f.shell.commands().back(), "ln -s " + f.root.path("/usr/share/zoneinfo/Asia/Tokyo") + " " +
                                             f.root.path("/etc/localtime_tmp") + "\nmv " + f.root.path("/etc/localtime_tmp") +
                                             " " + f.root.path("/etc/localtime"));
    EXPECT_TRUE(f.log.contains("Cannot find " + f.root.path("/usr/share/zoneinfo/Nowhere/City") + " timezone file."));
}

TEST(TzClock, SetTimeCommandsAndRange)
{
    Fixture f;
    for (time_t bad : {time_t{0}, time_t{3124224000}}) EXPECT_EQ(kova_time_settime(&bad), -1);
    EXPECT_EQ(kova_time_settime(nullptr), -1);
    EXPECT_TRUE(f.shell.commands().empty());
    f.shell.answer("hwclock  --utc --hctosys", 1);
    time_t t = 1700000000;
    EXPECT_EQ(kova_time_settime(&t), -1);
    Strings want{"hwclock --set --utc --date=\"11/14/23 22:13:20 -0\"", "hwclock  --utc --hctosys",
                 "hwclock  --utc --hctosys", "hwclock  --utc --hctosys", "hwclock  --utc --hctosys"};
    EXPECT_EQ(f.shell.commands(), want);
}

// The kernel's side of the table hand-over, recorded.
kova::tz::TransitionTable handed;
int handed_calls = 0;
int record_table(int, unsigned long request, void *table)
{
    ++handed_calls;
    std::memcpy(&handed, table, sizeof handed);
    return request == kova::tz::kTableRequest ? 0 : -1;
}

struct KernelFixture : Fixture {
    KernelFixture()
    {
        root.write("/proc/nexo/timezone", "");
        kova::tz::set_table_ioctl(record_table);
        handed_calls = 0;
    }
    ~KernelFixture() { kova::tz::set_table_ioctl(nullptr); }
    int sync(const std::string &zone, const std::string &zdump)
    {
        root.write("/ZPR/conf/time_zone.conf", zone);
        std::string file = zone;
        for (char &c : file) c = c == '/' ? '_' : c;
        root.write("/var/run/timezone/" + file, zdump);
        return sync_timezone_to_kernel();
    }
};

std::string run_zdump(const std::string &zone)
{
    std::string text;
    FILE *p = popen(("zdump -v " + zone).c_str(), "r");
    for (char buf[256]; p != nullptr && fgets(buf, sizeof buf, p) != nullptr;) text += buf;
    if (p != nullptr) pclose(p);
    return text;
}

TEST(TzKernelTable, RealZonesMatchZdumpAndTheCLibrary)
{
    for (const char *zone : {"America/New_York", "Australia/Sydney", "Asia/Shanghai", "Europe/London", "Asia/Kolkata"}) {
        KernelFixture f;
        std::string zdump = run_zdump(zone);
        ASSERT_EQ(f.sync(zone, zdump), 0) << zone;
        ASSERT_EQ(handed_calls, 1);
        // Every change of offset zdump shows from 1970 until the first one past the horizon.
        std::set<std::pair<int64_t, int>> changes;
        std::istringstream lines(zdump);
        int last = 0;
        int64_t first_past_horizon = INT64_MAX;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string name, wday, mon, hms, offset;
            struct tm tm {};
            if (!(words >> name >> wday >> mon >> tm.tm_mday >> hms >> tm.tm_year)) continue;
            offset = line.substr(line.rfind("gmtoff=") + 7);
            tm.tm_mon = kova::tz::month_name_to_index(mon.c_str());
            std::sscanf(hms.c_str(), "%d:%d:%d", &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
            tm.tm_year -= 1900;
            int64_t t = timegm(&tm);
            if (t > 0 && t <= first_past_horizon && std::stoi(offset) != last) changes.insert({t, std::stoi(offset)});
            if (t >= kova::tz::kTableHorizon && std::stoi(offset) != last) first_past_horizon = std::min(first_past_horizon, t);
            last = std::stoi(offset);
        }
        std::set<std::pair<int64_t, int>> table;
        for (unsigned i = 0; i < handed.count; ++i)
            if (handed.entry[i].utc > 0) table.insert({handed.entry[i].utc, handed.entry[i].offset});
        EXPECT_EQ(table, changes) << zone;
        setenv("TZ", (std::string(":") + zone).c_str(), 1);
        tzset();
        for (unsigned i = 0; i < handed.count; ++i) {
            struct tm at {}, before {};
            time_t t = handed.entry[i].utc > 0 ? handed.entry[i].utc : 0;
            time_t prior = t - 1;
            localtime_r(&t, &at);
            localtime_r(&prior, &before);
            EXPECT_EQ(at.tm_gmtoff, handed.entry[i].offset) << zone << " " << t;
            if (i > 0) {
                EXPECT_EQ(before.tm_gmtoff, handed.entry[i - 1].offset) << zone << " " << t;
            }
        }
        unsetenv("TZ");
        tzset();
        EXPECT_LE(handed.entry[0].utc, 0) << zone;
    }
}

TEST(TzKernelTable, FixedZonesLimitsAndBadInput)
{
    {
        KernelFixture f;
        setenv("TZ", "UTC", 1);
        ASSERT_EQ(f.sync("UTC", run_zdump("UTC")), 0);
        unsetenv("TZ");
        EXPECT_TRUE(handed.count == 0 && handed.fixed == 1 && handed.fixed_offset == 0);
        EXPECT_EQ(f.shell.commands(), (Strings{f.script + " gettimezone", "rm -rf " + f.root.path("/ZPR/conf/time_zone.conf")}));
    }
    {
        KernelFixture f;
        std::string many;
        for (int year = 1971; year < 2037; ++year)
            for (int i = 0; i < 10; ++i)
                many += "Z  Mon Jan " + std::to_string(i + 1) + " 00:00:00 " + std::to_string(year) +
                        " UT = Mon Jan 1 00:00:00 2000 Z isdst=0 gmtoff=" + std::to_string(i) + "\n";
        ASSERT_EQ(f.sync("Many", many), 0);
        EXPECT_EQ(handed.count, kova::tz::kTableEntries);
    }
    {
        KernelFixture f;
        EXPECT_EQ(f.sync("Bad", "Bad  Mon Jan 1 00:00:00 1980 UT = garbage\n"), -1);
        EXPECT_TRUE(f.log.contains("read_timezone_file: read_dst_line fail, (Bad  Mon Jan 1 00:00:00 1980 UT = garbage\n)."));
        EXPECT_EQ(f.sync("Asia/Tokyo\n", ""), -1);  // the script wrote a newline: no shell may see it
        EXPECT_TRUE(f.log.contains("Param error: timezone_name(Asia/Tokyo\n) is dangerous."));
        f.root.write("/ZPR/conf/time_zone.conf", "Asia/Tokyo");
        EXPECT_EQ(sync_timezone_to_kernel(), -1);
        EXPECT_EQ(f.shell.commands().back(),
                  "zdump -v Asia/Tokyo > " + f.root.path("/var/run/timezone/Asia_Tokyo") + " 2>/dev/kmsg");
        EXPECT_EQ(handed_calls, 0);
        kova::tz::set_table_ioctl(nullptr);
        EXPECT_EQ(f.sync("UTC", run_zdump("UTC")), -1);  // the real ioctl on a plain file
        // A plain file knows no such request (ENOTTY); qemu-user does not know the request at all (ENOSYS).
        EXPECT_TRUE(f.log.contains(std::getenv("UNDER_QEMU") != nullptr ? "sync_timezone_to_kernel: ioctl fail, -1, error:38."
                                                                         : "sync_timezone_to_kernel: ioctl fail, -1, error:25."));
    }
}

TEST(TzKernelTable, ZoneSettingsHandedThroughTheScript)
{
    KernelFixture f;
    f.shell.answer("timedatectl |", 0, "Asia/Shanghai\n");
    f.shell.answer(f.script + " querydstinfo;", 0, "03-10 02:00:0011-03 02:00:00\nretshell0\n");
    f.shell.answer(f.script + " querydstforregion", 0, "0\nretshell0\n");
    setenv("TZ", "CST-8", 1);
    ASSERT_EQ(kova_time_zone_name_set("Asia/Shanghai"), 0);
    EXPECT_EQ(time_echo_timeinfotoproc(), 0);
    unsetenv("TZ");
    tzset();
    std::string want = f.script + "         \"tokproc\" \"Asia/Shanghai\" \"0\" \"03-10 02:00:00\" \"11-03 02:00:00\" "
                                  "\"0\" \"8\" \"0\" \"+\" \"CST\"";
    EXPECT_EQ(m_ascCmd, want);
    EXPECT_EQ(f.shell.commands().back(), want);
}

}  // namespace

namespace {

TEST(TzLocal, HelpersOverTheCLibrary)
{
    Fixture f;
    f.shell.answer("timedatectl |", 0, "Asia/Shanghai\n");
    char offset[32] = "", name[64] = "", style[32] = "";
    setenv("TZ", "CST-8", 1);
    EXPECT_EQ(kova_time_getlocal_fromutc(0), 28800u);
    uint64_t local = 0, with_dst = 0;
    kova_time_getlocaltime(&local);
    EXPECT_EQ(kova_time_getdsttime(&with_dst), 0);
    EXPECT_TRUE(with_dst >= local && with_dst - local <= 60);  // no DST shift; the clock runs meanwhile
    EXPECT_EQ(kova_time_gettz(offset, name, style), 0);
    EXPECT_TRUE(std::string(offset) == "+08:00" && std::string(name) == "Asia/Shanghai" && std::string(style) == "CST");
    struct tm tm {};
    tm.tm_gmtoff = 100;
    EXPECT_EQ(kova_time_process_gmtoff(&tm), 0);
    EXPECT_EQ(tm.tm_gmtoff, 100);
    setenv("TZ", "UTC", 1);
    EXPECT_EQ(kova_time_gettz(offset, name, style), 0);
    EXPECT_TRUE(std::string(offset) == "+00:00" && std::string(name) == "UTC" && std::string(style) == "UTC");
    unsetenv("TZ");
    tzset();
    EXPECT_EQ(time_query_dst_for_localtime(nullptr, nullptr), -22);
    EXPECT_EQ(kova_time_getdsttime(nullptr), -1);
}

}  // namespace
