// Shared by the thread tests: waiting for the registry and running code in a library thread.
#pragma once

#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "kova/kova_thrd.h"
#include "thread/registry.h"

namespace kova::test {

inline std::string kernel_name()
{
    char name[17] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    return name;
}

// Polls for up to 20 s (qemu is slow); true once `done` holds.
inline bool wait_until(const std::function<bool()> &done)
{
    for (int i = 0; i < 20000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

inline std::uint32_t slot_index(const kova_thread_s *record)
{
    return static_cast<std::uint32_t>(record->slot - kova::thread::slots());
}

// True once the record's thread has given it back.
inline bool slot_freed(const kova_thread_s *record)
{
    return wait_until([&] { return kova::thread::slot_use_count(slot_index(record)) == 0; });
}

inline bool registry_idle()
{
    for (std::uint32_t i = 0; i < KOVA_THRD_SLOTS; ++i)
        if (kova::thread::slot_use_count(i) != 0) return false;
    return true;
}

// Runs `body` in a thread started by `create` (kova_thrd_create by default) and waits for it.
inline void run_in(const std::function<void()> &body, int (*create)(kova_thread_fn, void *, pthread_t *) = kova_thrd_create)
{
    struct Job {
        const std::function<void()> &body;
        std::atomic<bool> done{false};
    } job{body};
    auto entry = [](void *arg) -> void * {
        auto *j = static_cast<Job *>(arg);
        j->body();
        j->done.store(true);  // the last touch of the job
        return nullptr;
    };
    ASSERT_EQ(create(entry, &job, nullptr), 0);
    ASSERT_TRUE(wait_until([&] { return job.done.load(); }));
}

}  // namespace kova::test
