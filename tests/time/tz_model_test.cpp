#include <time.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "kova/kova_timezone.h"
#include "support/log_capture.h"
#include "time/tz_internal.h"

namespace {

// The process's TZ for one test, restored afterwards.
class ScopedTz {
public:
    explicit ScopedTz(const char *tz)
    {
        if (const char *old = getenv("TZ")) saved_ = old, had_ = true;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz()
    {
        had_ ? setenv("TZ", saved_.c_str(), 1) : unsetenv("TZ");
        tzset();
    }

private:
    std::string saved_;
    bool had_ = false;
};

void expect_same_date(time_t t, const struct tm &want)
{
    kova_tm_s got{};
    kova_time_gmtime(&t, &got);
    EXPECT_TRUE(got.year == unsigned(want.tm_year + 1900) && got.mon == unsigned(want.tm_mon + 1) &&
                got.mday == unsigned(want.tm_mday) && got.hour == unsigned(want.tm_hour) &&
                got.min == unsigned(want.tm_min) && got.sec == unsigned(want.tm_sec) && got.wday == unsigned(want.tm_wday))
        << t;
    EXPECT_EQ(kova_time_mktime(&got), t);
    kova_datetime_s dt{};
    time_sec_to_datetime(&dt, static_cast<uint64_t>(t));
    EXPECT_TRUE(dt.year == got.year && dt.mon == got.mon && dt.day == got.mday && dt.hour == got.hour &&
                dt.min == got.min && dt.sec == got.sec) << t;
}

TEST(TzCalendar, AgreesWithTheCLibraryOnEveryDayAndRandomSeconds)
{
    std::mt19937_64 random(13);
    struct tm want {};
    for (time_t day = 0; day <= 4294967295 / 86400; ++day) {
        time_t t = day * 86400 + static_cast<time_t>(random() % 86400);
        ASSERT_NE(gmtime_r(&t, &want), nullptr);
        expect_same_date(t, want);
    }
    const time_t last_of_5000 = 95649119999;
    for (int i = 0; i < 50000; ++i) {
        time_t t = static_cast<time_t>(random() % static_cast<uint64_t>(last_of_5000 + 1));
        ASSERT_NE(gmtime_r(&t, &want), nullptr);
        expect_same_date(t, want);
    }
    for (int i = 0; i < 1000; ++i) {  // past the calendar's years, the date conversion alone
        time_t t = static_cast<time_t>(random() % (1ull << 52));
        kova_datetime_s dt{};
        ASSERT_TRUE(gmtime_r(&t, &want) != nullptr && time_sec_to_datetime(&dt, static_cast<uint64_t>(t)) == 0);
        EXPECT_TRUE(dt.year == unsigned(want.tm_year + 1900) && dt.mon == unsigned(want.tm_mon + 1) &&
                    dt.day == unsigned(want.tm_mday) && dt.sec == unsigned(want.tm_sec)) << t;
    }
}

TEST(TzCalendar, Boundaries)
{
    kova_tm_s tm{};
    time_t beyond = 95649120000 + 3723;  // 5001-01-01 01:02:03
    kova_time_gmtime(&beyond, &tm);
    EXPECT_TRUE(tm.year == 1970 && tm.mon == 1 && tm.mday == 1 && tm.hour == 1 && tm.min == 2 && tm.sec == 3);
    time_t negative = -5;
    kova_time_gmtime(&negative, &tm);
    EXPECT_TRUE(tm.year == 1970 && tm.sec == 0 && tm.wday == 4);
    EXPECT_EQ(kova_time_mktime(nullptr), 0);
    EXPECT_EQ(time_sec_to_datetime(nullptr, 0), -22);

    kova::test::LogCapture log;
    char text[26];
    time_t zero = 0;
    kova_time_asctime(&zero, text, sizeof text);
    EXPECT_STREQ(text, "Thu Jan 1  00:00:00 1970");
    std::memset(text, 'x', sizeof text);
    kova_time_asctime(&zero, text, 0);
    EXPECT_EQ(text[0], 'x');
    kova_time_asctime(&zero, text, 9);
    EXPECT_STREQ(text, "Thu Jan ");
    EXPECT_TRUE(log.contains("snprintf_s secure function failed, destMax<9>, count<8>."));
}

TEST(TzSettings, SettersTakeOnlyTheirKey)
{
    struct Case { int (*set)(const char *); const char *text; int result; } cases[] = {
        {kova_time_setutcoffsetH, "UTCOffHour=3", -1},   {kova_time_setutcoffsetH, "UTCOffHours=abc", -1},
        {kova_time_setutcoffsetH, "UTCOffHours=-3", 0},  {kova_time_setutcoffsetH, nullptr, -1},
        {kova_time_setutcoffsetD, "UTCOffDir=", -1},     {kova_time_setdstflag, "DstFlag=1", 0},
        {kova_time_settzname, "TimeZoneName=", -1},      {kova_time_setdstendtime, "DstEndTime", -1},
        {kova_time_setdstbegintime, "DstBeginTime=03-10 02:00:00 and far too much text", 0},
        {kova_time_settzname, "TimeZoneName=A_name_that_is_longer_than_thirty_one", 0},
    };
    for (const Case &c : cases) EXPECT_EQ(c.set(c.text), c.result) << (c.text ? c.text : "null");
    EXPECT_EQ(m_stTZInfo.utc_off_hours, -3);
    EXPECT_STREQ(g_kovaDstInfo.begin_time, "03-10 02:00:00 and far ");
    EXPECT_STREQ(m_stTZInfo.zone_name, "A_name_that_is_longer_than_thir");
    EXPECT_EQ(kova_time_zone_name_set(std::string(256, 'x').c_str()), -1);
    EXPECT_STREQ(m_ascTimeZoneName, "UTC");
}

struct Rule {
    const char *hours, *minutes, *dir, *dst_minutes, *begin, *end;
    const char *posix;  // the same zone and rule for the C library
};

void apply(const Rule &r)
{
    struct { int (*set)(const char *); const char *key, *value; } settings[] = {
        {kova_time_setutcoffsetH, "UTCOffHours=", r.hours},    {kova_time_setutcoffsetM, "UTCOffMins=", r.minutes},
        {kova_time_setutcoffsetD, "UTCOffDir=", r.dir},        {kova_time_setdstoffsetM, "DstMinOffSet=", r.dst_minutes},
        {kova_time_setdstbegintime, "DstBeginTime=", r.begin}, {kova_time_setdstendtime, "DstEndTime=", r.end},
        {kova_time_setdstflag, "DstFlag=", "1"}};
    for (const auto &s : settings) ASSERT_EQ(s.set((std::string(s.key) + s.value).c_str()), 0);
}

void expect_like_localtime(time_t t)
{
    struct tm want {};
    ASSERT_NE(localtime_r(&t, &want), nullptr);
    ASSERT_EQ(kova_time_getdst_fromutc(static_cast<uint64_t>(t)), static_cast<uint64_t>(t + want.tm_gmtoff)) << t;
    ASSERT_EQ(kova_time_ckdst(1, static_cast<uint64_t>(t)), want.tm_isdst ? 0 : -1) << t;
}

// Jn days count no 29 February, so they name the same month and day every year, as the rule does.
// The C library places a year's changes by the UTC year, so no change lies near the turn of it.
const Rule kRules[] = {
    {"8", "0", "+", "60", "03-10 02:00:00", "11-03 02:00:00", "XST-8XDT-9,J69/2,J307/2"},
    {"10", "0", "+", "60", "10-01 02:00:00", "04-01 03:00:00", "XST-10XDT-11,J274/2,J91/3"},
    {"3", "30", "-", "30", "04-02 00:20:00", "10-30 23:40:00", "XST3:30XDT3,J92/0:20,J303/23:40"},
};

TEST(TzDstModel, AgreesWithLocaltimeUnderTheSamePosixRule)
{
    std::mt19937_64 random(11);
    for (const Rule &r : kRules) {
        apply(r);
        ScopedTz tz(r.posix);
        for (int i = 0; i < 20000; ++i) expect_like_localtime(86400 + static_cast<time_t>(random() % 4102444800));
        for (int year : {2000, 2024, 2100}) {
            // Every second of the hour around each change, found as the C library sees it.
            struct tm jan1 {};
            jan1.tm_year = year - 1900, jan1.tm_mday = 1;
            time_t t = timegm(&jan1), end = t + 366 * 86400;
            for (struct tm now {}, later {}; t < end; t += 1800) {
                localtime_r(&t, &now);
                time_t next = t + 1800;
                localtime_r(&next, &later);
                if (now.tm_isdst == later.tm_isdst && now.tm_year == later.tm_year) continue;
                for (time_t s = next - 1800; s <= next + 1800; ++s) expect_like_localtime(s);
            }
        }
    }
}

TEST(TzDstModel, EdgeCases)
{
    apply(kRules[0]);
    ASSERT_EQ(kova_time_setutcoffsetH("UTCOffHours=1"), 0);
    ASSERT_EQ(kova_time_setutcoffsetD("UTCOffDir=-"), 0);
    EXPECT_EQ(kova_time_getdst_fromutc(3600), 3600u);  // the offset is not below the UTC value

    kova::test::LogCapture log;
    kova::tz::reset_dst_length_message_for_test();
    ASSERT_EQ(kova_time_setdstbegintime("DstBeginTime=03-10 02:00"), 0);
    EXPECT_EQ(kova_time_ckdst(1, 1720000000), -1);
    EXPECT_EQ(kova_time_ckdst(1, 1720000000), -1);
    EXPECT_EQ(log.count("TIRO_CheckIsDSTTime: Date length is not enough."), 1u);
    ASSERT_EQ(kova_time_setdstflag("DstFlag=0"), 0);
    EXPECT_EQ(kova_time_ckdst(1, 1720000000), -1);
    EXPECT_EQ(time_docheckdsttime(nullptr), -1);

    struct { long gmtoff; const char *text; } zones[] = {{19800, "+05:30"}, {0, "-00:00"}, {-12600, "-03:30"}};
    for (auto z : zones) {
        struct tm tm {};
        tm.tm_gmtoff = z.gmtoff;
        char text[32];
        kova_time_setzoneutc(text, &tm);
        EXPECT_STREQ(text, z.text);
    }
}

}  // namespace
