// Thin helpers over the C library's local time: the process's TZ, read through tzset and
// localtime_r.
#include <time.h>

#include <cstdlib>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_timezone.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("time/kova_time")

extern "C" {
char m_ascTimeZoneStyle[8] = "UTC";
char m_siTimeZoneOffsetDir = 'c';
int32_t m_siTimeZoneUTCHours = 0;
int32_t m_siTimeZoneMinutes = 0;
}

namespace {

constexpr std::size_t kOffsetBuffer = 32;
constexpr std::size_t kNameBuffer = 64;

bool local_now(struct tm &tm)
{
    time_t now = time(nullptr);
    tzset();
    return now != static_cast<time_t>(-1) && localtime_r(&now, &tm) != nullptr;
}

}  // namespace

extern "C" {

uint64_t kova_time_gettime(uint64_t *out)
{
    time_t now = time(nullptr);
    uint64_t seconds = now < 0 ? 0 : static_cast<uint64_t>(now);
    if (out != nullptr) *out = seconds;
    return seconds;
}

uint64_t kova_time_getlocal_fromutc(uint64_t seconds)
{
    auto t = static_cast<time_t>(seconds);
    struct tm tm {};
    tzset();
    if (localtime_r(&t, &tm) == nullptr) {
        KOVA_LOG(kova::log::kError, "Gmtime is null.");
        return seconds;
    }
    return seconds + static_cast<uint64_t>(tm.tm_gmtoff);
}

uint64_t kova_time_getlocaltime(uint64_t *out)
{
    uint64_t local = kova_time_getlocal_fromutc(kova_time_gettime(nullptr));
    if (out != nullptr) *out = local;
    return local;
}

int kova_time_getdsttime(uint64_t *out)
{
    struct tm tm {};
    if (out == nullptr || !local_now(tm)) return -1;
    *out = kova_time_getlocaltime(nullptr) + static_cast<uint64_t>(std::labs(tm.tm_gmtoff + timezone));
    return 0;
}

int time_query_dst_for_localtime(const time_t *when, uint32_t *flag)
{
    if (flag == nullptr) {
        KOVA_LOG(kova::log::kError, "The input DST flag pointor is NULL.");
        return -22;
    }
    time_t t = when != nullptr ? *when : time(nullptr);
    if (t == static_cast<time_t>(-1) && when == nullptr) {
        KOVA_LOG(kova::log::kError, "Get system time failed.");
        return -1;
    }
    struct tm tm {};
    tzset();
    if (localtime_r(&t, &tm) == nullptr) {
        KOVA_LOG(kova::log::kError, "Get localtime failed.");
        return -1;
    }
    *flag = static_cast<uint32_t>(tm.tm_isdst);
    return 0;
}

void kova_time_setzoneutc(char *buf, const struct tm *tm)
{
    if (buf == nullptr || tm == nullptr) return;
    long offset = std::labs(tm->tm_gmtoff);
    m_siTimeZoneUTCHours = static_cast<int32_t>(offset / 3600);
    m_siTimeZoneMinutes = static_cast<int32_t>(offset % 3600 / 60);
    m_siTimeZoneOffsetDir = tm->tm_gmtoff > 0 ? '+' : '-';
    kova::sec::sprintf_s(buf, kOffsetBuffer, "%c%02d:%02d", m_siTimeZoneOffsetDir, m_siTimeZoneUTCHours,
                         m_siTimeZoneMinutes);
}

void kova_time_setforutc(char *offset, char *name, char *style)
{
    if (offset != nullptr) kova::sec::strcpy_s(offset, kOffsetBuffer, "+00:00");
    if (name != nullptr) kova::sec::strcpy_s(name, kNameBuffer, "UTC");
    if (style != nullptr) kova::sec::strcpy_s(style, kOffsetBuffer, "UTC");
}

int kova_time_gettz(char *offset, char *name, char *style)
{
    struct tm tm {};
    if (!local_now(tm)) {
        KOVA_LOG(kova::log::kError, "Get local time failed.");
        return -1;
    }
    if (tm.tm_zone != nullptr && std::strcmp(tm.tm_zone, "UTC") == 0) {
        kova_time_setforutc(offset, name, style);
        return 0;
    }
    if (tm.tm_isdst == 1) tm.tm_gmtoff = -timezone;  // the standard offset
    kova_time_setzoneutc(offset, &tm);
    char scratch[kNameBuffer];
    if (kova_time_getzonename(name != nullptr ? name : scratch) != 0) return -1;
    if (style == nullptr) return 0;
    const char *abbreviation = tm.tm_zone != nullptr ? tm.tm_zone : "";
    if (kova::sec::sprintf_s(style, kOffsetBuffer, "%s", abbreviation) < 0)
        KOVA_LOG(kova::log::kError, "sprintf_s secure function failed, destMax<%lu>.",
                 static_cast<unsigned long>(kOffsetBuffer));
    if (kova::sec::sprintf_s(m_ascTimeZoneStyle, sizeof m_ascTimeZoneStyle, "%s", abbreviation) < 0)
        KOVA_LOG(kova::log::kError, "sprintf_s secure function failed, destMax<%lu>.",
                 static_cast<unsigned long>(sizeof m_ascTimeZoneStyle));
    return 0;
}

int kova_time_getzonename(char *buf)
{
    int ret = kova_zonename_get(buf);
    if (ret != 0) {
        KOVA_LOG(kova::log::kError, "Get timezone failed, return value is %d.", ret);
        return -1;
    }
    return 0;
}

int kova_time_settz(const char *name)
{
    int ret = kova_timezone_set(name);
    if (ret != 0) KOVA_LOG(kova::log::kError, "Set timezone failed, return value is %d.", ret);
    return ret;
}

}  // extern "C"
