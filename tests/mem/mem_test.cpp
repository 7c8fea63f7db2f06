#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_mem.h"
#include "mem/alloc.h"
#include "mem/mem_internal.h"
#include "support/command_intercept.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/print_capture.h"
#include "support/temp_root.h"

namespace {

// Each test starts and ends with the family's caches forgotten.
class MemTest : public ::testing::Test {
protected:
    void SetUp() override { kova::mem::reset_caches_for_test(); }
    void TearDown() override { kova::mem::reset_caches_for_test(); }
    kova::test::LogCapture log_;
};

std::string format(const char *fmt, auto... args)
{
    char text[512];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

using Allocator = MemTest;
using kova::mem::used_bytes;

TEST_F(Allocator, RefusesZeroSilentlyAndNegativeSizesLoudly)
{
    EXPECT_TRUE(kova_mallocsubstandard(381, 0, 0, "caller", 1) == nullptr && log_.messages().empty());
    EXPECT_EQ(kova_mallocsubstandard(77, -1, 0, "caller", 1), nullptr);
    EXPECT_EQ(kova_mallocsubstandard(12, INT32_MIN, 0, "caller", 2), nullptr);
    auto logged = log_.with_text("Malloc memory fails. PID: (77), size: (-1), type: (1).");
    EXPECT_TRUE(logged.size() == 1 && logged[0].level == 3 && logged[0].file == "mem/kova_mem_manager");
    EXPECT_TRUE(log_.contains("Malloc memory fails. PID: (12), size: (-2147483648), type: (1)."));

    auto *bytes = static_cast<unsigned char *>(KOVA_ALLOC(8));
    ASSERT_NE(bytes, nullptr);
    bytes[7] = 1;
    EXPECT_TRUE(kova_memset(bytes, 0x5A, 7) == bytes && bytes[6] == 0x5A && bytes[7] == 1) << "the bound is the length";
    KOVA_FREE(bytes);
    EXPECT_TRUE(kova_munmap(nullptr, 4096) == -1 && log_.messages().size() == 2);
}

// The call site's own limiter (its timing is the limiter's test): three lines a burst, and the
// next line after a quiet spell comes with a summary naming the call site.
TEST_F(Allocator, ReleasingNullIsReportedAtMostThreeTimesPerBurst)
{
    static std::uint64_t start = 100'000'000'000'000'000ull;  // later in every repetition: the limiter remembers
    kova::test::FakeClock clock(1'000'000'000ull, start += 1'000'000'000'000'000ull);
    for (int i = 0; i < 10; ++i) kova_freesub(nullptr, "burst", 42);
    auto logged = log_.with_text("ptr  is null, function(burst) line(42)");
    EXPECT_TRUE(logged.size() == 3 && logged[0].function == "kova_freesub" && logged[0].level == 3);
    log_.clear();
    clock.advance(600'000'000'000ull);
    KOVA_FREE(nullptr); const unsigned line = __LINE__;
    EXPECT_TRUE(log_.contains(format("ptr  is null, function(TestBody) line(%u)", line)));
    auto all = log_.messages();
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](auto &m) {
        return m.text.starts_with("print: 7 messages suppressed.kova_freesub,line=");
    }), 1);
}

