#include "signal_safe_format.h"

#include <cstdint>

namespace kovalog_internal {
namespace {

class Sink {
public:
    Sink(char *buf, std::size_t cap) : buf_(buf), cap_(cap) {}
    void put(char c)
    {
        if (len_ + 1 < cap_) buf_[len_++] = c;
    }
    void repeat(char c, int n)
    {
        for (; n > 0; --n) put(c);
    }
    std::size_t finish()
    {
        if (cap_ > 0) buf_[len_] = '\0';
        return len_;
    }

private:
    char *buf_;
    std::size_t cap_;
    std::size_t len_ = 0;
};

struct Spec {
    bool left = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
    int length = 0;  // 0 int, -2 hh, -1 h, 1 l, 2 ll, 3 size_t/intmax/ptrdiff
};

void emit_padded(Sink &out, const Spec &spec, const char *text, int len, bool numeric)
{
    int pad = spec.width > len ? spec.width - len : 0;
    if (!spec.left) {
        char fill = (spec.zero && numeric) ? '0' : ' ';
        int start = 0;
        if (fill == '0' && len > 0 && text[0] == '-') {
            out.put('-');
            start = 1;
        }
        out.repeat(fill, pad);
        for (int i = start; i < len; ++i) out.put(text[i]);
        return;
    }
    for (int i = 0; i < len; ++i) out.put(text[i]);
    out.repeat(' ', pad);
}

void emit_unsigned(Sink &out, const Spec &spec, std::uint64_t value, unsigned base, bool upper,
                   bool negative)
{
    char digits[24];
    int n = 0;
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[n++] = set[value % base];
        value /= base;
    } while (value != 0);
    char text[26];
    int len = 0;
    if (negative) text[len++] = '-';
    while (n > 0) text[len++] = digits[--n];
    emit_padded(out, spec, text, len, true);
}

std::int64_t take_signed(va_list &args, int length)
{
    switch (length) {
    case -2: return static_cast<signed char>(va_arg(args, int));
    case -1: return static_cast<short>(va_arg(args, int));
    case 0: return va_arg(args, int);
    case 1: return va_arg(args, long);
    case 2: return va_arg(args, long long);
    default: return va_arg(args, std::intptr_t);
    }
}

std::uint64_t take_unsigned(va_list &args, int length)
{
    switch (length) {
    case -2: return static_cast<unsigned char>(va_arg(args, unsigned));
    case -1: return static_cast<unsigned short>(va_arg(args, unsigned));
    case 0: return va_arg(args, unsigned);
    case 1: return va_arg(args, unsigned long);
    case 2: return va_arg(args, unsigned long long);
    default: return va_arg(args, std::uintptr_t);
    }
}

const char *parse_spec(const char *p, Spec &spec, va_list &args)
{
    for (;; ++p) {
        if (*p == '-') spec.left = true;
        else if (*p == '0') spec.zero = true;
        else if (*p != ' ' && *p != '+' && *p != '#') break;
    }
    if (*p == '*') {
        spec.width = va_arg(args, int);
        if (spec.width < 0) {
            spec.left = true;
            spec.width = -spec.width;
        }
        ++p;
    }
    for (; *p >= '0' && *p <= '9'; ++p) spec.width = spec.width * 10 + (*p - '0');
    if (*p == '.') {
        ++p;
        spec.precision = 0;
        if (*p == '*') {
            spec.precision = va_arg(args, int);
            ++p;
        }
        for (; *p >= '0' && *p <= '9'; ++p) spec.precision = spec.precision * 10 + (*p - '0');
    }
    for (;; ++p) {
        if (*p == 'h') spec.length = spec.length == -1 ? -2 : -1;
        else if (*p == 'l') spec.length = spec.length == 1 ? 2 : 1;
        else if (*p == 'z' || *p == 'j' || *p == 't') spec.length = 3;
        else break;
    }
    return p;
}

}  // namespace

std::size_t format_signal_safe(char *buf, std::size_t cap, const char *format, va_list args_in)
{
    Sink out(buf, cap);
    if (format == nullptr) return out.finish();
    va_list args;
    va_copy(args, args_in);
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out.put(*p);
            continue;
        }
        const char *start = p;
        Spec spec;
        p = parse_spec(p + 1, spec, args);
        switch (*p) {
        case 'd':
        case 'i': {
            std::int64_t v = take_signed(args, spec.length);
            std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
            emit_unsigned(out, spec, magnitude, 10, false, v < 0);
            break;
        }
        case 'u': emit_unsigned(out, spec, take_unsigned(args, spec.length), 10, false, false); break;
        case 'x': emit_unsigned(out, spec, take_unsigned(args, spec.length), 16, false, false); break;
        case 'X': emit_unsigned(out, spec, take_unsigned(args, spec.length), 16, true, false); break;
        case 'o': emit_unsigned(out, spec, take_unsigned(args, spec.length), 8, false, false); break;
        case 'p': {
            auto v = reinterpret_cast<std::uintptr_t>(va_arg(args, void *));
            out.put('0');
            out.put('x');
            spec.width = spec.width > 2 ? spec.width - 2 : 0;
            emit_unsigned(out, spec, v, 16, false, false);
            break;
        }
        case 'c': {
            char c = static_cast<char>(va_arg(args, int));
            emit_padded(out, spec, &c, 1, false);
            break;
        }
        case 's': {
            const char *s = va_arg(args, const char *);
            if (s == nullptr) s = "(null)";
            int len = 0;
            while (s[len] != '\0' && (spec.precision < 0 || len < spec.precision)) ++len;
            emit_padded(out, spec, s, len, false);
            break;
        }
        case '%': out.put('%'); break;
        case '\0':
            --p;  // a lone '%' at the end
            out.put('%');
            break;
        default:
            for (const char *q = start; q <= p; ++q) out.put(*q);
            break;
        }
    }
    va_end(args);
    return out.finish();
}

}  // namespace kovalog_internal
