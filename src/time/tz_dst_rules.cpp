// DST rules from the platform's time-zone script, and the system's view of the current moment.
#include <sys/time.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_timezone.h"
#include "platform/bounded.h"
#include "platform/paths.h"
#include "time/tz_internal.h"

KOVA_LOG_SOURCE("time/kova_time")

namespace {

constexpr std::size_t kRuleText = 14;     // "MM-DD hh:mm:ss"
constexpr std::size_t kYearRuleText = 19; // as the current-year query writes it
constexpr std::size_t kYearRuleLine = 2 * kYearRuleText;
constexpr std::size_t kTextBuffer = 64;
using kova::tz::kShellBuffer;

// Runs the script with a sub-command and arguments into `out` (kShellBuffer bytes): its exit
// status, or -1 when the command could not be built or run.
int run_script(char *out, const char *format, ...) __attribute__((format(printf, 2, 3)));
int run_script(char *out, const char *format, ...)
{
    char arguments[kShellBuffer];
    va_list args;
    va_start(args, format);
    int n = kova::sec::vsnprintf_s(arguments, sizeof arguments, kova::sec::kMaxSize, format, args);
    va_end(args);
    char command[kShellBuffer];
    if (n < 0 || kova::sec::sprintf_s(command, sizeof command, "%s %s",
                                      kova::platform::ProductPath(kova::tz::kScript).c_str(), arguments) < 0)
        return -1;
    return time_popen_shell(command, out, kShellBuffer);
}

// A zone name the script may be given: true, or false after logging under the caller's name.
bool region_is_valid(const char *zone, const char *function)
{
    if (kova_filter_special_character(zone) == 0) return true;
    KOVA_LOG_AS(function, kova::log::kError, "Input param timeZoneName is invalid.");
    return false;
}

void copy_rule_text(char *dest, const char *src)
{
    // Callers' buffers are 64 bytes: the copy is bounded by that, not by the script's buffer.
    if (int ret = kova::sec::strncpy_s(dest, kTextBuffer, src, kRuleText); ret != 0)
        KOVA_LOG_AS("kova_time_querydstconf", kova::log::kError,
                    "strncpy_s secure function failed, ret<%d>, destMax<%lu>, count<%lu>.", ret,
                    static_cast<unsigned long>(kTextBuffer), static_cast<unsigned long>(kRuleText));
}

}  // namespace

