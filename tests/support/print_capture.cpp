#include "support/print_capture.h"

#include <cstdarg>
#include <cstdio>

namespace kova::test {

std::string &printed_text()
{
    static std::string text;
    return text;
}

int capture_print(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    printed_text() += line;
    return n;
}

}  // namespace kova::test
