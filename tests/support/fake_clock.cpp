#include "support/fake_clock.h"

#include "kova/kova_time.h"
#include "platform/clock.h"

namespace kova::test {

std::atomic<std::uint64_t> FakeClock::counter_{0};
std::atomic<std::uint64_t> FakeClock::step_{0};
std::atomic<std::uint64_t> FakeClock::reads_{0};

FakeClock::FakeClock(std::uint64_t frequency, std::uint64_t start)
{
    counter_.store(start);
    step_.store(0);
    reads_.store(0);
    kova::platform::set_counter_frequency(frequency);
    kova::platform::set_counter_source(&FakeClock::read);
    kova_CheckCurrCpu();
}

FakeClock::~FakeClock()
{
    kova::platform::set_counter_source(nullptr);
    kova::platform::set_counter_frequency(std::nullopt);
    kova_CheckCurrCpu();
}

void FakeClock::set(std::uint64_t counter)
{
    counter_.store(counter);
    kova::platform::counter_moved();
}

void FakeClock::advance(std::uint64_t counts)
{
    counter_.fetch_add(counts);
    kova::platform::counter_moved();
}

std::uint64_t FakeClock::read()
{
    reads_.fetch_add(1);
    return counter_.fetch_add(step_.load());
}

}  // namespace kova::test
