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

// Names are never cut (two long names sharing their first NAME_MAX characters would map one
// object): a name the system cannot hold, test prefix included, is refused.
TEST(Shm, ObjectsAreSharedByNameMappedWithTheirAccessAndDestroyedOnce)
{
    kova::test::TempRoot root;
    kova::test::LogCapture log;
    const std::string longest(NAME_MAX - root.shm_name("").size(), 'n');
    auto *first = static_cast<uint32_t *>(kova_shm_create(("/" + longest).c_str(), 4096));
    auto *again = static_cast<uint32_t *>(kova_shm_create(longest.c_str(), 4096));
    auto *read_only = static_cast<uint32_t *>(kova_shm_create_ext(longest.c_str(), O_RDONLY, 0, 4096));
    ASSERT_TRUE(first != nullptr && again != nullptr && read_only != nullptr);
    first[1023] = 0x5a5a;
    EXPECT_EQ(again[1023] + read_only[1023], 2 * 0x5a5au);
    int zero = open("/dev/zero", O_RDONLY);
    EXPECT_TRUE(read(zero, read_only, 4) == -1 && errno == EFAULT) << "the kernel cannot write into it either";
    close(zero);
    EXPECT_EQ(kova_shm_create_ext(longest.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600, 4096), nullptr);
    EXPECT_TRUE(log.messages().empty());
    for (void *mapping : {first, again, read_only}) munmap(mapping, 4096);

    for (const std::string &name : {longest + "a", std::string(300, 'n'), "/" + longest + "c"}) {
        errno = 0;
        EXPECT_TRUE(kova_shm_create(name.c_str(), 4096) == nullptr && errno == ENAMETOOLONG) << name;
        EXPECT_EQ(kova_shm_destroy(name.c_str()), -1);
        auto refused = log.with_text(format("Shm name is too long, length<%zu> max<%d>.", name.size(), NAME_MAX));
        EXPECT_TRUE(refused.size() == 2 && refused[0].level == 3 && refused[0].function == "kova_shm_create_ext" &&
                    refused[1].function == "kova_shm_destroy") << name;
    }
    EXPECT_FALSE(std::ifstream("/dev/shm/" + longest).is_open());  // the product's name is untouched
    EXPECT_EQ(kova_shm_destroy(longest.c_str()) + kova_shm_destroy(longest.c_str()), -1);
    EXPECT_EQ(kova_shm_create("kova_shm_test", 0), nullptr);
    for (auto t : {format("Destroy shm fail, ret<-1> errno<%d>.", ENOENT), format("Open shm fail, errno<%d>.", EINVAL),
                   format("Mmap shm mem fail, errno<%d>.", EINVAL)})
        EXPECT_EQ(log.count(t), 1u) << t;
    EXPECT_EQ(log.count(format("Open shm fail, errno<%d>.", ENAMETOOLONG)), 3u);
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
