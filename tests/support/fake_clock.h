// Substitutes the processor counter (and optionally its frequency) while it lives, so that
// tests move time by hand. The time base is recomputed on entry and on exit.
#pragma once

#include <atomic>
#include <cstdint>

namespace kova::test {

class FakeClock {
public:
    // `frequency` counts per second; the counter starts at `start`.
    explicit FakeClock(std::uint64_t frequency = 1000000000u, std::uint64_t start = 1000000000000u);
    ~FakeClock();
    FakeClock(const FakeClock &) = delete;
    FakeClock &operator=(const FakeClock &) = delete;

    // Both wake the library's sleepers, so that they look at the clock again.
    void set(std::uint64_t counter);
    void advance(std::uint64_t counts);
    // Every read adds `step` counts after returning the current value.
    void step_per_read(std::uint64_t step) { step_.store(step); }
    std::uint64_t reads() const { return reads_.load(); }
    std::uint64_t now() const { return counter_.load(); }

private:
    static std::uint64_t read();
    static std::atomic<std::uint64_t> counter_;
    static std::atomic<std::uint64_t> step_;
    static std::atomic<std::uint64_t> reads_;
};

}  // namespace kova::test
