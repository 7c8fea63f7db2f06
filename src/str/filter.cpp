#include <cstring>
#include <string_view>

#include "kova/kova_str.h"

namespace {
constexpr std::string_view kMetacharacters = "|;&$<>!\n`";
}

extern "C" int kova_ismodevalid(const char *mode)
{
    if (mode == nullptr) return -1;
    return (mode[0] == 'r' || mode[0] == 'w') && mode[1] == '\0' ? 0 : -1;
}

extern "C" int isBlackChar(const char *c)
{
    return c != nullptr && *c != '\0' && kMetacharacters.find(*c) != std::string_view::npos ? 1 : 0;
}

extern "C" int isWhiteChar(const char *c, const char *allowed)
{
    // strchr would also find the terminating NUL of `allowed`.
    if (c == nullptr || *c == '\0' || allowed == nullptr) return 0;
    return std::strchr(allowed, *c) != nullptr ? 1 : 0;
}

extern "C" int isDangerousCmd(const char *command, const char *allowed)
{
    if (command == nullptr) return 0;
    for (const char *c = command; *c != '\0'; ++c) {
        if (isBlackChar(c) == 1 && isWhiteChar(c, allowed) == 0) return 1;
    }
    return 0;
}
