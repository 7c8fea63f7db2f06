/**
 * @file
 * Time zones and daylight saving time.
 *
 * The model. The controller's management software sets the zone and its DST rule with
 * key=value texts (kova_time_settzname("TimeZoneName=...") and the others); the settings live
 * in the exported records m_stTZInfo and g_kovaDstInfo and turn a UTC time into local wall-clock
 * time without the system's zone database (kova_time_getdst_fromutc). A DST rule is a begin and
 * an end "MM-DD hh:mm:ss" that repeat every year: DST is in force from the begin, read in local
 * standard time, until the end, read in local daylight time. A begin later in the year than the
 * end is a southern-hemisphere rule that runs over the turn of the year.
 *
 * The calendar. kova_time_gmtime / kova_time_mktime convert UTC seconds to a date and back
 * (proleptic Gregorian, from 1970 to the year 5000), kova_time_asctime writes a fixed text.
 *
 * The system. Helpers over the C library's local time (the process's TZ through tzset and
 * localtime_r); the zone name of the machine (timedatectl, the /etc/localtime link,
 * /etc/sysconfig/clock); changing the zone, the system clock and the hardware clock; the
 * platform's time-zone script /ZPR/script/os_get_tmtz.sh for DST rules; and the zone's
 * transition table, read from `zdump -v` and handed to the kernel module at /proc/nexo/timezone.
 *
 * Concurrency: nothing here takes a lock. Setters and conversions write exported globals;
 * callers that change settings while other threads convert serialise that themselves.
 * Every function returns a status as its comment says and logs the reason of a failure.
 */
#ifndef KOVA_KOVA_TIMEZONE_H
#define KOVA_KOVA_TIMEZONE_H

#include <time.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** The zone as set by the setters. */
typedef struct kova_tz_info_s {
    int32_t utc_off_hours;   /**< [0] */
    int32_t utc_off_mins;    /**< [0] */
    char utc_off_dir;        /**< '+' east of UTC, anything else west ['+'] */
    char zone_name[32];      /**< [" "] */
    char zone_style[8];      /**< abbreviation such as CST [" "] */
} kova_tz_info_s;

/** The DST rule as set by the setters. */
typedef struct kova_dst_info_s {
    char begin_time[24];     /**< "MM-DD hh:mm:ss", local standard time ["0"] */
    char end_time[24];       /**< the same form, local daylight time ["0"] */
    char flag;               /**< DST configured when its lowest bit is 1 ('1') [NUL] */
    uint32_t offset_mins;    /**< shift applied during DST [0] */
} kova_dst_info_s;

/** A calendar date and time (UTC for the calendar functions). */
typedef struct kova_tm_s {
    uint32_t sec;            /**< seconds, 0-59 */
    uint32_t min;            /**< minutes, 0-59 */
    uint32_t hour;           /**< hours, 0-23 */
    uint32_t mday;           /**< day of the month, 1-31 */
    uint32_t mon;            /**< month, 1-12 */
    uint32_t year;           /**< full year, such as 2024 */
    uint32_t wday;           /**< 0 Sunday to 6 Saturday */
} kova_tm_s;

/** A date and time as written by time_sec_to_datetime. */
typedef struct kova_datetime_s {
    uint32_t year;           /**< full year, such as 2024 */
    uint32_t mon;            /**< month, 1-12 */
    uint32_t day;            /**< day of the month, 1-31 */
    uint32_t hour;           /**< hours, 0-23 */
    uint32_t min;            /**< minutes, 0-59 */
    uint32_t sec;            /**< seconds, 0-59 */
} kova_datetime_s;

/** A DST answer; the texts point at caller buffers of 64 bytes. */
typedef struct kova_dst_query_s {
    uint32_t flag;           /**< 0 or 1 */
    uint32_t offset_mins;    /**< shift applied during DST, in minutes */
    char *begin;             /**< the rule's begin text, or null when not wanted */
    char *end;               /**< the rule's end text, or null when not wanted */
} kova_dst_query_s;

/** A moment with its zone, filled from the stored settings or from the system, judged by
 * time_docheckdsttime. Every text points at a caller buffer of at least 64 bytes or is null. */
