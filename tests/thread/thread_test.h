// Shared by the thread tests: waiting for the registry and running code in a library thread.
#pragma once

#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_thrd.h"
#include "support/log_capture.h"
#include "thread/registry.h"

namespace kova::test {

inline bool under_qemu() { return std::getenv("UNDER_QEMU") != nullptr; }

inline std::string kernel_name()
{
    char name[17] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    return name;
}

// Polls for an event; the minute's bound only turns an event that never comes into a failure.
inline bool wait_until(const std::function<bool()> &done)
{
    for (int i = 0; i < 60000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

// True once every thread has given its record back: no slot is in use.
inline bool registry_drains()
{
    return wait_until([] {
        for (std::uint32_t i = 0; i < KOVA_THRD_SLOTS; ++i)
            if (kova::thread::slot_use_count(i) != 0) return false;
        return true;
    });
}

}  // namespace kova::test
