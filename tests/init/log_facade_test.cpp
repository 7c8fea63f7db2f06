#include <gtest/gtest.h>

#include "kova/kova_log.h"
#include "support/log_capture.h"

namespace {

int calls = 0;
void count_call(const kovalog_message_s *) { ++calls; }

TEST(LogFacade, ForwardsLevelsAndRateLimits)
{
    int saved = kova_log_level_get(12);
    EXPECT_EQ(kova_log_level_set(12, 2), 0);
    EXPECT_EQ(kovalog_loglevel_get(12), 2);
    EXPECT_EQ(kova_log_level_get(12), 2);
    EXPECT_EQ(kova_log_level_set(5000, 2), -1);
    kova_log_level_set(12, saved);
    EXPECT_EQ(kova_ratelimit_set(5000, 1, 1), -1) << "an unknown module has no group";
    EXPECT_EQ(kova_ratelimit_set(12, 0, 0), 0);
}

TEST(LogFacade, NullRegistrationEmptiesSlotZero)
{
    kovalog_content_callback_s registration{0, &count_call};
    ASSERT_EQ(kova_log_register_callback(&registration), 0);
    calls = 0;
    kovalog(12, 3, "f", 1, "g", 0, "seen");
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(kova_log_register_callback(nullptr), 0);
    kovalog(12, 3, "f", 1, "g", 0, "not seen");
    EXPECT_EQ(calls, 1);
}

}  // namespace
