// Internals shared by the time-zone units: the calendar helpers, the platform script, the
// kernel transition table and its reader.
#pragma once

#include <cstdint>
#include <ctime>

namespace kova::tz {

bool is_leap(std::int64_t year);
// "Jan".."Dec" for 0..11, null otherwise.
const char *month_name(unsigned index);

// The platform's time-zone script.
constexpr const char kScript[] = "/ZPR/script/os_get_tmtz.sh";
// Script output and command buffers.
constexpr std::uint32_t kShellBuffer = 256;

// The table handed to the kernel module (request 0x386 on /proc/nexo/timezone).
constexpr unsigned kTableEntries = 544;
struct TransitionEntry {
    std::int64_t utc;     // the moment the offset starts
    std::int32_t offset;  // seconds east of UTC from then on
    std::int32_t reserved;
};
struct TransitionTable {
    std::uint32_t count;
    std::uint32_t fixed;        // 1: no transitions, fixed_offset applies
    std::int64_t fixed_offset;
    TransitionEntry entry[kTableEntries];
};
static_assert(sizeof(TransitionTable) == 8720);
constexpr unsigned long kTableRequest = 0x386;
// Entries are read until one at or after 2038-01-01 00:00:00 UTC is stored.
constexpr std::int64_t kTableHorizon = 2145916800;

// One `zdump -v` line.
struct ZdumpLine {
    struct tm utc;
    struct tm local;   // one second after the line's local time
    char abbreviation[32];
    int isdst;
    int gmtoff;
};
static_assert(sizeof(ZdumpLine) <= 152);

// 0, or -1 (logged) when the line does not hold all 19 fields.
int read_dst_line(const char *line, ZdumpLine *out);
// "Jan".."Dec" to 0..11, -1 otherwise.
int month_name_to_index(const char *name);
// Fills the table from a cached `zdump -v` file: 0, -1 when it cannot be opened or a line is
// malformed (the table then holds what was read).
int read_timezone_file(const char *path, TransitionTable *table);

// How the table reaches the kernel: ioctl in production; tests put a recorder here.
using TableIoctl = int (*)(int fd, unsigned long request, void *table);
void set_table_ioctl(TableIoctl ioctl_fn);

// Forgets that the length message of the DST check was logged, for tests of it.
void reset_dst_length_message_for_test();

}  // namespace kova::tz
