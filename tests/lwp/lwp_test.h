// Shared by the LWP tests: each test starts from fresh tables with its own configuration, on a
// frozen clock 10,000 s later than the last test's, so no earlier rate limiter holds a message back.
#pragma once

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "kova/kova_lwp.h"
#include "lwp/lwp_internal.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace kova::test {

template <typename... Args>
std::string text(const char *format, Args... args)
{
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

inline std::uint64_t next_clock_start()
{
    static std::uint64_t start = 1000000000000u;
    return start += 10000000000000u;
}

class LwpTest : public ::testing::Test {
protected:
    FakeClock clock_{1000000000u, next_clock_start()};
    void SetUp() override
    {
        kova::lwp::reset_for_test();
        configure();
        ASSERT_EQ(LwpModuleInit(), 0);
    }
    void TearDown() override
    {
        g_lwpInstCurrent = nullptr;
        kova::lwp::reset_for_test();
    }
    virtual void configure() {}

    static std::uint64_t word(std::uint64_t id) { return kova::lwp::word_of(LwpInstInfoFind(id)).load(); }
    static std::uint32_t state(std::uint64_t id) { return kova::lwp::state_of(word(id)); }
    static std::uint64_t make(const char *name = "inst", std::uint32_t domain = 0)
    {
        return LwpInstNew(name, domain, 0, nullptr, nullptr);
    }
};

}  // namespace kova::test
