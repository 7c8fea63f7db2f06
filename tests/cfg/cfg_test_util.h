// Shared helpers of the configuration tests.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "kova/kova_cfg.h"
#include "support/temp_root.h"

namespace kova::test {

inline std::string &dump_text()
{
    static std::string text;
    return text;
}

inline int dump_print(const char *format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    std::string line(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, again);
    va_end(again);
    va_end(args);
    dump_text() += line.c_str();
    return length;
}

// The file as the store holds it, written in this family's format; "<error>" when unreadable.
inline std::string parsed(const std::string &path)
{
    dump_text().clear();
    return kova_cfg_file_dump(path.c_str(), dump_print) == 0 ? dump_text() : "<error>";
}

}  // namespace kova::test
