#include "platform/bounded.h"

#include <cstdint>
#include <cstring>

namespace kova::sec {
namespace {

bool overlaps(const void *a, std::size_t a_len, const void *b, std::size_t b_len)
{
    auto pa = reinterpret_cast<std::uintptr_t>(a);
    auto pb = reinterpret_cast<std::uintptr_t>(b);
    return pa < pb + b_len && pb < pa + a_len;
}

bool bad_destination(const void *dest, std::size_t dest_max)
{
    return dest == nullptr || dest_max == 0 || dest_max > kMaxSize;
}

}  // namespace

int memcpy_s(void *dest, std::size_t dest_max, const void *src, std::size_t count)
{
    if (bad_destination(dest, dest_max)) return kInvalid;
    if (src == nullptr) {
        std::memset(dest, 0, dest_max);
        return kInvalidAndReset;
    }
    if (count > dest_max) {
        std::memset(dest, 0, dest_max);
        return kRangeAndReset;
    }
    if (overlaps(dest, count, src, count)) {
        std::memset(dest, 0, dest_max);
        return kOverlapAndReset;
    }
    std::memcpy(dest, src, count);
    return kOk;
}

int memmove_s(void *dest, std::size_t dest_max, const void *src, std::size_t count)
{
    if (bad_destination(dest, dest_max)) return kInvalid;
    if (src == nullptr) {
        std::memset(dest, 0, dest_max);
        return kInvalidAndReset;
    }
    if (count > dest_max) {
        std::memset(dest, 0, dest_max);
        return kRangeAndReset;
    }
    std::memmove(dest, src, count);
    return kOk;
}

int memset_s(void *dest, std::size_t dest_max, int c, std::size_t count)
{
    if (bad_destination(dest, dest_max)) return kInvalid;
    if (count > dest_max) {
        std::memset(dest, c, dest_max);
        return kRangeAndReset;
    }
    std::memset(dest, c, count);
    return kOk;
}

int strncpy_s(char *dest, std::size_t dest_max, const char *src, std::size_t count)
{
    if (bad_destination(dest, dest_max)) return kInvalid;
    if (src == nullptr) {
        dest[0] = '\0';
        return kInvalidAndReset;
    }
    std::size_t len = strnlen(src, count);
    if (len >= dest_max) {
        dest[0] = '\0';
        return kRangeAndReset;
    }
    if (overlaps(dest, len + 1, src, len + 1)) {
        dest[0] = '\0';
        return kOverlapAndReset;
    }
    std::memcpy(dest, src, len);
    dest[len] = '\0';
    return kOk;
}

int strcpy_s(char *dest, std::size_t dest_max, const char *src)
{
    return strncpy_s(dest, dest_max, src, kMaxSize);
}

int strcat_s(char *dest, std::size_t dest_max, const char *src)
{
    if (bad_destination(dest, dest_max)) return kInvalid;
    std::size_t used = strnlen(dest, dest_max);
    if (used == dest_max) {
        dest[0] = '\0';
        return kInvalidAndReset;  // the destination was not terminated within its size
    }
    int rc = strcpy_s(dest + used, dest_max - used, src);
    if (rc != kOk) dest[0] = '\0';
    return rc;
}

char *strtok_s(char *str, const char *delim, char **context)
{
    if (delim == nullptr || context == nullptr) return nullptr;
    if (str == nullptr) str = *context;
    if (str == nullptr) return nullptr;
    str += std::strspn(str, delim);
    if (*str == '\0') {
        *context = str;
        return nullptr;
    }
    char *end = str + std::strcspn(str, delim);
    if (*end != '\0') *end++ = '\0';
    *context = end;
    return str;
}

int vsnprintf_s(char *dest, std::size_t dest_max, std::size_t count, const char *format, va_list args)
{
    if (bad_destination(dest, dest_max) || format == nullptr) {
        if (!bad_destination(dest, dest_max)) dest[0] = '\0';
        return -1;
    }
    bool truncate_to_count = count < dest_max;
    std::size_t limit = truncate_to_count ? count + 1 : dest_max;
    int n = std::vsnprintf(dest, limit, format, args);
    if (n < 0) {
        dest[0] = '\0';
        return -1;
    }
    if (static_cast<std::size_t>(n) < limit) return n;
    if (truncate_to_count) return -1;  // truncated to `count` on purpose: keep the text
    dest[0] = '\0';
    return -1;
}

int snprintf_s(char *dest, std::size_t dest_max, std::size_t count, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vsnprintf_s(dest, dest_max, count, format, args);
    va_end(args);
    return n;
}

int sprintf_s(char *dest, std::size_t dest_max, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vsnprintf_s(dest, dest_max, kMaxSize, format, args);
    va_end(args);
    return n;
}

bool scan_format_is_bounded(const char *format)
{
    if (format == nullptr) return false;
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        bool suppressed = *p == '*';  // assigns nothing, so needs no bound
        if (suppressed) ++p;
        bool width = false;
        while (*p >= '0' && *p <= '9') {
            width = true;
            ++p;
        }
        while (*p != '\0' && std::strchr("hljztLqm", *p) != nullptr) ++p;
        if (!suppressed && !width && (*p == 's' || *p == 'c' || *p == '[')) return false;
        if (*p == '[') {
            const char *close = std::strchr(p + (p[1] == ']' ? 2 : 1), ']');
            if (close == nullptr) return false;
            p = close;
        }
        if (*p == '\0') return false;
    }
    return true;
}

int sscanf_s(const char *buffer, const char *format, ...)
{
    if (buffer == nullptr || !scan_format_is_bounded(format)) return -1;
    va_list args;
    va_start(args, format);
    int n = std::vsscanf(buffer, format, args);
    va_end(args);
    return n;
}

int fscanf_s(std::FILE *stream, const char *format, ...)
{
    if (stream == nullptr || !scan_format_is_bounded(format)) return -1;
    va_list args;
    va_start(args, format);
    int n = std::vfscanf(stream, format, args);
    va_end(args);
    return n;
}

__attribute__((no_sanitize("thread"))) std::size_t copy_unobserved(char *out, std::size_t size, const char *shared,
                                                                  bool *whole)
{
    std::size_t n = 0;
    if (shared != nullptr)
        for (; n + 1 < size && shared[n] != '\0'; ++n) out[n] = shared[n];
    out[n] = '\0';
    if (whole != nullptr) *whole = shared == nullptr || shared[n] == '\0';
    return n;
}

}  // namespace kova::sec
