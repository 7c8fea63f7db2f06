#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
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

TEST(Shm, ObjectsAreSharedByNameMappedWithTheirAccessAndDestroyedOnce)
{
    kova::test::TempRoot root;
    kova::test::LogCapture log;
    auto *first = static_cast<uint32_t *>(kova_shm_create("/kova_shm_test", 4096));
    auto *again = static_cast<uint32_t *>(kova_shm_create("kova_shm_test", 4096));
    auto *read_only = static_cast<uint32_t *>(kova_shm_create_ext("kova_shm_test", O_RDONLY, 0, 4096));
    ASSERT_TRUE(first != nullptr && again != nullptr && read_only != nullptr);
    first[1023] = 0x5a5a;
    EXPECT_EQ(again[1023] + read_only[1023], 2 * 0x5a5au);
    int zero = open("/dev/zero", O_RDONLY);
    EXPECT_EQ(read(zero, read_only, 4), -1);  // the kernel cannot write into the mapping either
    EXPECT_EQ(errno, EFAULT);
    close(zero);
    EXPECT_EQ(kova_shm_create_ext("kova_shm_test", O_RDWR | O_CREAT | O_EXCL, 0600, 4096), nullptr);
    EXPECT_TRUE(log.messages().empty());
    for (void *mapping : {first, again, read_only}) munmap(mapping, 4096);

    EXPECT_FALSE(std::ifstream("/dev/shm/kova_shm_test").is_open());  // the product's name is untouched
    EXPECT_EQ(kova_shm_destroy("kova_shm_test") + kova_shm_destroy("kova_shm_test"), -1);
    EXPECT_EQ(kova_shm_create("kova_shm_test", 0), nullptr);
    for (auto text : {format("Destroy shm fail, ret<-1> errno<%d>.", ENOENT), format("Mmap shm mem fail, errno<%d>.", EINVAL),
                      format("Open shm fail, errno<%d>.", EINVAL)})
        EXPECT_EQ(log.count(text), 1u) << text;
}

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