// Owners past the table count under owner 0; only the low 32 bits of a count count, unsigned;
// concurrent updates are never lost.
TEST(MemUsage, CountersFoldSumExactlyUnderConcurrentUpdatesAndShow)
{
    kova_mem_stat_add(4, 0x100000005ull);
    kova_mem_stat_add(4, 0xFFFFFFFFull);
    EXPECT_EQ(used_bytes(4), 5 + 4294967295ll);
    kova_mem_stat_sub(4, 0xFFFFFFFFull);
    kova_mem_stat_sub(4, 0x700000006ull);
    EXPECT_EQ(used_bytes(4), -1);
    kova_mem_stat_add(4, 1);
    constexpr int kThreads = 4, kRounds = 20000;
    std::int64_t zero = used_bytes(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < kRounds; ++i) {
                kova_mem_stat_add(9, 3);
                kova_mem_stat_sub(9, 1);
                kova_mem_stat_add(i % 2 ? 5000 : KOVA_MEM_OWNERS, 1);
                kova_mem_stat_sub(0, 1);
            }
        });
    for (std::thread &t : threads) t.join();
    EXPECT_TRUE(used_bytes(9) == 2ll * kThreads * kRounds && used_bytes(0) == zero) << used_bytes(0) - zero;
    kova_mem_stat_sub(9, 2ull * kThreads * kRounds);

    // The table shows the non-zero counters, five to a line, and their total.
    const std::pair<std::uint32_t, std::uint64_t> counts[] = {{1, 1}, {100, 7}, {512, 12345}, {1023, 0xFFFFFFFFu}};
    for (auto [owner, bytes] : counts) kova_mem_stat_add(owner, bytes);
    kova_mem_stat_add(3, 100);
    kova_mem_stat_sub(3, 40);
    kova_mem_stat_sub(2, 5);
    kova_mem_show(nullptr);
    kova::test::printed_text().clear();
    kova_mem_show(kova::test::capture_print);
    const std::string header = "| PID         UsedMem ";
    EXPECT_EQ(kova::test::printed_text(), "Begin to show used memory (Bytes) of all PID.\n" + header + header + header +
                                              header + header + "\n"
                                              "| 1                 1 | 2                -5 | 3                60 "
                                              "| 100               7 | 512           12345 \n"
                                              "| 1023     4294967295 \nTotal used memory: 4294979703\n");
    for (auto [owner, bytes] : counts) kova_mem_stat_sub(owner, bytes);
    kova_mem_stat_sub(3, 60);
    kova_mem_stat_add(2, 5);
}

struct Meminfo : MemTest {
    kova::test::TempRoot root_;
    std::uint64_t value_ = 99;
};

// Counts without a unit sit between the sizes, as in the kernel's own file.
TEST_F(Meminfo, ReadsSizesAndCountsAroundLinesWithoutAUnit)
{
    root_.write("/proc/meminfo", "MemTotal:  1000 kB\nMemFreeish: 5 kB\nHugePages_Total:   0\n"
                                 "HugePages_Free:   7\nComment: " + std::string(400, 'x') +
                                 " MemFree: 5 kB\nMemFree:   300 kB\nMemAvailable:  250 kB\n");
    EXPECT_TRUE(kova_get_free_mem(&value_) == 0 && value_ == 300) << value_;
    EXPECT_TRUE(kova::mem::meminfo_value("HugePages_Free:", &value_) == 0 && value_ == 7) << value_;
    EXPECT_EQ(kova_get_available_usage(), 75);
    EXPECT_TRUE(kova::mem::meminfo_value("Absent:", &value_) == -1 && value_ == 0) << value_;
    EXPECT_TRUE(log_.messages().empty());
}

TEST_F(Meminfo, FailuresAreReportedAndNotRememberedCacheDropStatusIsPassedOn)
{
    EXPECT_EQ(kova_get_total_mem(&value_), -1);
    EXPECT_EQ(kova_get_available_usage(), 0);
    auto logged = log_.with_text("Fopen /proc/meminfo fail errno 2.");
    EXPECT_TRUE(logged.size() == 2 && logged[0].level == 6);
    EXPECT_EQ(kova_get_free_mem(nullptr) + kova_get_total_mem(nullptr), -2);
    EXPECT_EQ(log_.count("Parameter is null."), 2u);

    root_.write("/proc/meminfo", "MemTotal: 1000 kB\n");
    EXPECT_EQ(kova_get_available_usage(), 0);  // no MemAvailable
    root_.write("/proc/meminfo", "MemTotal: 2000 kB\nMemAvailable: 1001 kB\n");
    EXPECT_TRUE(kova_get_total_mem(&value_) == 0 && value_ == 1000) << "read once";
    EXPECT_EQ(kova_get_available_usage(), 0);  // more available than installed

    kova::test::CommandIntercept intercept;  // the cache drop: the exact command, its status
    EXPECT_EQ(kova_release_mem(), 0);
    EXPECT_EQ(intercept.commands(), std::vector<std::string>{"sync;echo 3 > /proc/sys/vm/drop_caches;"});
    intercept.answer("sync", 1);
    EXPECT_EQ(kova_release_mem(), -1);
}

