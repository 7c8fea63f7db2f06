// The checked POSIX timer wrappers.
#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_timer_posix.h"
#include "support/log_capture.h"

namespace {

TEST(PosixTimer, RefusesBadArgumentsAndPassesTheRestThrough)
{
    kova::test::LogCapture log;
    sigevent none{};
    none.sigev_notify = SIGEV_NONE;
    timer_t id{}, bogus = reinterpret_cast<timer_t>(static_cast<std::intptr_t>(123456));
    EXPECT_EQ(kova_timer_create_posix(4, &none, &id) + kova_timer_create_posix(~0u, &none, &id), -44);
    EXPECT_EQ(kova_timer_create_posix(1, nullptr, &id), -22);
    for (const std::string &text : std::vector<std::string>{"Argument clockid: 4 is out of range in kova_timer_create_posix!\n",
                             "Argument clockid: -1 is out of range in kova_timer_create_posix!\n",
                             (std::ostringstream() << "Argument NULL in kova_timer_create_posix, evp: 0x0, timerid: "
                                                   << &id << "!\n").str()})
        EXPECT_EQ(log.count(text), 1u) << text;
    for (uint32_t clock : {0u, 1u, 2u, 3u})
        EXPECT_EQ(kova_timer_create_posix(clock, &none, &id) + kova_timer_delete_posix(id), 0) << clock;
    ASSERT_EQ(kova_timer_create_posix(CLOCK_MONOTONIC, &none, &id), 0);
    itimerspec armed{{0, 0}, {1000, 0}}, old{};
    EXPECT_EQ(kova_timer_settime_posix(id, 0, &armed, nullptr) + kova_timer_settime_posix(id, 0, &armed, &old), 0);
    EXPECT_GT(old.it_value.tv_sec, 900) << "a null old value was passed through, a real one filled";
    EXPECT_EQ(kova_timer_settime_posix(id, 0, nullptr, &old) + kova_timer_gettime_posix(id, nullptr), -44);
    EXPECT_EQ(log.messages().back().text.rfind("Argument NULL in kova_timer_gettime_posix, timerid: 0x", 0), 0u);
    EXPECT_EQ(kova_timer_delete_posix(id), 0);
    errno = 0;
    EXPECT_EQ(kova_timer_getoverrun_posix(bogus) + kova_timer_delete_posix(bogus), -2);
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
