#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "mem_test.h"

namespace {

using kova::test::format;

// The permissions ("rw-p") of the mapping that holds addr.
std::string protection_of(const void *addr)
{
    std::ifstream maps("/proc/self/maps");
    unsigned long start, end, where = reinterpret_cast<unsigned long>(addr);
    char perms[5] = {};
    for (std::string line; std::getline(maps, line);)
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) == 3 && where >= start &&
            where < end)
            return perms;
    return "";
}

long sixty_four_k() { return 65536; }
long failing_source()
{
    errno = EINVAL;
    return -1;
}

class PageProtection : public kova::test::MemTest {
protected:
    void SetUp() override
    {
        MemTest::SetUp();
        map_ = static_cast<char *>(
            mmap(nullptr, 4 * kLarge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(map_, MAP_FAILED);
        page_ = map_ + (kLarge - reinterpret_cast<unsigned long>(map_) % kLarge);  // 64 KiB aligned
    }
    void TearDown() override
    {
        munmap(map_, 4 * kLarge);
        MemTest::TearDown();
    }
    static constexpr long kLarge = 65536;
    const long system_page_ = sysconf(_SC_PAGESIZE);
    const int pages_ = static_cast<int>(system_page_ / 4096);  // one system page in 4 KiB units
    char *map_ = nullptr;
    char *page_ = nullptr;
};

TEST_F(PageProtection, PageSizeIsReadOnceAndItsFailureReported)
{
    std::uint64_t size = 1;
    EXPECT_EQ(kova_get_sys_page_size(nullptr), -1);
    EXPECT_EQ(log_.count("Get sys page size failed, param err."), 1u);
    kova::mem::set_page_size_source_for_test(failing_source);
    EXPECT_EQ(kova_get_sys_page_size(&size), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(kova_setmemory_ro(page_, pages_), -1);
    auto failed = log_.with_text(format("Get current system page size failed, ret=(-1), errno(%d):%s.",
                                        EINVAL, std::strerror(EINVAL)));
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed[0].level, 6);
    EXPECT_EQ(log_.with_text(format("Get current system page size failed, ret(-1), errno(%d):%s.",
                                    EINVAL, std::strerror(EINVAL)))[0].function,
              "kova_setmemory_ro");

    kova::mem::set_page_size_source_for_test(nullptr);
    EXPECT_EQ(kova_get_sys_page_size(&size), 0);
    EXPECT_EQ(size, static_cast<std::uint64_t>(system_page_));
    kova::mem::set_page_size_source_for_test(failing_source);  // known now: not asked again
    EXPECT_EQ(kova_get_current_page_size(), 0);
    EXPECT_EQ(g_CurSysPageSize, size);
}

TEST_F(PageProtection, BadArgumentsChangeNothing)
{
    EXPECT_EQ(kova_setmemory_ro(page_, 0), -1);
    EXPECT_EQ(kova_setmemory_rw(page_, -1), -1);
    EXPECT_EQ(kova_setmemory_ro(nullptr, 1), -1);
    auto logged = log_.with_text(format("Param is invalied,addr is NULL(%p), numpages is 0.",
                                        static_cast<void *>(page_)));
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[1].function, "kova_setmemory_rw");
    EXPECT_EQ(log_.count("Param is invalied,addr is NULL((nil)), numpages is 0."), 1u);
    EXPECT_EQ(protection_of(page_), "rw-p");
}

TEST_F(PageProtection, APageBecomesReadOnlyThenWritableAgain)
{
    page_[0] = 'a';
    ASSERT_EQ(kova_setmemory_ro(page_, pages_), 0);
    EXPECT_EQ(protection_of(page_), "r--p");
    EXPECT_EQ(protection_of(page_ + system_page_), "rw-p");  // only what was named
    ASSERT_EQ(kova_setmemory_rw(page_, pages_), 0);
    page_[system_page_ - 1] = 'b';
    EXPECT_EQ(page_[0], 'a');
    EXPECT_TRUE(log_.messages().empty());
}

TEST_F(PageProtection, LargePagesRefuseRangesThatCoverPartOfOne)
{
    kova::mem::set_page_size_source_for_test(sixty_four_k);
    EXPECT_EQ(kova_setmemory_ro(page_, 3), -1);
    EXPECT_EQ(kova_setmemory_ro(page_ + 4096, 16), -1);
    for (auto [addr, pages] : {std::pair{page_, 3}, std::pair{page_ + 4096, 16}})
        EXPECT_EQ(log_.count(format("Param is invalied, page_addr(0x%lx), numpages(%d), "
                                    "g_CurSysPageSize(65536).",
                                    reinterpret_cast<unsigned long>(addr), pages)),
                  1u);
    EXPECT_EQ(protection_of(page_ + 4096), "rw-p");
    EXPECT_EQ(kova_setmemory_ro(page_, 16), 0);
    EXPECT_EQ(protection_of(page_ + kLarge - 1), "r--p");
}

TEST_F(PageProtection, AFailedProtectReturnsItsErrno)
{
    char *gone = page_ + kLarge;
    ASSERT_EQ(munmap(gone, system_page_), 0);
    EXPECT_EQ(kova_setmemory_rw(gone, pages_), ENOMEM);
    EXPECT_TRUE(log_.contains(format("set page protect read failed, page_addr(0x%lx), errno(%d):%s.",
                                     reinterpret_cast<unsigned long>(gone), ENOMEM,
                                     std::strerror(ENOMEM))));
}

}  // namespace
