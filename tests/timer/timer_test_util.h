// Shared helpers of the timer tests.
#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "kova/kova_timer.h"

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

}  // namespace kova::test
