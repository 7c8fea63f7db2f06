// Setting the clocks, and handing the zone to the platform's kernel module: its settings through
// the time-zone script, its transition table (from `zdump -v`) through /proc/nexo/timezone.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_fileops.h"
#include "kova/kova_sched.h"
#include "kova/kova_str.h"
#include "kova/kova_timezone.h"
#include "mem/alloc.h"
#include "platform/bounded.h"
#include "platform/paths.h"
#include "time/tz_internal.h"

KOVA_LOG_SOURCE("time/kova_timezone")

extern "C" {
char m_ascCmd[512];
}

namespace {

using kova::platform::ProductPath;
using kova::tz::kShellBuffer;
using kova::tz::TransitionTable;

constexpr time_t kLatestSettable = 3124223999;  // 2068-12-31 23:59:59 UTC
constexpr int kReadBackRetries = 3;
constexpr std::uint32_t kReadBackPauseMs = 500;
constexpr int kZdumpLine = 128;
constexpr char kCacheDir[] = "/var/run/timezone";

int system_ioctl(int fd, unsigned long request, void *table)
{
    return ioctl(fd, request, table);
}
std::atomic<kova::tz::TableIoctl> table_ioctl{system_ioctl};

// The cache file of a zone's `zdump -v` output, made when missing. False when the name may
// not reach a shell (no file is made then).
bool zdump_timezone(const char *name, char (&path)[PATH_MAX])
{
    if (isDangerousCmd(name, "") != 0) {
        KOVA_LOG(kova::log::kError, "Param error: timezone_name(%s) is dangerous.", name);
        return false;
    }
    ProductPath dir(kCacheDir);
    int n = kova::sec::sprintf_s(path, sizeof path, "%s/%s", dir.c_str(), name);
    if (n < 0) {
        KOVA_LOG(kova::log::kError, "Path snprintf failed, return %d.", n);
        return false;
    }
    for (char *p = path + std::strlen(dir.c_str()) + 1; *p != '\0'; ++p)
        if (*p == '/') *p = '_';
    struct stat status {};
    if (stat(dir.c_str(), &status) != 0) mkdir(dir.c_str(), 0755);
    if (stat(path, &status) == 0) return true;
    char command[2 * PATH_MAX];
    n = kova::sec::sprintf_s(command, sizeof command, "zdump -v %s > %s 2>/dev/kmsg", name, path);
    if (n < 0) {
        KOVA_LOG(kova::log::kError, "Cmd snprintf failed, return %d.", n);
    } else if (int ret = kova_system_s(command, ">"); ret != 0) {
        KOVA_LOG(kova::log::kError, "zdump fail %d.", ret);
    }
    return true;
}

int get_offset_of_curtime(TransitionTable *table)
{
    table->fixed = 1;
    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        KOVA_LOG(kova::log::kError, "Get time failed.\n");
        return -1;
    }
    struct tm tm {};
    tzset();
    if (localtime_r(&now, &tm) == nullptr) {
        KOVA_LOG(kova::log::kError, "Gmtime is null.\n");
        return -1;
    }
    table->fixed_offset = tm.tm_gmtoff;
    return 0;
}

int hand_table_to_kernel(TransitionTable *table)
{
    int fd = kova_open(ProductPath("/proc/nexo/timezone").c_str(), O_RDWR, 0);
    if (fd < 0) {
        KOVA_LOG_AS("sync_timezone_to_kernel", kova::log::kError, "%s: TIRO_open fail, %d\n", "sync_timezone_to_kernel",
                    fd);
        return -1;
    }
    int ret = table_ioctl.load()(fd, kova::tz::kTableRequest, table);
    int error = errno;
    kova_close(fd);
    if (ret != 0) {
        KOVA_LOG_AS("sync_timezone_to_kernel", kova::log::kError, "%s: ioctl fail, %d, error:%d.",
                    "sync_timezone_to_kernel", ret, error);
        return -1;
    }
    return 0;
}

}  // namespace

void kova::tz::set_table_ioctl(TableIoctl ioctl_fn)
{
    table_ioctl.store(ioctl_fn != nullptr ? ioctl_fn : system_ioctl);
}

int kova::tz::month_name_to_index(const char *name)
{
    for (unsigned i = 0; i < 12; ++i)
        if (name != nullptr && std::strcmp(name, month_name(i)) == 0) return static_cast<int>(i);
    return -1;
}

int kova::tz::read_dst_line(const char *line, ZdumpLine *out)
{
    std::memset(out, 0, sizeof *out);
    char zone[kZdumpLine], utc_day[8], utc_mon[8], ut[8], local_day[8], local_mon[8];
    int count = kova::sec::sscanf_s(
        line, "%127s  %7s %7s %d %d:%d:%d %d %7s = %7s %7s %d %d:%d:%d %d %31s isdst=%d gmtoff=%d", zone, utc_day,
        utc_mon, &out->utc.tm_mday, &out->utc.tm_hour, &out->utc.tm_min, &out->utc.tm_sec, &out->utc.tm_year, ut,
        local_day, local_mon, &out->local.tm_mday, &out->local.tm_hour, &out->local.tm_min, &out->local.tm_sec,
        &out->local.tm_year, out->abbreviation, &out->isdst, &out->gmtoff);
    if (count != 19) {
        KOVA_LOG_AS("read_dst_line", kova::log::kError, "%s: sscanf_s fail, %d, %s.", "read_dst_line", count, line);
        return -1;
    }
    out->utc.tm_mon = month_name_to_index(utc_mon);
    out->local.tm_mon = month_name_to_index(local_mon);
    out->utc.tm_year -= 1900;
    out->local.tm_year -= 1900;
    time_t local = timegm(&out->local) + 1;
    gmtime_r(&local, &out->local);
    return 0;
}