typedef struct kova_time_info_s {
    char *datetime;          /**< local "YYYY-MM-DD hh:mm:ss" */
    char *zone_name;         /**< the zone's name */
    char *zone_style;        /**< the zone's abbreviation, such as CST */
    char *utc_offset;        /**< "+hh:mm" or "-hh:mm" */
    uint64_t seconds;        /**< local seconds since 1970 (UTC seconds on the system path) */
    kova_dst_query_s *dst;   /**< may be null */
} kova_time_info_s;

/** Most DST rules a region can have in one year (kova_dst_year_rules_s). */
#define KOVA_DST_YEAR_RULES 5
/** The DST rules of a region for the current year, as the platform script gives them. */
typedef struct kova_dst_year_rules_s {
    /** One rule: when DST begins and ends, and its shift. */
    struct {
        char begin[32];      /**< 19 characters used */
        char end[32];        /**< 19 characters used */
        int32_t offset_mins; /**< shift applied during DST, in minutes */
    } rule[KOVA_DST_YEAR_RULES]; /**< the rules, 0..count-1 filled */
    int32_t count;           /**< rules filled */
} kova_dst_year_rules_s;

/** The zone set by the setters (kova_time_settzname and the others). */
KOVA_API extern kova_tz_info_s m_stTZInfo;
/** The DST rule set by the setters. */
KOVA_API extern kova_dst_info_s g_kovaDstInfo;
/** Copy of the zone name taken at each conversion from the stored settings. */
KOVA_API extern char m_ascTZName[32];
/** Copy of the zone abbreviation taken at each conversion from the stored settings. */
KOVA_API extern char m_ascStyle[8];
/** Copy of the DST begin text taken at each conversion from the stored settings. */
KOVA_API extern char m_ascDstBeginTime[24];
/** Copy of the DST end text taken at each conversion from the stored settings. */
KOVA_API extern char m_ascDstEndTime[24];
/** The system zone name, set by kova_time_zone_name_set ["UTC"]. */
KOVA_API extern char m_ascTimeZoneName[256];
/** The system zone's abbreviation, written by kova_time_gettz ["UTC"]. */
KOVA_API extern char m_ascTimeZoneStyle[8];
/** Direction of the system zone's offset, written by kova_time_setzoneutc: 'c' until first
 * written, then '+' or '-'. */
KOVA_API extern char m_siTimeZoneOffsetDir;
/** Whole hours of the system zone's offset from UTC (its size; the direction is apart) [0]. */
KOVA_API extern int32_t m_siTimeZoneUTCHours;
/** Minutes past the whole hours of the system zone's offset from UTC [0]. */
KOVA_API extern int32_t m_siTimeZoneMinutes;
/** For callers; the library neither writes nor reads it. */
KOVA_API extern kova_datetime_s m_stTimeStore;
/** Days before each month, row 0 common years, row 1 leap years; the 13th entry is the year's
 * length. */
KOVA_API extern const uint16_t m_ausMon_YearDay[2][13];
/** The last command built by time_echo_timeinfotoproc. */
KOVA_API extern char m_ascCmd[512];

/** @{ */
/** Setters: each takes "Key=value", returns 0, or -1 when the text is null, does not begin with
 * exactly its key or the value cannot be read (the field then holds what the read left). */
KOVA_API int kova_time_settzname(const char *text);        /**< "TimeZoneName=", up to 31 chars */
KOVA_API int kova_time_settzstyle(const char *text);       /**< "TimeZoneSty=", up to 7 chars */
KOVA_API int kova_time_setutcoffsetH(const char *text);    /**< "UTCOffHours=", %d */
KOVA_API int kova_time_setutcoffsetM(const char *text);    /**< "UTCOffMins=", %d */
KOVA_API int kova_time_setutcoffsetD(const char *text);    /**< "UTCOffDir=", one character */
KOVA_API int kova_time_setdstflag(const char *text);       /**< "DstFlag=", one character */
KOVA_API int kova_time_setdstoffsetM(const char *text);    /**< "DstMinOffSet=", %u */
KOVA_API int kova_time_setdstbegintime(const char *text);  /**< "DstBeginTime=", up to 23 chars kept */
KOVA_API int kova_time_setdstendtime(const char *text);    /**< "DstEndTime=", up to 23 chars kept */
/** @} */
/** Stores the system zone name (up to 255 characters): 0, or -1 (null or too long). */
KOVA_API int kova_time_zone_name_set(const char *name);

