// Shared by the scheduling tests.
#pragma once

#include <array>
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

// Binding and nice values are per thread: tests change them on a thread of their own.
inline void on_own_thread(auto body) { std::thread(body).join(); }

using CpuSet = std::array<uint8_t, KOVA_CPUSET_BYTES>;

inline CpuSet cpus(std::initializer_list<unsigned> list)
{
    CpuSet set{};
    for (unsigned cpu : list) set[cpu / 8] = static_cast<uint8_t>(set[cpu / 8] | (1u << (cpu % 8)));
    return set;
}

inline CpuSet binding_of(pthread_t thread)
{
    CpuSet set{};
    kova_thrd_getbindcpu(thread, set.data());
    return set;
}

}  // namespace kova::test
