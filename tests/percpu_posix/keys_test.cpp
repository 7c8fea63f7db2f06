// Thread-specific keys and one-time initialisation: results, and a log line for every failure.
#include <gtest/gtest.h>

#include "kova/kova_percpu_posix.h"
#include "support/log_capture.h"

namespace {

int init_runs = 0;
void count_init() { ++init_runs; }

TEST(Keys, NullIsRefusedUnsetReadsAndFailuresAreLoggedOnceRunsOnce)
{
    kova::test::LogCapture log;
    pthread_key_t key;
    int mine = 1;
    ASSERT_EQ(kova_key_create(&key, nullptr), 0);
    EXPECT_EQ(kova_key_getspecific(key), nullptr);
    EXPECT_EQ(kova_key_setspecific(key, &mine) + kova_key_setspecific(key, nullptr), -1);
    EXPECT_EQ(kova_key_getspecific(key), &mine) << "the refused null left the value in place";
    EXPECT_EQ(kova_key_delete(key), 0);
    EXPECT_EQ(kova_key_getspecific(key), nullptr);
    EXPECT_TRUE(kova_key_delete(key) && kova_key_setspecific(key, &mine) && kova_key_create(nullptr, nullptr) &&
                kova_pthread_init_once(nullptr, count_init));
    for (const char *text : {"param(value) is null !\n", "pthread_key_delete failed!\n", "pthread_setspecific failed!\n",
                             "pthread_key_create failed!\n", "pthread_once failed!\n"})
        EXPECT_EQ(log.count(text), 1u) << text;
    EXPECT_EQ(log.count("pthread_getspecific failed!\n"), 2u) << "one per read of an unset key";
    pthread_once_t once = PTHREAD_ONCE_INIT;
    init_runs = 0;
    EXPECT_EQ(kova_pthread_init_once(&once, count_init) + kova_pthread_init_once(&once, count_init), 0);
    EXPECT_EQ(init_runs, 1);
}

}  // namespace
