// The time-zone and DST settings, their key=value setters, and local time from them.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_timezone.h"
#include "platform/bounded.h"
#include "time/tz_internal.h"

KOVA_LOG_SOURCE("time/kova_time")

extern "C" {
kova_tz_info_s m_stTZInfo = {0, 0, '+', " ", " "};
kova_dst_info_s g_kovaDstInfo = {"0", "0", '\0', 0};
char m_ascTZName[32];
char m_ascStyle[8];
char m_ascDstBeginTime[24];
char m_ascDstEndTime[24];
char m_ascTimeZoneName[256] = "UTC";
}

namespace {

constexpr std::size_t kTextBuffer = 64;
constexpr std::size_t kDateTimeBuffer = 20;
constexpr std::size_t kOffsetBuffer = 8;
std::atomic<bool> length_message_logged{false};

// The value after `key`, or null when the text does not begin with it.
const char *value_of(const char *text, const char *key)
{
    if (text == nullptr) return nullptr;
    std::size_t length = std::strlen(key);
    return std::strncmp(text, key, length) == 0 ? text + length : nullptr;
}

template <typename T>
int scan_setting(const char *text, const char *key, const char *format, T *field)
{
    const char *value = value_of(text, key);
    return value != nullptr && kova::sec::sscanf_s(value, format, field) >= 1 ? 0 : -1;
}

int copy_setting(const char *text, const char *key, char *field, std::size_t size)
{
    const char *value = value_of(text, key);
    if (value == nullptr) return -1;
    kova::sec::strncpy_s(field, size, value, size - 1);
    return 0;
}

void copy_logged(char *dest, std::size_t size, const char *src, const char *step)
{
    int ret = kova::sec::strncpy_s(dest, size, src, size - 1);
    if (ret != 0) KOVA_LOG_AS(step, kova::log::kError, "strncpy_s failed, ret(%d) errno(%d).", ret, errno);
}

char *put_digits(char *p, std::uint32_t value, int width)
{
    for (int i = width - 1; i >= 0; --i, value /= 10) p[i] = static_cast<char>('0' + value % 10);
    return p + width;
}

// "%04d-%02u-%02u %02u:%02u:%02u" of the local seconds into a 20-byte buffer; the text stays
// empty (logged) when it does not fit. Digits are placed by hand: this runs on every conversion.
void format_datetime(std::uint64_t seconds, char (&text)[kDateTimeBuffer])
{
    kova_datetime_s dt{};
    time_sec_to_datetime(&dt, seconds);
    auto year = static_cast<int>(dt.year);
    if (year >= 0 && year <= 9999) {
        char *p = put_digits(text, static_cast<std::uint32_t>(year), 4);
        *p++ = '-';
        p = put_digits(p, dt.mon, 2);
        *p++ = '-';
        p = put_digits(p, dt.day, 2);
        *p++ = ' ';
        p = put_digits(p, dt.hour, 2);
        *p++ = ':';
        p = put_digits(p, dt.min, 2);
        *p++ = ':';
        p = put_digits(p, dt.sec, 2);
        *p = '\0';
        return;
    }
    if (kova::sec::sprintf_s(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u", year, dt.mon, dt.day, dt.hour,
                             dt.min, dt.sec) < 0)
        KOVA_LOG_AS("time_get_localdatetime", kova::log::kError, "sprintf_s secure function failed, destMax<%lu>.",
                    static_cast<unsigned long>(sizeof text));
}

// A ten-character MMDDhhmmss key picked from a text; as the string-to-number conversion reads
// it (base 16 after 0x, else base 10, up to the first character it cannot take).
std::uint64_t key_of(const char *text, const int (&positions)[10])
{
    char key[11];
    std::uint64_t value = 0;
    bool digits = true;
    for (int i = 0; i < 10; ++i) {
        key[i] = text[positions[i]];
        digits = digits && key[i] >= '0' && key[i] <= '9';
        value = value * 10 + static_cast<std::uint64_t>(key[i] - '0');
    }
    if (digits) return value;
    key[10] = '\0';
    bool hex = key[0] == '0' && (key[1] == 'x' || key[1] == 'X');
    return std::strtoull(key, nullptr, hex ? 16 : 10);
}

constexpr int kDateTimeKey[10] = {5, 6, 8, 9, 11, 12, 14, 15, 17, 18};
constexpr int kRuleKey[10] = {0, 1, 3, 4, 6, 7, 9, 10, 12, 13};
constexpr std::uint64_t kOneYearOfMonths = 1200000000;  // twelve months in a MMDDhhmmss key

// A time-info record with all its texts and its DST record.
struct InfoBuffers {
    char datetime[kTextBuffer] = "", name[kTextBuffer] = "", style[kTextBuffer] = "", offset[kTextBuffer] = "";
    char begin[kTextBuffer] = "", end[kTextBuffer] = "";
    kova_dst_query_s dst{0, 0, begin, end};
    kova_time_info_s info{datetime, name, style, offset, 0, &dst};
};

std::size_t length_of(const char *text)
{
    return text == nullptr ? 0 : std::strlen(text);
}

}  // namespace

