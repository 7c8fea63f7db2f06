// Shared by the scheduling tests.
#pragma once

#include <cstdio>
#include <string>
#include <thread>

#include "kova/kova_thrd.h"

namespace kova::test {

inline std::string format(const char *fmt, auto... args)
{
    char text[512];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

}  // namespace kova::test