long open_descriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// Each answer of the command: its exit code and output, or nullptr when it cannot be started.
TEST_F(Meminfo, BoardSizeIsAWholePositiveNumberFromTheRealPipelineReadOnce)
{
    const std::string file = root_.path("/proc/brdp/bsp");
    const std::string command = "cat " + file + " | grep 'System have' | awk '{print $3}'";
    {
        kova::test::CommandIntercept intercept;
        EXPECT_EQ(kova_get_memsize_from_bsp(nullptr), -1);
        EXPECT_TRUE(kova_get_memsize_from_bsp(&value_) == 1 && value_ == 99 && intercept.commands().empty());
    }
    EXPECT_TRUE(log_.count("input null ptr.") == 1 &&
                log_.contains("file(" + file + ") is not exist or no right to read, errno(2)."));

    root_.write("/proc/brdp/bsp", "Board: 0x31\nSystem have 65536 MB memory\nCPU: 8\n");
    long descriptors = open_descriptors();
    const std::string not_a_size = "Get total mem size failed";
    struct Case { const char *output; int exit_code; std::string logged; } cases[] = {
        {"0\n", 0, not_a_size},     {"abc\n", 0, not_a_size},       {"12abc\n", 0, not_a_size}, {"-5\n", 0, not_a_size},
        {"99999999999999999999999\n", 0, not_a_size}, {"", 1, "Fgets error, errno("}, {nullptr, 0, "Cmd " + command}};
    for (const Case &c : cases) {
        kova::test::CommandIntercept intercept;
        c.output ? intercept.answer("cat ", c.exit_code, c.output) : intercept.fail_spawn("cat ");
        log_.clear();
        EXPECT_EQ(kova_get_memsize_from_bsp(&value_), -1) << c.logged;
        auto logged = log_.messages();
        EXPECT_TRUE(logged.size() == 1 && logged[0].text.starts_with(c.logged) && value_ == 99 && g_TotalMemSize == 0)
            << c.logged;
    }
    EXPECT_EQ(open_descriptors(), descriptors);
    log_.clear();
    kova::test::CommandIntercept intercept;  // interceptors do not nest: a fresh one
    intercept.pass_through();
    EXPECT_TRUE(kova_get_memsize_from_bsp(&value_) == 0 && value_ == 65536 && g_TotalMemSize == 65536);
    value_ = 0;
    EXPECT_TRUE(kova_get_memsize_from_bsp(&value_) == 0 && value_ == 65536) << "remembered";
    EXPECT_TRUE(intercept.commands() == std::vector<std::string>{command} && log_.messages().empty());
}

// The permissions ("rw-p") of the mapping that holds addr.
std::string protection_of(const void *addr)
{
    std::ifstream maps("/proc/self/maps");
    unsigned long start, end, where = reinterpret_cast<unsigned long>(addr);
    char perms[5] = {};
    for (std::string line; std::getline(maps, line);)
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) == 3 && where >= start && where < end)
            return perms;
    return "";
}

long sixty_four_k() { return 65536; }
long failing_source() { return errno = EINVAL, -1; }

class PageProtection : public MemTest {
protected:
    ~PageProtection() override { munmap(map_, 4 * kLarge); }
    static constexpr long kLarge = 65536;
    const long system_page_ = sysconf(_SC_PAGESIZE);
    const int pages_ = static_cast<int>(system_page_ / 4096);  // one system page in 4 KiB units
    char *map_ = static_cast<char *>(mmap(nullptr, 4 * kLarge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0));
    char *page_ = map_ + (kLarge - reinterpret_cast<unsigned long>(map_) % kLarge);  // 64 KiB aligned
};

