#include <fcntl.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>

#include <gtest/gtest.h>

#include "kova/kova_shm.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

std::string text(const char *format, int value)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

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
        auto refused = log.with_text(text("Shm name is too long, length<%d> max<255>.", static_cast<int>(name.size())));
        EXPECT_TRUE(refused.size() == 2 && refused[0].level == 3 && refused[0].function == "kova_shm_create_ext" &&
                    refused[1].function == "kova_shm_destroy") << name;
    }
    EXPECT_FALSE(std::ifstream("/dev/shm/" + longest).is_open());  // the product's name is untouched
    EXPECT_EQ(kova_shm_destroy(longest.c_str()) + kova_shm_destroy(longest.c_str()), -1);
    EXPECT_EQ(kova_shm_create("kova_shm_test", 0), nullptr);
    for (auto t : {text("Destroy shm fail, ret<-1> errno<%d>.", ENOENT), text("Open shm fail, errno<%d>.", EINVAL),
                   text("Mmap shm mem fail, errno<%d>.", EINVAL)})
        EXPECT_EQ(log.count(t), 1u) << t;
    EXPECT_EQ(log.count(text("Open shm fail, errno<%d>.", ENAMETOOLONG)), 3u);
}

// Under a test prefix an empty name would become the prefix itself: it must still be refused.
TEST(Shm, EmptyNamesAndInnerSlashesAreRefused)
{
    kova::test::TempRoot root;
    kova::test::LogCapture log;
    for (const char *name : {"", "/", "///", "a/b", "/a/", "//x/y"}) {
        errno = 0;
        EXPECT_EQ(kova_shm_create(name, 4096), nullptr) << name;
        EXPECT_EQ(errno, EINVAL) << name;
        EXPECT_EQ(kova_shm_destroy(name), -1) << name;
    }
    EXPECT_EQ(kova_shm_create(nullptr, 4096), nullptr);
    EXPECT_EQ(kova_shm_destroy(nullptr), -1);
    EXPECT_EQ(log.count(text("Open shm fail, errno<%d>.", EINVAL)), 7u);
    EXPECT_EQ(log.count(text("Destroy shm fail, ret<-1> errno<%d>.", EINVAL)), 6u);
    EXPECT_FALSE(std::ifstream("/dev/shm/" + root.shm_name("")).is_open());
}

TEST(Shm, SystemVSegmentsAttachDetachAndGo)
{
    const int id = kova_shmget(IPC_PRIVATE, 8192);
    ASSERT_GE(id, 0);
    auto *a = static_cast<uint64_t *>(kova_shmat(id));
    auto *b = static_cast<uint64_t *>(kova_shmat(id));
    ASSERT_TRUE(a != nullptr && b != nullptr && a != b);
    a[1000] = 0xC0FFEE;
    EXPECT_EQ(b[1000], 0xC0FFEEu);
    shmid_ds info{};
    ASSERT_EQ(shmctl(id, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_perm.mode & 0777, 0600u);
    EXPECT_EQ(kova_shmdel(id), 0);
    EXPECT_EQ(b[1000], 0xC0FFEEu) << "attached memory stays until detached";
    shmdt(a);
    shmdt(b);
    EXPECT_EQ(kova_shmat(id), nullptr);
    EXPECT_EQ(kova_shmat(-1), nullptr);
    EXPECT_EQ(kova_shmdel(id), -1);
    const int exclusive = kova_shmget_ex(IPC_PRIVATE, 4096, IPC_CREAT | IPC_EXCL | 0400);
    ASSERT_GE(exclusive, 0);
    EXPECT_EQ(kova_shmdel(exclusive), 0);
}

}  // namespace
