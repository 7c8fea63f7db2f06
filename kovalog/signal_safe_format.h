// The raw writers' printf: what glibc's snprintf prints, made async-signal-safe (no allocation,
// no locale, nothing but the caller's buffer and the stack).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace kovalog_internal {

// Formats into buf (capacity cap, NUL-terminated when cap > 0) and returns the length written,
// at most cap - 1: what snprintf would have put in a buffer of that size.
std::size_t format_signal_safe(char *buf, std::size_t cap, const char *format, va_list args);

// Keeps the first cap - 1 characters it is given and drops the rest cheaply, so that a width or
// precision of a billion costs no more than one of the buffer's size.
class FormatSink {
public:
    FormatSink(char *buf, std::size_t cap) : buf_(buf), cap_(cap), room_(cap > 0 ? cap - 1 : 0) {}
    void put(char c)
    {
        if (len_ < room_) buf_[len_++] = c;
    }
    void repeat(char c, std::int64_t n)
    {
        for (; n > 0 && len_ < room_; --n) buf_[len_++] = c;
    }
    void append(const char *s, std::int64_t n)
    {
        for (std::int64_t i = 0; i < n && len_ < room_; ++i) buf_[len_++] = s[i];
    }
    bool full() const { return len_ >= room_; }
    std::size_t finish()
    {
        if (cap_ > 0) buf_[len_] = '\0';
        return len_;
    }

private:
    char *buf_;
    std::size_t cap_;
    std::size_t room_;
    std::size_t len_ = 0;
};

// One conversion as parsed: flags, width and precision (-1: none). Widths and precisions are
// 64-bit and saturate far beyond any buffer, so no arithmetic on them can overflow.
struct Conversion {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    std::int64_t width = 0;
    std::int64_t precision = -1;
    char conversion = 0;
};

// Writes prefix (sign, "0x"), `zeros` zeros, then a body of body_len characters produced by
// body(sink), padded to the width: spaces on the left or right, or, when zero_fill is allowed
// and the field is right-aligned with the '0' flag, zeros after the prefix.
template <typename Body>
void emit_field(FormatSink &out, const Conversion &conv, const char *prefix, int prefix_len,
                std::int64_t zeros, std::int64_t body_len, bool zero_fill, Body &&body)
{
    std::int64_t pad = conv.width - (prefix_len + zeros + body_len);
    if (pad < 0) pad = 0;
    if (!conv.left && !(zero_fill && conv.zero)) out.repeat(' ', pad);
    out.append(prefix, prefix_len);
    if (!conv.left && zero_fill && conv.zero) out.repeat('0', pad);
    out.repeat('0', zeros);
    body(out);
    if (conv.left) out.repeat(' ', pad);
}

// The floating-point conversions f F e E g G a A of one value.
void format_double(FormatSink &out, const Conversion &conv, double value);
void format_long_double(FormatSink &out, const Conversion &conv, long double value);

}  // namespace kovalog_internal
