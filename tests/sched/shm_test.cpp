#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_shm.h"
#include "sched_test.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "thread/thread_watch.h"

namespace {

using kova::test::format;

TEST(ThreadWatch, ValueIsPublishedUnderTheMagicInSharedMemory)
{
    kova::test::TempRoot root;
    const std::string object = root.shm_name("kovaThreadWatch");
    kova::thread::reset_thread_watch_for_test();
    std::vector<std::thread> first_users;  // race to map the object: one mapping must result
    for (int i = 0; i < 4; ++i) first_users.emplace_back([] { EXPECT_EQ(kova_thread_watch_get(), 0u); });
    for (auto &user : first_users) user.join();
    std::ifstream maps("/proc/self/maps");
    int mappings = 0;
    for (std::string line; std::getline(maps, line);) mappings += line.ends_with(object);
    EXPECT_EQ(mappings, 1);

    EXPECT_EQ(kova_thread_watch_add(0x1234), 0);
    EXPECT_EQ(kova_thread_watch_get(), 0x1234u);
    uint32_t word[2] = {};  // as another process sees the object
    std::ifstream("/dev/shm/" + object, std::ios::binary).read(reinterpret_cast<char *>(word), sizeof word);
    EXPECT_TRUE(word[0] == KOVA_THREAD_WATCH_MAGIC && word[1] == 0x1234u);
    EXPECT_EQ(kova_thread_watch_del(), 0);
    EXPECT_EQ(kova_thread_watch_get(), 0u);
    kova::thread::reset_thread_watch_for_test();
}

}  // namespace