/** Local seconds for a UTC moment under the stored settings, DST shift included when in force.
 * West of UTC a moment earlier than the offset stays as it is. */
KOVA_API uint64_t kova_time_getdst_fromutc(uint64_t utc);
/** 0 when DST is in force, else -1. Mode non-zero: the given UTC moment under the stored
 * settings; mode 0: now under the system's zone and the platform script's rule. */
KOVA_API int kova_time_ckdst(int mode, uint64_t utc);
/** Fills `info` from the stored settings for a UTC moment. Always 0. */
KOVA_API int time_get_timeinfo_fromutc(kova_time_info_s *info, uint64_t utc);
/** 0 when the record's moment is in DST under its rule, else -1 (also for a null record, a
 * missing DST record or texts too short, the last logged once per process). */
KOVA_API int time_docheckdsttime(kova_time_info_s *info);

/* Helpers over the C library's local time. */
/** time(), negative clamped to 0; stored through `out` when not null and returned. */
KOVA_API uint64_t kova_time_gettime(uint64_t *out);
/** seconds + the local zone's tm_gmtoff at that moment (seconds unchanged when localtime_r fails). */
KOVA_API uint64_t kova_time_getlocal_fromutc(uint64_t seconds);
/** kova_time_getlocal_fromutc of now; stored through `out` when not null and returned. */
KOVA_API uint64_t kova_time_getlocaltime(uint64_t *out);
/** Local time + the current DST shift (so during DST the shift counts twice) into *out: 0, or -1. */
KOVA_API int kova_time_getdsttime(uint64_t *out);
/** tm_isdst of *when (now for null) into *flag: 0, -22 for a null flag, -1. */
KOVA_API int time_query_dst_for_localtime(const time_t *when, uint32_t *flag);
/** Writes the standard offset of tm->tm_gmtoff as "%c%02d:%02d" into buf (32 bytes) and the
 * offset globals; an offset of 0 reads "-00:00". A null buf or tm changes nothing. */
KOVA_API void kova_time_setzoneutc(char *buf, const struct tm *tm);
/** "+00:00", "UTC", "UTC" into the buffers (32, 64, 32 bytes) that are not null. */
KOVA_API void kova_time_setforutc(char *offset, char *name, char *style);
/** The system zone's standard offset (32 bytes), name (64) and abbreviation (32): 0 or -1. */
KOVA_API int kova_time_gettz(char *offset, char *name, char *style);
/** The system zone name (kova_zonename_get) into a 64-byte buffer: 0 or -1. */
KOVA_API int kova_time_getzonename(char *buf);
/** kova_timezone_set, its result returned. */
KOVA_API int kova_time_settz(const char *name);

/* Calendar. */
/** UTC seconds (now for null; negative taken as 0) into *tm. A null tm does nothing; past the
 * year 5000 the date is 1970-01-01 with the time of day kept. */
KOVA_API void kova_time_gmtime(const time_t *seconds, kova_tm_s *tm);
/** UTC seconds of the record's date and time (day of week ignored); 0 for null. */
KOVA_API time_t kova_time_mktime(const kova_tm_s *tm);
/** "Thu Jan 1  00:00:00 1970" style text of the UTC seconds (now for null) into buf, cut to
 * size - 1 characters; nothing for a null buf or a size of 0. */
KOVA_API void kova_time_asctime(const time_t *seconds, char *buf, size_t size);
/** Seconds since 1970 as a date: 0, or -22 for a null record. */
KOVA_API int time_sec_to_datetime(kova_datetime_s *dt, uint64_t seconds);

/* Shell queries. */
/** Runs the command (no metacharacters allowed) and returns its exit status; its standard
 * output goes to `out` (size bytes) when not null, else any error output makes it fail.
 * -1 when it cannot run, -7 when it is longer than 213 characters. */
KOVA_API int time_popen_shell(const char *command, char *out, uint32_t size);
/** Wraps the command so that its status arrives after "retshell" (up to 256 characters, into a
 * buffer of 257 bytes): 0, or -7 when too long. */
