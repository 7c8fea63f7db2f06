// Shared helpers of the timer tests.
#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "kova/kova_timer.h"
#include "timer/wheel.h"

namespace kova::test {

inline bool under_qemu() { return std::getenv("UNDER_QEMU") != nullptr; }

// Polls `done` for up to `limit`; true when it became true.
inline bool eventually(const std::function<bool()> &done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(20000))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A field of the wheel's root, read under its lock (the tick thread changes them under it).
inline std::uint64_t wheel_field(std::uint64_t kova_timer_root_s::*field)
{
    kova_timer_root_s &r = *kova_get_timer_root();
    kova::timer::lock_timer_root(r);
    std::uint64_t value = r.*field;
    kova::timer::unlock_timer_root(r);
    return value;
}

}  // namespace kova::test