TEST_F(PageProtection, PageSizeIsReadOnceAndRangesChangeExactlyWhatTheyName)
{
    std::uint64_t size = 1;
    EXPECT_TRUE(kova_get_sys_page_size(nullptr) == -1 && log_.count("Get sys page size failed, param err.") == 1);
    kova::mem::set_page_size_source_for_test(failing_source);
    EXPECT_TRUE(kova_get_sys_page_size(&size) == -1 && size == 0);
    EXPECT_EQ(kova_setmemory_ro(page_, pages_), -1);
    const auto text = format("Get current system page size failed, ret%%s(-1), errno(22):%s.", strerror(EINVAL));
    auto in = log_.with_text(format(text.c_str(), "=")), out = log_.with_text(format(text.c_str(), ""));
    EXPECT_TRUE(in.size() == 2 && in[0].level == 6 && out.size() == 1 && out[0].function == "kova_setmemory_ro");

    kova::mem::set_page_size_source_for_test(nullptr);
    EXPECT_TRUE(kova_get_sys_page_size(&size) == 0 && size == static_cast<std::uint64_t>(system_page_));
    kova::mem::set_page_size_source_for_test(failing_source);  // known now: not asked again
    EXPECT_TRUE(kova_get_current_page_size() == 0 && g_CurSysPageSize == size);
    log_.clear();

    page_[0] = 'a';
    ASSERT_EQ(kova_setmemory_ro(page_, pages_), 0);
    EXPECT_EQ(protection_of(page_) + protection_of(page_ + system_page_), "r--prw-p");  // only what was named
    ASSERT_EQ(kova_setmemory_rw(page_, 2 * pages_), 0);  // over the two parts of one mapping
    page_[2 * system_page_ - 1] = 'b';
    EXPECT_TRUE(page_[0] == 'a' && protection_of(page_ + 2 * system_page_) == "rw-p");
    kova::mem::reset_caches_for_test();
    kova::mem::set_page_size_source_for_test(sixty_four_k);
    EXPECT_TRUE(kova_setmemory_ro(page_, 16) == 0 && protection_of(page_ + kLarge - 1) == "r--p");
    EXPECT_TRUE(log_.messages().empty());
}

// A refused range changes nothing, even in front of a gap (where mprotect itself would have
// changed the mappings before the gap and then failed), and never reaches another object's mapping.
TEST_F(PageProtection, RefusedRangesChangeNothing)
{
    char *gone = page_ + kLarge, *other = page_ + 2 * kLarge;
    ASSERT_EQ(munmap(gone, system_page_), 0);
    int file = memfd_create("kova-page-test", 0);
    ASSERT_TRUE(file >= 0 && ftruncate(file, system_page_) == 0);
    ASSERT_EQ(mmap(other, system_page_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, file, 0), other);
    close(file);
    const int up_to_gap = static_cast<int>((kLarge + system_page_) / 4096);
    const std::string invalid = "Param is invalied,addr is NULL(%p), numpages is 0.";
    const std::string partial = "Param is invalied, page_addr(0x%lx), numpages(%d), g_CurSysPageSize(65536).";
    const auto failed = format("set page protect read failed, page_addr(0x%%lx), errno(12):%s.", strerror(ENOMEM));
    struct Case { char *addr; int pages, result; std::string logged; bool large_pages = false; } cases[] = {
        {page_, 0, -1, format(invalid.c_str(), page_)}, {page_, -1, -1, format(invalid.c_str(), page_)},
        {nullptr, 1, -1, format(invalid.c_str(), nullptr)},
        {page_, 3, -1, format(partial.c_str(), page_, 3), true},
        {page_ + 4096, 16, -1, format(partial.c_str(), page_ + 4096, 16), true},
        {page_, up_to_gap, ENOMEM, format(failed.c_str(), page_)},  // in front of a gap
        {gone, pages_, ENOMEM, format(failed.c_str(), gone)},
        {other - system_page_, 2 * pages_, ENOMEM, format(failed.c_str(), other - system_page_)},  // into a file
        {other, 2 * pages_, ENOMEM, format(failed.c_str(), other)},  // out of a file
    };
    for (const Case &c : cases) {
        kova::mem::reset_caches_for_test();
        kova::mem::set_page_size_source_for_test(c.large_pages ? sixty_four_k : nullptr);
        log_.clear();
        EXPECT_EQ(kova_setmemory_ro(c.addr, c.pages), c.result) << c.logged;
        auto logged = log_.messages();
        EXPECT_TRUE(logged.size() == 1 && logged[0].text == c.logged && logged[0].level == 3) << c.logged;
        EXPECT_EQ(protection_of(page_) + protection_of(page_ + 4096) + protection_of(other - 1) + protection_of(other),
                  "rw-prw-prw-prw-s") << c.logged;
    }
    EXPECT_EQ(kova_setmemory_rw(nullptr, 1), -1);
    EXPECT_EQ(log_.with_text(format(invalid.c_str(), nullptr)).at(0).function, "kova_setmemory_rw");
}

}  // namespace
