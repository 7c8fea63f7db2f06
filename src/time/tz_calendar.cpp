// The library's own calendar: UTC seconds to a date and back, and a fixed asctime-style text.
// Proleptic Gregorian throughout; the zone database is never consulted.
#include <time.h>

#include <cstdint>

#include "init/kova_log.h"
#include "kova/kova_timezone.h"
#include "platform/bounded.h"
#include "time/tz_internal.h"

KOVA_LOG_SOURCE("time/kova_time")

extern "C" {
const uint16_t m_ausMon_YearDay[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};
kova_datetime_s m_stTimeStore = {};
}

namespace {

constexpr std::uint32_t kSecondsPerDay = 86400;
constexpr std::uint32_t kLastYear = 5000;  // kova_time_gmtime gives 1970-01-01 beyond it
constexpr const char kDayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

bool kova::tz::is_leap(std::int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

const char *kova::tz::month_name(unsigned index)
{
    return index < 12 ? kMonthNames[index] : nullptr;
}

namespace {

// Days since 1970 to a date in closed form, counting 400-year eras from 1 March of the year 0
// (the leap day then ends each counted year). 32-bit words suffice until about the year
// 11,700,000 and make the divisions by constants cheaper; every conversion runs this.
template <typename Word>
void days_to_date(Word days, kova_datetime_s *dt)
{
    Word z = days + 719468;
    Word era = z / 146097;
    Word day_of_era = z - era * 146097;
    Word year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    Word day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    Word month_from_march = (5 * day_of_year + 2) / 153;
    auto mon = static_cast<std::uint32_t>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    dt->year = static_cast<std::uint32_t>(year_of_era + era * 400 + (mon <= 2 ? 1 : 0));
    dt->mon = mon;
    dt->day = static_cast<std::uint32_t>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
}

}  // namespace

extern "C" int time_sec_to_datetime(kova_datetime_s *dt, uint64_t seconds)
{
    if (dt == nullptr) return -22;
    auto of_day = static_cast<std::uint32_t>(seconds % kSecondsPerDay);
    std::uint64_t days = seconds / kSecondsPerDay;
    if (days < 0xffffffffu - 719468)
        days_to_date(static_cast<std::uint32_t>(days), dt);
    else
        days_to_date(days, dt);
    dt->hour = of_day / 3600;
    dt->min = of_day / 60 % 60;
    dt->sec = of_day % 60;
    return 0;
}

extern "C" void kova_time_gmtime(const time_t *seconds, kova_tm_s *tm)
{
    if (tm == nullptr) return;
    time_t t;
    if (seconds == nullptr) {
        t = time(nullptr);
        if (t <= 0) return;
    } else {
        t = *seconds < 0 ? 0 : *seconds;
    }
    auto days = static_cast<std::uint32_t>(t / kSecondsPerDay);
    tm->wday = (days + 4) % 7;  // 1 January 1970 was a Thursday
    std::uint32_t year = 1970;
    for (;;) {
        std::uint32_t length = kova::tz::is_leap(year) ? 366 : 365;
        if (days < length) break;
        days -= length;
        if (++year > kLastYear) {
            year = 1970;
            days = 0;
            break;
        }
    }
    const uint16_t *row = m_ausMon_YearDay[kova::tz::is_leap(year) ? 1 : 0];
    std::uint32_t mon = 0;
    while (mon < 11 && days >= row[mon + 1]) ++mon;
    tm->year = year;
    tm->mon = mon + 1;
    tm->mday = days - row[mon] + 1;
    auto of_day = static_cast<std::uint32_t>(t % kSecondsPerDay);
    tm->hour = of_day / 3600 % 24;
    tm->min = of_day / 60 % 60;
    tm->sec = of_day % 60;
}

extern "C" time_t kova_time_mktime(const kova_tm_s *tm)
{
    if (tm == nullptr) return 0;
    // Counting from March puts the leap day at the end of the counted year.
    std::int64_t mon = static_cast<std::int64_t>(tm->mon) - 2;
    std::int64_t year = tm->year;
    if (mon <= 0) {
        mon += 12;
        year -= 1;
    }
    std::int64_t days = year * 365 + year / 4 - year / 100 + year / 400 + 367 * mon / 12 + tm->mday - 719499;
    return static_cast<time_t>(((days * 24 + tm->hour) * 60 + tm->min) * 60 + tm->sec);
}

extern "C" void kova_time_asctime(const time_t *seconds, char *buf, size_t size)
{
    if (buf == nullptr || size == 0) return;
    time_t t = seconds != nullptr ? *seconds : time(nullptr);
    if (t < 0) t = 0;
    kova_tm_s tm{};
    kova_time_gmtime(&t, &tm);
    if (kova::sec::snprintf_s(buf, size, size - 1, "%.3s %.3s %-3d%02d:%02d:%02d %d", kDayNames[tm.wday],
                              kMonthNames[tm.mon - 1], static_cast<int>(tm.mday), static_cast<int>(tm.hour),
                              static_cast<int>(tm.min), static_cast<int>(tm.sec), static_cast<int>(tm.year)) < 0)
        KOVA_LOG(kova::log::kError, "snprintf_s secure function failed, destMax<%lu>, count<%lu>.",
                 static_cast<unsigned long>(size), static_cast<unsigned long>(size - 1));
    buf[size - 1] = '\0';
}