extern "C" {

int kova_time_querydstconf(char *begin, char *end, uint32_t *offset_mins, uint32_t *second)
{
    if (begin == nullptr || end == nullptr || offset_mins == nullptr || second == nullptr) {
        KOVA_LOG(kova::log::kError, "Input param is NULL.");
        return -1;
    }
    char out[kShellBuffer] = "";
    if (int ret = run_script(out, "querydstinfo"); ret != 0) {
        KOVA_LOG(kova::log::kError, "Get DST config info failed, return value is %d.", ret);
        return -1;
    }
    time_t now = time(nullptr);
    struct tm tm {};
    tzset();
    if (localtime_r(&now, &tm) == nullptr) return -1;
    copy_rule_text(begin, out);
    copy_rule_text(end, out + kRuleText);
    *offset_mins = static_cast<uint32_t>(std::labs(tm.tm_gmtoff + timezone) / 60);
    *second = 0;
    return 0;
}

int kova_time_query_dstforregion(const char *zone, uint32_t *flag)
{
    if (flag == nullptr) {
        KOVA_LOG(kova::log::kError, "The input DST flag pointor is NULL.");
        return -22;
    }
    if (zone == nullptr) {
        KOVA_LOG(kova::log::kError, "The input timezone name pointor is NULL.");
        return -22;
    }
    if (!region_is_valid(zone, __func__)) return -1;
    char out[kShellBuffer] = "";
    if (int ret = run_script(out, "querydstforregion \"%s\"", zone); ret != 0) {
        KOVA_LOG(kova::log::kError, "Get DST info failed, return value is %d.", ret);
        return -1;
    }
    *flag = static_cast<uint32_t>(std::strtol(out, nullptr, 10));
    return 0;
}

int kova_time_query_dstconfinfoforregion(const char *zone, char *begin, char *end, uint32_t *offset_mins,
                                         uint32_t *second)
{
    if (zone == nullptr || begin == nullptr || end == nullptr || offset_mins == nullptr || second == nullptr) {
        KOVA_LOG(kova::log::kError, "Input param is NULL.");
        return -1;
    }
    if (!region_is_valid(zone, __func__)) return -1;
    char out[kShellBuffer] = "";
    if (int ret = run_script(out, "querydstinfoforregion \"%s\"", zone); ret != 0) {
        KOVA_LOG(kova::log::kError, "Get DST config info failed, return value is %d.", ret);
        return -1;
    }
    kova::sec::memcpy_s(begin, kRuleText, out, kRuleText);
    kova::sec::memcpy_s(end, kRuleText, out + kRuleText, kRuleText);
    *offset_mins = static_cast<uint32_t>(std::strtol(out + 2 * kRuleText, nullptr, 10));
    *second = 0;
    return 0;
}

int kova_strtok_for_current_year(char *output, kova_dst_year_rules_s *rules)
{
    if (output == nullptr || rules == nullptr) return -1;
    char *context = nullptr;
    for (char *piece = kova::sec::strtok_s(output, "\n", &context);
         piece != nullptr && rules->count < KOVA_DST_YEAR_RULES; piece = kova::sec::strtok_s(nullptr, "\n", &context)) {
        if (std::strlen(piece) < kYearRuleLine) {
            KOVA_LOG(kova::log::kError, "Get DST config info failed, result is %s.", piece);
            return 0;
        }
        auto &rule = rules->rule[rules->count];
        if (kova::sec::strncpy_s(rule.begin, sizeof rule.begin, piece, kYearRuleText) != 0 ||
            kova::sec::strncpy_s(rule.end, sizeof rule.end, piece + kYearRuleText, kYearRuleText) != 0)
            return -1;
        rule.offset_mins = static_cast<int32_t>(std::strtol(piece + kYearRuleLine, nullptr, 10));
        ++rules->count;
    }
    return 0;
}

int kova_time_query_dstconfforregion(const char *zone, kova_dst_year_rules_s *rules)
{
    if (zone == nullptr || rules == nullptr) {
        KOVA_LOG(kova::log::kError, "Input param is NULL.");
        return -1;
    }
    if (!region_is_valid(zone, __func__)) return -1;
    std::memset(rules, 0, sizeof *rules);
    time_t now = time(nullptr);
    struct tm tm {};
    tzset();
    localtime_r(&now, &tm);
    char out[kShellBuffer] = "";
    if (run_script(out, "querydstinfoforcurrentyear \"%s\" %d", zone, tm.tm_year + 1900) != 0) {
        KOVA_LOG(kova::log::kError, "Get DST config info failed.");
        return -1;
    }
    return kova_strtok_for_current_year(out, rules);
}

int kova_time_process_gmtoff(struct tm *tm)
{
    if (tm == nullptr) return -1;
    uint32_t flag = 0;
    if (time_query_dst_for_localtime(nullptr, &flag) != 0) {
        KOVA_LOG(kova::log::kError, "Can not get dst flag!");
        return -1;
    }
    if (flag == 0) return 0;
    char begin[kShellBuffer] = "", end[kShellBuffer] = "";
    uint32_t shift = 0, second = 0;
    if (kova_time_querydstconf(begin, end, &shift, &second) != 0) {
        KOVA_LOG(kova::log::kError, "Can not get dst info for dstOffset!");
        return -1;
    }
    tm->tm_gmtoff -= static_cast<long>(shift) * 60;
    return 0;
}

int time_get_localtimeInfo(kova_time_info_s *info)
{
    if (info == nullptr) {
        KOVA_LOG(kova::log::kError, "The usr input para pstGetTimeInfo is NULL.");
        return -22;
    }
    if (info->datetime != nullptr) {
        time_t now = time(nullptr);
        struct tm tm {};
        tzset();
        if (localtime_r(&now, &tm) == nullptr) {
            KOVA_LOG(kova::log::kError, "The localtime return NULL.");
        } else {
            char text[20] = "";
            strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
            if (int ret = kova::sec::strncpy_s(info->datetime, kTextBuffer, text, sizeof text); ret != 0)
                KOVA_LOG(kova::log::kError, "strncpy_s secure function failed, ret<%d>, destMax<%lu>, count<%lu>.",
                         ret, static_cast<unsigned long>(kTextBuffer), static_cast<unsigned long>(sizeof text));
        }
    }
    char zone[kTextBuffer] = "";
    if (info->zone_name != nullptr || info->zone_style != nullptr || info->utc_offset != nullptr)
        kova_time_gettz(info->utc_offset, info->zone_name, info->zone_style);
    if (info->zone_name != nullptr)
        kova::sec::strncpy_s(zone, sizeof zone, info->zone_name, 32);
    else
        kova_time_gettz(nullptr, zone, nullptr);
    struct timeval now {};
    gettimeofday(&now, nullptr);
    info->seconds = static_cast<uint64_t>(now.tv_sec);
    uint32_t flag = 0;
    kova_time_query_dstforregion(zone, &flag);
    if (kova_dst_query_s *dst = info->dst; dst != nullptr) {
        dst->flag = flag & 1u;
        uint32_t shift = 0, second = 0;
        if (dst->begin != nullptr && dst->end != nullptr) kova_time_querydstconf(dst->begin, dst->end, &shift, &second);
        dst->offset_mins = shift;
    }
    return 0;
}

}  // extern "C"
