#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

constexpr time_t kDay = 86400;
constexpr time_t kHorizon = 3 * 366 * kDay;  // transitions are looked for this far ahead
constexpr int kShownTransitions = 4;

bool same_rule(time_t a, time_t b)
{
    struct tm ta {}, tb {};
    localtime_r(&a, &ta);
    localtime_r(&b, &tb);
    return ta.tm_gmtoff == tb.tm_gmtoff && ta.tm_isdst == tb.tm_isdst;
}

// The first second after `from` whose offset or DST flag differs, or 0 within the horizon none.
time_t next_transition(time_t from)
{
    for (time_t day = from; day < from + kHorizon; day += kDay) {
        if (same_rule(day, day + kDay)) continue;
        time_t low = day, high = day + kDay;  // low has the old rule, high the new one
        while (high - low > 1) {
            time_t mid = low + (high - low) / 2;
            (same_rule(low, mid) ? low : high) = mid;
        }
        return high;
    }
    return 0;
}

void print_local(const char *label, time_t t)
{
    struct tm tm {};
    localtime_r(&t, &tm);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &tm);
    long offset = tm.tm_gmtoff;
    std::printf("%-16s%s (UTC%c%02ld:%02ld%s)\n", label, text, offset < 0 ? '-' : '+', labs(offset) / 3600,
                labs(offset) % 3600 / 60, tm.tm_isdst > 0 ? ", DST" : "");
}

int show_zone()
{
    char zone[64] = "";
    if (kova_zonename_get(zone) != 0) std::snprintf(zone, sizeof zone, "%s", "(unknown)");
    std::printf("%-16s%s\n", "zone", zone);
    time_t now = time(nullptr);
    print_local("now", now);
    uint32_t dst = 0;
    std::printf("%-16s%s\n", "DST", time_query_dst_for_localtime(&now, &dst) == 0 && dst != 0 ? "in effect" : "not in effect");
    int shown = 0;
    for (time_t t = next_transition(now); t != 0 && shown < kShownTransitions; t = next_transition(t), ++shown)
        print_local(shown == 0 ? "transitions" : "", t);
    if (shown == 0) std::printf("%-16snone in the next three years\n", "transitions");
    return 0;
}

int apply_setting(const char *text)
{
    int (*const setters[])(const char *) = {kova_time_settzname,       kova_time_settzstyle,   kova_time_setutcoffsetH,
                                            kova_time_setutcoffsetM,   kova_time_setutcoffsetD, kova_time_setdstflag,
                                            kova_time_setdstoffsetM,   kova_time_setdstbegintime, kova_time_setdstendtime};
    for (auto set : setters)
        if (set(text) == 0) return 0;
    std::fprintf(stderr, "kovactl tz: not a setting: %s\n", text);
    return -1;
}

int convert(int argc, char **argv)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long seconds = std::strtoull(argv[0], &end, 10);
    if (errno != 0 || end == argv[0] || *end != '\0' || argv[0][0] == '-') return usage_error();
    for (int i = 1; i < argc; ++i)
        if (apply_setting(argv[i]) != 0) return usage_error();
    auto utc = static_cast<time_t>(seconds);
    char text[32];
    kova_time_asctime(&utc, text, sizeof text);
    std::printf("%-16s%s\n", "UTC", text);
    print_local("system zone", utc);
    auto local = static_cast<time_t>(kova_time_getdst_fromutc(seconds));
    kova_time_asctime(&local, text, sizeof text);
    std::printf("%-16s%s (%s%02d:%02d%s)\n", "settings", text, m_stTZInfo.utc_off_dir == '+' ? "+" : "-",
                m_stTZInfo.utc_off_hours, m_stTZInfo.utc_off_mins, kova_time_ckdst(1, seconds) == 0 ? ", DST" : "");
    return 0;
}

int run_tz(int argc, char **argv)
{
    if (argc == 0) return show_zone();
    if (std::strcmp(argv[0], "convert") == 0 && argc >= 2) return convert(argc - 1, argv + 1);
    return usage_error();
}

}  // namespace

KOVACTL_COMMAND("tz", "show the zone, its offset, DST state and next transitions; convert UTC seconds", run_tz,
                "[convert SECONDS [Key=value...]]",
                "Without arguments: the zone name, the local time, whether DST is in effect and the next four "
                "transitions within three years.\n\n"
                "  SECONDS    UTC seconds since 1970 to convert, shown in UTC, in the system zone and under the settings\n"
                "  Key=value  a zone or DST setting of this process only, as the library's setters take it, "
                "for example the zone name, UTC offset hours and minutes, DST flag, offset and begin and end times\n\n"
                "Nothing is written to the machine: the settings last as long as the command.");

}  // namespace kovactl