KOVA_API int time_popen_complete_cmd(const char *command, const char *out, char *wrapped);
/** Runs a wrapped command and collects its output; see time_popen_shell. */
KOVA_API int read_cmd_shell(const char *command, char *out, uint32_t size, const char *wrapped);
/** 0 when the text holds none of | ; < $ & > ` \ ! and newline, else -1 (also for null). */
KOVA_API int kova_filter_special_character(const char *text);

/* DST rules through the platform script. */
/** The current zone's rule: begin and end (14 characters each into 64-byte buffers), the
 * shift in force now in minutes, *second = 0. 0 or -1. */
KOVA_API int kova_time_querydstconf(char *begin, char *end, uint32_t *offset_mins, uint32_t *second);
/** Whether a region observes DST: 0, -22 for a null argument, -1. */
KOVA_API int kova_time_query_dstforregion(const char *zone, uint32_t *flag);
/** A region's rule: 14 bytes each into begin and end (no terminator), offset minutes,
 * *second = 0. 0 or -1. */
KOVA_API int kova_time_query_dstconfinfoforregion(const char *zone, char *begin, char *end,
                                                  uint32_t *offset_mins, uint32_t *second);
/** A region's rules of the current year (up to 5): 0 or -1. */
KOVA_API int kova_time_query_dstconfforregion(const char *zone, kova_dst_year_rules_s *rules);
/** Splits the script's lines into `rules`: 0, or -1 when a copy fails. */
KOVA_API int kova_strtok_for_current_year(char *output, kova_dst_year_rules_s *rules);
/** Takes the DST shift in force now out of tm->tm_gmtoff: 0 or -1. */
KOVA_API int kova_time_process_gmtoff(struct tm *tm);
/** Fills the record from the system (UTC seconds in `seconds`): 0, or -22 for null. */
KOVA_API int time_get_localtimeInfo(kova_time_info_s *info);

/* Zone name. */
/** The machine's zone name into a 64-byte buffer: by timedatectl, by the /etc/localtime link,
 * by /etc/sysconfig/clock. 0 or -1. */
KOVA_API int kova_zonename_get(char *buf);
/** The zone name reported by `timedatectl` (run through the filtered runner), its last
 * character (the newline) cut, at most size-1 characters: 0, or -1 when the command fails or
 * prints nothing (logged). */
KOVA_API int kova_zonename_get_by_timedatectl(char *buf, uint32_t size);
/** The zone name from the /etc/localtime symbolic link's target after "zoneinfo/", at most
 * size-1 characters: 0, or -1 when it is not a link, points elsewhere or `size` is 0. */
KOVA_API int kova_zonename_get_by_soft_link(char *buf, uint32_t size);
/** The quoted zone name of the DEFAULT_TIMEZONE line of /etc/sysconfig/clock, at most size-1
 * characters: 0 when such a line is found, -1 without the file or the line. */
KOVA_API int kova_zonename_get_by_sysconfig(char *buf, uint32_t size);
/** The zone name through the platform script (as it wrote it, newline included) into a 64-byte
 * buffer, also stored with kova_time_zone_name_set. 0 (also for null, doing nothing) or -1. */
KOVA_API int kova_zonename_get_shell(char *buf);

/* Setting. */
/** Changes the system zone (timedatectl, else relinks /etc/localtime): 0, -1, -2 when a needed
 * file is missing, -22 for a null or dangerous name. */
KOVA_API int kova_timezone_set(const char *name);
/** Changes and propagates the zone through the platform script: 0, -1, -22 for null. */
KOVA_API int kova_timezone_set_shell(const char *name);
/** Sets the hardware clock to *utc (1 to 3124223999) and the system clock from it, then hands
 * the zone to the kernel module (those results ignored): 0 or -1. */
KOVA_API int kova_time_settime(const time_t *utc);
/** Hands zone and DST information to the kernel module through the script: 0 or -1. */
KOVA_API int time_echo_timeinfotoproc(void);
/** Loads the zone's transition table (from zdump, cached in /var/run/timezone) into the
 * kernel module: 0 or -1. */
KOVA_API int sync_timezone_to_kernel(void);

KOVA_EXTERN_C_END

#endif
