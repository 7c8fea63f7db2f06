// What the timer tests share: waiting for events, a log of handler runs, and a fixture that
// drives both timer threads through the counter seam (1 count = 1 ns, frozen until moved).
#pragma once

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_time.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "timer/hr_timer.h"
#include "timer/wheel.h"

namespace kova::test {

using Values = std::vector<std::uint64_t>;

// Returns once `done` holds: a lost event shows as the program's time-out, never as a guess.
template <typename Done> void wait_until(Done done)
{
    while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Reads the wheel's root under its lock.
template <typename Read> auto under_root_lock(Read read)
{
    kova_timer_root_s &r = *kova_get_timer_root();
    kova::timer::lock_timer_root(r);
    auto value = read(r);
    kova::timer::unlock_timer_root(r);
    return value;
}
inline std::uint64_t pending_count() { return under_root_lock([](auto &r) { return r.timerNum; }); }
// Every millisecond before `ms` reached and no handler running (with `drained`, nothing pending).
inline bool wheel_passed(std::uint64_t ms, bool drained = false)
{
    return under_root_lock([&](kova_timer_root_s &r) {  // runningTimer is cleared without the lock
        return r.curMs >= ms && !std::atomic_ref(r.runningTimer).load() && (!drained || !r.timerNum);
    });
}

inline std::mutex fired_lock;
inline Values fired;  // the data of each handler run, in order
inline void record_fired(std::uint64_t data) { std::lock_guard guard(fired_lock); fired.push_back(data); }
inline Values fired_so_far() { std::lock_guard guard(fired_lock); return fired; }
inline void clear_fired() { std::lock_guard guard(fired_lock); fired.clear(); }

class OnFakeClock : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(kova_timer_module_init(), 0);
        clear_fired();
        clock_ = std::make_unique<FakeClock>(1000000000u, kova_time_getnanosec());
    }
    void TearDown() override
    {
        for (auto &t : timers_) kova_timer_delete_sync(t.get());
        clock_.reset();
    }
    void advance_ms(std::uint64_t ms) { clock_->advance(ms * 1000000); }
    // A record set up with `timeout` and `data`, owned by the fixture.
    kova_timer_s *make(std::uint64_t timeout, std::uint64_t data, kova_timer_fn fn = record_fired)
    {
        kova_timer_s *t = timers_.emplace_back(std::make_unique<kova_timer_s>()).get();
        return kova_timer_init(t), kova_timer_set(t, timeout, data, fn), t;
    }

    std::unique_ptr<FakeClock> clock_;
    std::vector<std::unique_ptr<kova_timer_s>> timers_;
};

}  // namespace kova::test
