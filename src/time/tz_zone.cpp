// The machine's zone: finding its name and changing it.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_fileops.h"
#include "kova/kova_str.h"
#include "kova/kova_timezone.h"
#include "platform/bounded.h"
#include "platform/paths.h"
#include "time/tz_internal.h"

KOVA_LOG_SOURCE("time/kova_timezone")

namespace {

constexpr std::size_t kNameBuffer = 64;
constexpr char kZoneInfo[] = "/usr/share/zoneinfo/";
constexpr char kLocaltime[] = "/etc/localtime";
using kova::platform::ProductPath;
using kova::tz::kShellBuffer;

// Copies at most size - 1 characters and a NUL; false when nothing fits.
bool copy_cut(char *dest, std::uint32_t size, const char *src, std::size_t length)
{
    if (size == 0) return false;
    if (length >= size) length = size - 1;
    std::memcpy(dest, src, length);
    dest[length] = '\0';
    return true;
}

// Runs the script with a sub-command and a quoted zone name through the plain runner.
int run_script_for_zone(const char *subcommand, const char *name, const char *format_failure,
                        const char *run_failure)
{
    char command[kShellBuffer];
    int n = kova::sec::sprintf_s(command, sizeof command, "%s %s \"%s\"", ProductPath(kova::tz::kScript).c_str(),
                                 subcommand, name);
    if (n < 0) {
        KOVA_LOG_AS("kova_timezone_set_shell", kova::log::kError, format_failure, n);
        return -1;
    }
    if (int ret = kova_system_s(command, ""); ret != 0) {
        KOVA_LOG_AS("kova_timezone_set_shell", kova::log::kError, run_failure, ret);
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" {

int kova_zonename_get_by_timedatectl(char *buf, uint32_t size)
{
    if (buf == nullptr || size == 0) return -1;
    FILE *stream = kova_popen_s("timedatectl | grep \"Time zone\" | awk '{print $3}'", "r", "$|");
    if (stream == nullptr) {
        KOVA_LOG(kova::log::kError, "Timedatectl may not be installed on this env.");
        return -1;
    }
    std::size_t n = std::fread(buf, 1, size, stream);
    kova_pclose(stream);
    if (n == 0) {
        KOVA_LOG(kova::log::kError, "Result of Timedatectl is null.");
        return -1;
    }
    buf[n == size ? size - 1 : n - 1] = '\0';
    if (buf[0] == '\0') {
        KOVA_LOG(kova::log::kError, "Timedatectl return null.");
        return -1;
    }
    return 0;
}

int kova_zonename_get_by_soft_link(char *buf, uint32_t size)
{
    ProductPath localtime(kLocaltime);
    struct stat status {};
    if (buf == nullptr || lstat(localtime.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return -1;
    char target[256];
    ssize_t n = readlink(localtime.c_str(), target, sizeof target - 1);
    if (n <= 0) return -1;
    target[n] = '\0';
    const char *found = std::strstr(target, kZoneInfo);
    if (found == nullptr) {
        KOVA_LOG(kova::log::kError, "filename is %s.", target);
        return -1;
    }
    const char *zone = found + sizeof kZoneInfo - 1;
    return copy_cut(buf, size, zone, std::strlen(zone)) ? 0 : -1;
}

int kova_zonename_get_by_sysconfig(char *buf, uint32_t size)
{
    if (buf == nullptr) return -1;
    FILE *file = std::fopen(ProductPath("/etc/sysconfig/clock").c_str(), "re");
    if (file == nullptr) return -1;
    int result = -1;
    char line[kShellBuffer];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        const char *first = std::strchr(line, '"');
        const char *last = std::strrchr(line, '"');
        if (std::strstr(line, "DEFAULT_TIMEZONE") == nullptr || first == nullptr || first == last) continue;
        if (!copy_cut(buf, size, first + 1, static_cast<std::size_t>(last - first - 1)))
            KOVA_LOG(kova::log::kError, "Zonename_get_by_sysconfig failed,  return %d.", -1);
        result = 0;
        break;
    }
    std::fclose(file);
    return result;
}

int kova_zonename_get(char *buf)
{
    if (buf == nullptr) return -1;
    char name[kNameBuffer] = "";
    if (kova_zonename_get_by_timedatectl(name, sizeof name) != 0 &&
        kova_zonename_get_by_soft_link(name, sizeof name) != 0 && kova_zonename_get_by_sysconfig(name, sizeof name) != 0)
        return -1;
    if (int ret = kova::sec::strcpy_s(buf, kNameBuffer, name); ret != 0)
        KOVA_LOG(kova::log::kError, "strcpy_s secure function failed, ret<%d>, destMax<%lu>.", ret,
                 static_cast<unsigned long>(kNameBuffer));
    return 0;
}

int kova_zonename_get_shell(char *buf)
{
    if (buf == nullptr) return 0;
    char command[kShellBuffer];
    kova::sec::sprintf_s(command, sizeof command, "%s %s", ProductPath(kova::tz::kScript).c_str(), "gettimezone");
    if (int ret = kova_system_s(command, ""); ret != 0) {
        KOVA_LOG(kova::log::kError, "Get timezone failed, return value is %d.", ret);
        return -1;
    }
    ProductPath conf("/ZPR/conf/time_zone.conf");
    FILE *file = std::fopen(conf.c_str(), "re");
    if (file == nullptr) {
        KOVA_LOG(kova::log::kError, "Open timezone config file (%s) failed.", conf.c_str());
        return -1;
    }
    char line[kShellBuffer];
    bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (!read) {
        KOVA_LOG(kova::log::kError, "Get timezone name from config file failed.");
        return -1;
    }
    kova_cmd_rm(conf.c_str());
    if (int ret = kova::sec::sprintf_s(buf, kNameBuffer, "%s", line); ret < 0) {
        KOVA_LOG(kova::log::kError, "PscTimeZoneName sprintf_s failed,return %d.", ret);
        return -1;
    }
    return kova_time_zone_name_set(line);
}

int kova_timezone_set(const char *name)
{
    if (name == nullptr) {
        KOVA_LOG(kova::log::kError, "Input timezone name pointor is NULL.");
        return -22;
    }
    if (isDangerousCmd(name, "") != 0) {
        KOVA_LOG(kova::log::kError, "Param error: pscTimeZoneName(%s) is dangerous.", name);
        return -22;
    }
    char command[2 * PATH_MAX + 64];
    kova::sec::sprintf_s(command, sizeof command, "timedatectl set-timezone %s", name);
    if (kova_system_s(command, "") == 0) {
        KOVA_LOG(kova::log::kInfo, "timedatectl cmd success.");
        tzset();
        return 0;
    }
    ProductPath localtime(kLocaltime);
    struct stat status {};
    if (lstat(localtime.c_str(), &status) != 0) {
        KOVA_LOG(kova::log::kError, "Cannot find %s file.", localtime.c_str());
        return -2;
    }
    char zone_file[kNameBuffer];
    if (int n = kova::sec::sprintf_s(zone_file, sizeof zone_file, "%s%s", kZoneInfo, name); n < 0) {
        KOVA_LOG(kova::log::kError, "Zone_info_file snprintf failed, return %d.", n);
        return -1;
    }
    ProductPath zone(zone_file);
    if (stat(zone.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        KOVA_LOG(kova::log::kError, "Cannot find %s timezone file.", zone.c_str());
        return -2;
    }
    ProductPath staged("/etc/localtime_tmp");
    kova::sec::sprintf_s(command, sizeof command, "ln -s %s %s\nmv %s %s", zone.c_str(), staged.c_str(),
                         staged.c_str(), localtime.c_str());
    if (int ret = kova_system_s(command, "\n"); ret != 0) {
        KOVA_LOG(kova::log::kError, "Set timezone failed, return value is %d.", ret);
        return -1;
    }
    tzset();
    return 0;
}

int kova_timezone_set_shell(const char *name)
{
    if (name == nullptr) {
        KOVA_LOG(kova::log::kError, "Input timezone name pointor is NULL.");
        return -22;
    }
    if (run_script_for_zone("settimezone", name, "Settimezone cmd snprintf_s failed, return %d.",
                            "Set timezone failed, return value is %d.") != 0)
        return -1;
    tzset();
    return run_script_for_zone("synctimezone", name, "Synctimezone cmd snprintf_s failed, return %d.",
                               "synctimezone failed, return value is %d.");
}

}  // extern "C"