int kova::tz::read_timezone_file(const char *path, TransitionTable *table)
{
    int fd = kova_open(path, O_RDONLY, 0);
    if (fd < 0) return -1;
    int result = 0;
    char line[kZdumpLine];
    while (table->count < kTableEntries && kova_readline(fd, line, sizeof line) != nullptr) {
        if (std::strstr(line, "= NULL") != nullptr) continue;
        ZdumpLine parsed;
        if (read_dst_line(line, &parsed) != 0) {
            KOVA_LOG_AS("read_timezone_file", kova::log::kError, "%s: read_dst_line fail, (%s).", "read_timezone_file",
                        line);
            result = -1;
            break;
        }
        if (table->count > 0 && parsed.gmtoff == table->entry[table->count - 1].offset) continue;
        std::int64_t t = timegm(&parsed.utc);
        if (table->count > 0 && t <= 0) {
            table->entry[table->count - 1] = {t, parsed.gmtoff, 0};
            continue;
        }
        table->entry[table->count++] = {t, parsed.gmtoff, 0};
        if (t >= kTableHorizon) break;
    }
    kova_close(fd);
    return result;
}

extern "C" {

int time_echo_timeinfotoproc(void)
{
    char offset[32] = "", name[64] = "", style[32] = "";
    kova_time_gettz(offset, name, style);
    uint32_t flag = 0, shift = 0, second = 0;
    kova_time_query_dstforregion(m_ascTimeZoneName, &flag);
    char begin[64] = "", end[64] = "";
    kova_time_querydstconf(begin, end, &shift, &second);
    int n = kova::sec::sprintf_s(m_ascCmd, sizeof m_ascCmd,
                                 "%s         \"%s\" \"%s\" \"%u\" \"%s\" \"%s\" \"%u\" \"%d\" \"%d\" \"%c\" \"%s\"",
                                 ProductPath(kova::tz::kScript).c_str(), "tokproc", m_ascTimeZoneName, flag, begin,
                                 end, shift, m_siTimeZoneUTCHours, m_siTimeZoneMinutes, m_siTimeZoneOffsetDir,
                                 m_ascTimeZoneStyle);
    if (n < 0) {
        KOVA_LOG(kova::log::kError, "sprintf_s secure function failed, destMax<%d>.", static_cast<int>(sizeof m_ascCmd));
        return -1;
    }
    if (int ret = kova_system_s(m_ascCmd, ""); ret != 0) {
        KOVA_LOG(kova::log::kError, "Call system(acCmd) err %s(%d).", m_ascCmd, ret);
        return -1;
    }
    return 0;
}

int sync_timezone_to_kernel(void)
{
    auto *table = static_cast<TransitionTable *>(KOVA_ALLOC(sizeof(TransitionTable)));
    if (table == nullptr) {
        KOVA_LOG(kova::log::kError, "allocing memory failed.");
        return -1;
    }
    std::memset(table, 0, sizeof *table);
    char name[64] = "";
    char path[PATH_MAX] = "";
    int result = -1;
    if (kova_zonename_get_shell(name) == 0) {
        bool cached = zdump_timezone(name, path);
        int read = cached ? kova::tz::read_timezone_file(path, table) : -1;
        if (read == 0 && table->count == 0) read = get_offset_of_curtime(table);
        if (read != 0) {
            KOVA_LOG(kova::log::kError, "%s: read_timezone_file fail, %d.", "sync_timezone_to_kernel", read);
        } else {
            result = hand_table_to_kernel(table);
        }
    }
    KOVA_FREE(table);
    return result;
}

int kova_time_settime(const time_t *utc)
{
    struct tm tm {};
    if (utc == nullptr || *utc < 1 || *utc > kLatestSettable) {
        KOVA_LOG(kova::log::kError, "Input time param is error.");
        return -1;
    }
    if (gmtime_r(utc, &tm) == nullptr) {
        KOVA_LOG(kova::log::kError, "Convert to GMT time failed.");
        return -1;
    }
    int year = tm.tm_year > 99 ? tm.tm_year - 100 : tm.tm_year;
    char command[kShellBuffer];
    kova::sec::sprintf_s(command, sizeof command, "%s%02d%s%02d%s%02d %02d%s%02d%s%02d -0%s",
                         "hwclock --set --utc --date=\"", tm.tm_mon + 1, "/", tm.tm_mday, "/", year, tm.tm_hour, ":",
                         tm.tm_min, ":", tm.tm_sec, "\"");
    if (int ret = kova_system_s(command, ""); ret != 0) {
        KOVA_LOG(kova::log::kError, "Set RTC failed, return value is %d.", ret);
        return -1;
    }
    int ret = kova_system_s("hwclock  --utc --hctosys", "");
    for (int retry = 0; ret != 0 && retry < kReadBackRetries; ++retry) {
        kova_msleep(kReadBackPauseMs);
        ret = kova_system_s("hwclock  --utc --hctosys", "");
    }
    if (ret != 0) {
        KOVA_LOG(kova::log::kError, "Sync time from RTC to system failed, return value is %d.", ret);
        return -1;
    }
    time_echo_timeinfotoproc();
    sync_timezone_to_kernel();
    return 0;
}

}  // extern "C"
