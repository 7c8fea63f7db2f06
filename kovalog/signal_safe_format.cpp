#include "signal_safe_format.h"

#include <sys/types.h>

#include <cstddef>
#include <cwchar>

namespace kovalog_internal {
namespace {

// Counts in a format saturate here: far beyond any buffer, far below any overflow.
constexpr std::int64_t kSaturated = std::int64_t{1} << 40;

enum class Length { kInt, kChar, kShort, kLong, kLongLong, kIntmax, kSize, kPtrdiff };

struct ParsedConversion : Conversion {
    Length length = Length::kInt;
    bool long_double = false;
};

std::int64_t take_signed(va_list &args, Length length)
{
    switch (length) {
    case Length::kChar: return static_cast<signed char>(va_arg(args, int));
    case Length::kShort: return static_cast<short>(va_arg(args, int));
    case Length::kInt: return va_arg(args, int);
    case Length::kLong: return va_arg(args, long);
    case Length::kLongLong: return va_arg(args, long long);
    case Length::kIntmax: return va_arg(args, std::intmax_t);
    case Length::kSize: return va_arg(args, ssize_t);
    case Length::kPtrdiff: return va_arg(args, std::ptrdiff_t);
    }
    return 0;
}

std::uint64_t take_unsigned(va_list &args, Length length)
{
    switch (length) {
    case Length::kChar: return static_cast<unsigned char>(va_arg(args, unsigned));
    case Length::kShort: return static_cast<unsigned short>(va_arg(args, unsigned));
    case Length::kInt: return va_arg(args, unsigned);
    case Length::kLong: return va_arg(args, unsigned long);
    case Length::kLongLong: return va_arg(args, unsigned long long);
    case Length::kIntmax: return va_arg(args, std::uintmax_t);
    case Length::kSize: return va_arg(args, std::size_t);
    case Length::kPtrdiff: return static_cast<std::uint64_t>(va_arg(args, std::ptrdiff_t));
    }
    return 0;
}

std::int64_t parse_count(const char *&p)
{
    std::int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (value < kSaturated) value = value * 10 + (*p - '0');
    return value;
}

const char *parse_conversion(const char *p, ParsedConversion &c, va_list &args)
{
    for (;; ++p) {
        if (*p == '-') c.left = true;
        else if (*p == '+') c.plus = true;
        else if (*p == ' ') c.space = true;
        else if (*p == '#') c.alt = true;
        else if (*p == '0') c.zero = true;
        else if (*p != '\'') break;  // grouping: the C locale has no separator
    }
    if (*p == '*') {
        ++p;
        int width = va_arg(args, int);
        if (width < 0) c.left = true;
        c.width = width < 0 ? -static_cast<std::int64_t>(width) : width;  // INT_MIN too
    } else {
        c.width = parse_count(p);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
            int precision = va_arg(args, int);
            c.precision = precision < 0 ? -1 : precision;
        } else {
            c.precision = parse_count(p);
        }
    }
    for (;; ++p) {
        if (*p == 'h') c.length = c.length == Length::kShort ? Length::kChar : Length::kShort;
        else if (*p == 'l') c.length = c.length == Length::kLong ? Length::kLongLong : Length::kLong;
        else if (*p == 'L' || *p == 'q') c.length = Length::kLongLong, c.long_double = true;
        else if (*p == 'j') c.length = Length::kIntmax;
        else if (*p == 'z' || *p == 'Z') c.length = Length::kSize;
        else if (*p == 't') c.length = Length::kPtrdiff;
        else break;
    }
    c.conversion = *p;
    return p;
}

void emit_integer(FormatSink &out, const ParsedConversion &c, std::uint64_t value, bool negative, bool signed_form)
{
    const unsigned base = c.conversion == 'o' ? 8 : (c.conversion == 'x' || c.conversion == 'X') ? 16 : 10;
    const char *set = c.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    int n = 0;
    if (value != 0 || c.precision != 0)
        for (std::uint64_t v = value; n == 0 || v != 0; v /= base) digits[n++] = set[v % base];
    char prefix[3];
    int prefix_len = 0;
    if (negative) prefix[prefix_len++] = '-';
    else if (signed_form && c.plus) prefix[prefix_len++] = '+';
    else if (signed_form && c.space) prefix[prefix_len++] = ' ';
    std::int64_t zeros = c.precision > n ? c.precision - n : 0;
    if (base == 8 && c.alt && zeros == 0 && (n == 0 || digits[n - 1] != '0')) zeros = 1;
    if (base == 16 && c.alt && value != 0) {
        prefix[prefix_len++] = '0';
        prefix[prefix_len++] = c.conversion;
    }
    emit_field(out, c, prefix, prefix_len, zeros, n, c.precision < 0, [&](FormatSink &o) {
        while (n > 0) o.put(digits[--n]);
    });
}

void emit_text(FormatSink &out, const ParsedConversion &c, const char *text, std::int64_t len)
{
    emit_field(out, c, "", 0, 0, len, false, [&](FormatSink &o) { o.append(text, len); });
}

// Wide characters are not converted through a locale: ASCII passes, anything else becomes '?'.
char narrow(wint_t wc) { return static_cast<std::uint32_t>(wc) < 0x80 ? static_cast<char>(wc) : '?'; }

void emit_string(FormatSink &out, const ParsedConversion &c, va_list &args)
{
    if (c.length == Length::kLong) {
        const wchar_t *ws = va_arg(args, const wchar_t *);
        if (ws == nullptr) ws = (c.precision < 0 || c.precision >= 6) ? L"(null)" : L"";
        std::int64_t len = 0;
        while (ws[len] != L'\0' && (c.precision < 0 || len < c.precision)) ++len;
        emit_field(out, c, "", 0, 0, len, false, [&](FormatSink &o) {
            for (std::int64_t i = 0; i < len; ++i) o.put(narrow(static_cast<wint_t>(ws[i])));
        });
        return;
    }
    const char *s = va_arg(args, const char *);
    if (s == nullptr) s = (c.precision < 0 || c.precision >= 6) ? "(null)" : "";
    std::int64_t len = 0;
    while (s[len] != '\0' && (c.precision < 0 || len < c.precision)) ++len;
    emit_text(out, c, s, len);
}

}  // namespace