void kova::tz::reset_dst_length_message_for_test()
{
    length_message_logged.store(false);
}

extern "C" {

int kova_time_settzname(const char *text)
{
    return scan_setting(text, "TimeZoneName=", "%31s", m_stTZInfo.zone_name);
}

int kova_time_settzstyle(const char *text)
{
    return scan_setting(text, "TimeZoneSty=", "%7s", m_stTZInfo.zone_style);
}

int kova_time_setutcoffsetH(const char *text)
{
    return scan_setting(text, "UTCOffHours=", "%d", &m_stTZInfo.utc_off_hours);
}

int kova_time_setutcoffsetM(const char *text)
{
    return scan_setting(text, "UTCOffMins=", "%d", &m_stTZInfo.utc_off_mins);
}

int kova_time_setutcoffsetD(const char *text)
{
    return scan_setting(text, "UTCOffDir=", "%1c", &m_stTZInfo.utc_off_dir);
}

int kova_time_setdstflag(const char *text)
{
    return scan_setting(text, "DstFlag=", "%1c", &g_kovaDstInfo.flag);
}

int kova_time_setdstoffsetM(const char *text)
{
    return scan_setting(text, "DstMinOffSet=", "%u", &g_kovaDstInfo.offset_mins);
}

int kova_time_setdstbegintime(const char *text)
{
    return copy_setting(text, "DstBeginTime=", g_kovaDstInfo.begin_time, sizeof g_kovaDstInfo.begin_time);
}

int kova_time_setdstendtime(const char *text)
{
    return copy_setting(text, "DstEndTime=", g_kovaDstInfo.end_time, sizeof g_kovaDstInfo.end_time);
}

int kova_time_zone_name_set(const char *name)
{
    // Checked before writing: a failed format would leave the name empty.
    if (name == nullptr || std::strlen(name) >= sizeof m_ascTimeZoneName) {
        KOVA_LOG(kova::log::kError, "sprintf_s secure function failed, destMax<%lu>.",
                 static_cast<unsigned long>(sizeof m_ascTimeZoneName));
        return -1;
    }
    kova::sec::sprintf_s(m_ascTimeZoneName, sizeof m_ascTimeZoneName, "%s", name);
    return 0;
}

int time_get_timeinfo_fromutc(kova_time_info_s *info, uint64_t utc)
{
    copy_logged(m_ascTZName, sizeof m_ascTZName, m_stTZInfo.zone_name, "time_gettzname");
    copy_logged(m_ascStyle, sizeof m_ascStyle, m_stTZInfo.zone_style, "time_gettzstyle");
    copy_logged(m_ascDstBeginTime, sizeof m_ascDstBeginTime, g_kovaDstInfo.begin_time, "time_getdstbegintime");
    copy_logged(m_ascDstEndTime, sizeof m_ascDstEndTime, g_kovaDstInfo.end_time, "time_getdstendtime");

    auto hours = static_cast<std::uint32_t>(m_stTZInfo.utc_off_hours);
    auto minutes = static_cast<std::uint32_t>(m_stTZInfo.utc_off_mins);
    char dir = m_stTZInfo.utc_off_dir;
    std::uint64_t offset = static_cast<std::uint64_t>(static_cast<std::int64_t>(m_stTZInfo.utc_off_hours) * 3600 +
                                                      static_cast<std::int64_t>(m_stTZInfo.utc_off_mins) * 60);
    std::uint64_t local = dir == '+' ? utc + offset : (offset >= utc ? utc : utc - offset);

    char datetime[kDateTimeBuffer] = "";
    format_datetime(local, datetime);
    char offset_text[kOffsetBuffer] = "";
    if (hours < 100 && minutes < 100) {
        offset_text[0] = dir;
        put_digits(offset_text + 1, hours, 2);
        offset_text[3] = ':';
        put_digits(offset_text + 4, minutes, 2);
        offset_text[6] = '\0';
    } else if (kova::sec::sprintf_s(offset_text, sizeof offset_text, "%c%02u:%02u", dir, hours, minutes) < 0) {
        KOVA_LOG_AS("time_get_localdatetime", kova::log::kError, "sprintf_s secure function failed, destMax<%lu>.",
                    static_cast<unsigned long>(sizeof offset_text));
    }

    if (info == nullptr) return 0;
    if (info->datetime != nullptr) kova::sec::strcpy_s(info->datetime, kTextBuffer, datetime);
    if (info->zone_name != nullptr) kova::sec::strcpy_s(info->zone_name, kTextBuffer, m_ascTZName);
    if (info->zone_style != nullptr) kova::sec::strcpy_s(info->zone_style, kTextBuffer, m_ascStyle);
    if (info->utc_offset != nullptr) kova::sec::strcpy_s(info->utc_offset, kTextBuffer, offset_text);
    info->seconds = local;
    if (kova_dst_query_s *dst = info->dst; dst != nullptr) {
        if (dst->begin != nullptr) kova::sec::strcpy_s(dst->begin, kTextBuffer, m_ascDstBeginTime);
        if (dst->end != nullptr) kova::sec::strcpy_s(dst->end, kTextBuffer, m_ascDstEndTime);
        dst->flag = static_cast<std::uint32_t>(g_kovaDstInfo.flag) & 1u;
        dst->offset_mins = g_kovaDstInfo.offset_mins;
    }
    return 0;
}

int time_docheckdsttime(kova_time_info_s *info)
{
    if (info == nullptr || info->dst == nullptr || info->dst->flag == 0) return -1;
    const kova_dst_query_s &dst = *info->dst;
    if (length_of(info->datetime) <= 18 || length_of(dst.begin) <= 13 || length_of(dst.end) <= 13) {
        if (!length_message_logged.exchange(true))
            KOVA_LOG(kova::log::kError, "TIRO_CheckIsDSTTime: Date length is not enough.");
        return -1;
    }
    char shifted[kDateTimeBuffer] = "";
    format_datetime(info->seconds + static_cast<std::uint64_t>(dst.offset_mins) * 60, shifted);
    if (std::strlen(shifted) <= 18) return -1;

    std::uint64_t begin = key_of(dst.begin, kRuleKey);
    std::uint64_t end = key_of(dst.end, kRuleKey);
    std::uint64_t local = key_of(info->datetime, kDateTimeKey);
    std::uint64_t daylight = key_of(shifted, kDateTimeKey);
    // Daylight time that has run into the next year lies after every end of this year.
    if (std::strncmp(shifted, info->datetime, 4) > 0) daylight += kOneYearOfMonths;
    bool outside = begin > end ? (end <= daylight && begin > local) : (end <= daylight || begin > local);
    return outside ? -1 : 0;
}

uint64_t kova_time_getdst_fromutc(uint64_t utc)
{
    InfoBuffers record;
    time_get_timeinfo_fromutc(&record.info, utc);
    if (time_docheckdsttime(&record.info) != 0) return record.info.seconds;
    return record.info.seconds + static_cast<std::uint64_t>(record.dst.offset_mins) * 60;
}

int kova_time_ckdst(int mode, uint64_t utc)
{
    InfoBuffers record;
    if (mode != 0) {
        time_get_timeinfo_fromutc(&record.info, utc);
    } else if (time_get_localtimeInfo(&record.info) != 0) {
        return -1;
    }
    return time_docheckdsttime(&record.info);
}

}  // extern "C"
