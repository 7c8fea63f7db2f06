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

// The copies of the settings taken at each conversion: bounded, always terminated, and between
// fixed arrays, so they cannot fail; a plain loop beats the general copy on these short texts.
template <std::size_t N, std::size_t M>
void copy_setting_text(char (&dest)[N], const char (&src)[M])
{
    constexpr std::size_t limit = (N < M ? N : M) - 1;
    std::size_t i = 0;
    for (; i < limit && src[i] != '\0'; ++i) dest[i] = src[i];
    dest[i] = '\0';
}

char *put_digits(char *p, std::uint32_t value, int width)
{
    for (int i = width - 1; i >= 0; --i, value /= 10) p[i] = static_cast<char>('0' + value % 10);
    return p + width;
}

// A local moment as the DST check reads it: its MMDDhhmmss key and its year. False when the
// year does not take exactly four digits, so that its text would not be 19 characters long.
bool date_key(std::uint64_t seconds, kova_datetime_s &dt, std::uint64_t &key)
{
    time_sec_to_datetime(&dt, seconds);
    key = ((dt.mon * 100ull + dt.day) * 100 + dt.hour) * 10000 + dt.min * 100 + dt.sec;
    return dt.year <= 9999;
}

// "%04d-%02u-%02u %02u:%02u:%02u" into a 20-byte buffer; the text stays empty (logged) when it
// does not fit. Digits are placed by hand: this runs on every conversion.
void format_datetime(std::uint64_t seconds, char (&text)[kDateTimeBuffer])
{
    kova_datetime_s dt{};
    std::uint64_t key;
    if (date_key(seconds, dt, key)) {
        char *p = put_digits(text, dt.year, 4);
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
    if (kova::sec::sprintf_s(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u", static_cast<int>(dt.year), dt.mon,
                             dt.day, dt.hour, dt.min, dt.sec) < 0)
        KOVA_LOG_AS("time_get_localdatetime", kova::log::kError, "sprintf_s secure function failed, destMax<%lu>.",
                    static_cast<unsigned long>(sizeof text));
}

// "%c%02u:%02u" of the stored offset into an 8-byte buffer, the same way.
void format_offset(char (&text)[kOffsetBuffer])
{
    auto hours = static_cast<std::uint32_t>(m_stTZInfo.utc_off_hours);
    auto minutes = static_cast<std::uint32_t>(m_stTZInfo.utc_off_mins);
    if (hours < 100 && minutes < 100) {
        text[0] = m_stTZInfo.utc_off_dir;
        put_digits(text + 1, hours, 2);
        text[3] = ':';
        put_digits(text + 4, minutes, 2);
        text[6] = '\0';
    } else if (kova::sec::sprintf_s(text, sizeof text, "%c%02u:%02u", m_stTZInfo.utc_off_dir, hours, minutes) < 0) {
        KOVA_LOG_AS("time_get_localdatetime", kova::log::kError, "sprintf_s secure function failed, destMax<%lu>.",
                    static_cast<unsigned long>(sizeof text));
    }
}

// A ten-character MMDDhhmmss key picked from a text; as the string-to-number conversion reads
// it (base 16 after 0x, else base 10, up to the first character it cannot take).
std::uint64_t key_of(const char *text, const int (&positions)[10])
{
    unsigned pair[5];
    unsigned bad = 0;
    for (int i = 0; i < 5; ++i) {
        unsigned high = static_cast<unsigned char>(text[positions[2 * i]]) - '0';
        unsigned low = static_cast<unsigned char>(text[positions[2 * i + 1]]) - '0';
        bad |= (high > 9) | (low > 9);
        pair[i] = high * 10 + low;
    }
    if (bad == 0)
        return (pair[0] * 100ull + pair[1]) * 1000000ull + (pair[2] * 100u + pair[3]) * 100u + pair[4];
    char key[11];
    for (int i = 0; i < 10; ++i) key[i] = text[positions[i]];
    key[10] = '\0';
    bool hex = key[0] == '0' && (key[1] == 'x' || key[1] == 'X');
    return std::strtoull(key, nullptr, hex ? 16 : 10);
}

constexpr int kDateTimeKey[10] = {5, 6, 8, 9, 11, 12, 14, 15, 17, 18};
constexpr int kRuleKey[10] = {0, 1, 3, 4, 6, 7, 9, 10, 12, 13};
constexpr std::uint64_t kOneYearOfMonths = 1200000000;  // twelve months in a MMDDhhmmss key

// Refreshes the exported copies of the settings and gives the local standard time.
std::uint64_t local_standard_time(std::uint64_t utc)
{
    copy_setting_text(m_ascTZName, m_stTZInfo.zone_name);
    copy_setting_text(m_ascStyle, m_stTZInfo.zone_style);
    copy_setting_text(m_ascDstBeginTime, g_kovaDstInfo.begin_time);
    copy_setting_text(m_ascDstEndTime, g_kovaDstInfo.end_time);
    auto offset = static_cast<std::uint64_t>(static_cast<std::int64_t>(m_stTZInfo.utc_off_hours) * 3600 +
                                             static_cast<std::int64_t>(m_stTZInfo.utc_off_mins) * 60);
    if (m_stTZInfo.utc_off_dir == '+') return utc + offset;
    return offset >= utc ? utc : utc - offset;
}

// False, logging the first time only, when a text of the check is too short to be read.
bool long_enough(bool datetime, const char *begin, const char *end)
{
    if (datetime && begin != nullptr && end != nullptr && strnlen(begin, 14) == 14 && strnlen(end, 14) == 14)
        return true;
    if (!length_message_logged.exchange(true))
        KOVA_LOG_AS("time_docheckdsttime", kova::log::kError, "TIRO_CheckIsDSTTime: Date length is not enough.");
    return false;
}

// The key and year of daylight time, `shift` seconds after `seconds`. With `local` (the key of
// `seconds` itself) and the shift staying within the day, only the time of day changes.
bool daylight_key(std::uint64_t seconds, std::uint64_t shift, const std::uint64_t *local, std::uint64_t &key,
                  std::uint32_t &year)
{
    if (std::uint64_t of_day = seconds % 86400 + shift; local != nullptr && of_day < 86400) {
        auto s = static_cast<std::uint32_t>(of_day);
        key = *local / 1000000 * 1000000 + s / 3600 * 10000 + s / 60 % 60 * 100 + s % 60;
        return true;  // the year stays
    }
    kova_datetime_s dt{};
    bool ok = date_key(seconds + shift, dt, key);
    year = dt.year;
    return ok;
}

// The DST decision on the keys: 0 in DST, -1 not. The rule repeats every year; daylight time
// that has run into the next year lies after every end of this year.
int judge(const char *begin_text, const char *end_text, std::uint64_t local, std::uint32_t local_year,
          std::uint64_t daylight, std::uint32_t daylight_year)
{
    if (daylight_year > local_year) daylight += kOneYearOfMonths;
    std::uint64_t begin = key_of(begin_text, kRuleKey);
    std::uint64_t end = key_of(end_text, kRuleKey);
    bool outside = begin > end ? (end <= daylight && begin > local) : (end <= daylight || begin > local);
    return outside ? -1 : 0;
}

// A time-info record with all its texts and its DST record.
struct InfoBuffers {
    char datetime[kTextBuffer] = "", name[kTextBuffer] = "", style[kTextBuffer] = "", offset[kTextBuffer] = "";
    char begin[kTextBuffer] = "", end[kTextBuffer] = "";
    kova_dst_query_s dst{0, 0, begin, end};
    kova_time_info_s info{datetime, name, style, offset, 0, &dst};
};

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
    std::uint64_t local = local_standard_time(utc);
    char datetime[kDateTimeBuffer] = "";
    format_datetime(local, datetime);
    char offset_text[kOffsetBuffer] = "";
    format_offset(offset_text);

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
    if (!long_enough(info->datetime != nullptr && strnlen(info->datetime, 19) == 19, dst.begin, dst.end)) return -1;
    auto year = static_cast<std::uint32_t>(std::strtoul(info->datetime, nullptr, 10));
    std::uint64_t daylight;
    std::uint32_t daylight_year = 0;
    // The record's seconds need not be the moment of its text (the system path stores UTC).
    if (!daylight_key(info->seconds, std::uint64_t{dst.offset_mins} * 60, nullptr, daylight, daylight_year)) return -1;
    return judge(dst.begin, dst.end, key_of(info->datetime, kDateTimeKey), year, daylight, daylight_year);
}

