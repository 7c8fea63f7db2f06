// Bounds-checking string and memory functions with their published meaning: every copy,
// format and scan is given the destination's size, and a call that would overflow fails with an
// error result (the destination cleared where the function says so) instead of writing past
// the end. Internal to the library: not exported.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace kova::sec {

constexpr int kOk = 0;
constexpr int kInvalid = 22;          // EINVAL: a null or zero-sized argument
constexpr int kInvalidAndReset = 150; // EINVAL, destination cleared
constexpr int kRange = 34;            // ERANGE: does not fit
constexpr int kRangeAndReset = 162;   // ERANGE, destination cleared
constexpr int kOverlapAndReset = 182; // source and destination overlap, destination cleared
constexpr std::size_t kMaxSize = 0x7fffffffUL;

int memcpy_s(void *dest, std::size_t dest_max, const void *src, std::size_t count);
int memmove_s(void *dest, std::size_t dest_max, const void *src, std::size_t count);
int memset_s(void *dest, std::size_t dest_max, int c, std::size_t count);
int strcpy_s(char *dest, std::size_t dest_max, const char *src);
// Copies at most `count` characters of src and a NUL.
int strncpy_s(char *dest, std::size_t dest_max, const char *src, std::size_t count);
int strcat_s(char *dest, std::size_t dest_max, const char *src);
char *strtok_s(char *str, const char *delim, char **context);

// Return the number of characters written, or -1 (dest cleared) when the output does not fit
// in dest_max - 1 characters. vsnprintf_s/snprintf_s also stop at `count` characters: a
// truncated result is kept and -1 returned.
int sprintf_s(char *dest, std::size_t dest_max, const char *format, ...) __attribute__((format(printf, 3, 4)));
int snprintf_s(char *dest, std::size_t dest_max, std::size_t count, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int vsnprintf_s(char *dest, std::size_t dest_max, std::size_t count, const char *format, va_list args)
    __attribute__((format(printf, 4, 0)));

// Scans with the bound in the format: every %s, %c and %[ conversion must carry a width
// ("%127s"), else nothing is scanned and -1 returned. Otherwise as sscanf / fscanf.
int sscanf_s(const char *buffer, const char *format, ...) __attribute__((format(scanf, 2, 3)));
int fscanf_s(std::FILE *stream, const char *format, ...) __attribute__((format(scanf, 2, 3)));

// True when every string conversion of a scan format carries a width.
bool scan_format_is_bounded(const char *format);

// Copies the string `shared` (null reads as empty) into `out`, at most size - 1 characters and
// always terminated, byte by byte and outside the race detector's view: for strings that another
// thread writes under an ordering the detector cannot see, or where a torn copy is acceptable.
// Returns the characters copied; *whole, when given, tells whether the string ended within them.
// size must be at least 1. Async-signal-safe.
std::size_t copy_unobserved(char *out, std::size_t size, const char *shared, bool *whole = nullptr);

}  // namespace kova::sec