std::size_t format_signal_safe(char *buf, std::size_t cap, const char *format, va_list args_in)
{
    FormatSink out(buf, cap);
    if (format == nullptr) return out.finish();
    va_list args;
    va_copy(args, args_in);
    for (const char *p = format; *p != '\0' && !out.full(); ++p) {
        if (*p != '%') {
            out.put(*p);
            continue;
        }
        const char *start = p;
        ParsedConversion c;
        p = parse_conversion(p + 1, c, args);
        switch (c.conversion) {
        case 'd':
        case 'i': {
            std::int64_t v = take_signed(args, c.length);
            std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
            emit_integer(out, c, magnitude, v < 0, true);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': emit_integer(out, c, take_unsigned(args, c.length), false, false); break;
        case 'p': {
            const void *ptr = va_arg(args, const void *);
            if (ptr == nullptr) {
                emit_text(out, c, "(nil)", 5);
                break;
            }
            c.conversion = 'x';
            c.alt = true;
            emit_integer(out, c, reinterpret_cast<std::uintptr_t>(ptr), false, true);
            break;
        }
        case 'c': {
            char ch = c.length == Length::kLong ? narrow(va_arg(args, wint_t)) : static_cast<char>(va_arg(args, int));
            emit_text(out, c, &ch, 1);
            break;
        }
        case 's': emit_string(out, c, args); break;
        case 'n': (void)va_arg(args, void *); break;  // never written through: a log format is no place for it
        case '%': out.put('%'); break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (c.long_double) format_long_double(out, c, va_arg(args, long double));
            else format_double(out, c, va_arg(args, double));
            break;
        case '\0':
            --p;  // an unfinished conversion at the end is written as it stands
            [[fallthrough]];
        default:
            out.append(start, p - start + 1);
            break;
        }
    }
    va_end(args);
    return out.finish();
}

}  // namespace kovalog_internal
