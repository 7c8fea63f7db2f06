// How a line is cut, shared by kova_readline and the INI parser's buffered reader: a line feed
// ends it and is kept, carriage returns are dropped, at most size - 1 bytes are stored, and
// buf[size - 1] is always NUL. `next(c)` yields the next byte, false at the end.
#pragma once

#include <cstdint>

namespace kova::fileops {

template <typename NextByte>
char *cut_line(char *buf, std::int32_t size, NextByte next)
{
    std::int32_t stored = 0;
    char c;
    while (stored < size - 1 && next(c)) {
        if (c == '\r') continue;
        buf[stored++] = c;
        if (c == '\n') break;
    }
    buf[stored] = '\0';
    buf[size - 1] = '\0';
    return stored > 0 ? buf : nullptr;
}

}  // namespace kova::fileops