// As the record path (time_get_timeinfo_fromutc, then time_docheckdsttime) decides, without
// writing the record's texts: the keys come from the numbers the texts would be made of.
uint64_t kova_time_getdst_fromutc(uint64_t utc)
{
    std::uint64_t local = local_standard_time(utc);
    if (static_cast<std::uint32_t>(m_stTZInfo.utc_off_hours) >= 100 || static_cast<std::uint32_t>(m_stTZInfo.utc_off_mins) >= 100) {
        char offset_text[kOffsetBuffer];
        format_offset(offset_text);  // for its failure report
    }
    kova_datetime_s dt{};
    std::uint64_t key;
    bool datetime = date_key(local, dt, key);
    if (!datetime) {
        char text[kDateTimeBuffer];
        format_datetime(local, text);  // for its failure report
    }
    std::uint64_t shift = std::uint64_t{g_kovaDstInfo.offset_mins} * 60;
    if ((g_kovaDstInfo.flag & 1) == 0 || !long_enough(datetime, m_ascDstBeginTime, m_ascDstEndTime)) return local;
    std::uint64_t daylight;
    std::uint32_t daylight_year = dt.year;
    if (!daylight_key(local, shift, &key, daylight, daylight_year) ||
        judge(m_ascDstBeginTime, m_ascDstEndTime, key, dt.year, daylight, daylight_year) != 0)
        return local;
    return local + shift;
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
