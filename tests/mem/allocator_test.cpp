#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "kova/kova_mem.h"
#include "mem/alloc.h"
#include "mem_fixture.h"
#include "support/fake_clock.h"

namespace {

using kova::test::MemTest;

using Allocator = MemTest;

TEST_F(Allocator, ZeroBytesIsNullWithoutAMessage)
{
    EXPECT_EQ(kova_mallocsubstandard(381, 0, 0, "caller", 1), nullptr);
    EXPECT_TRUE(log_.messages().empty());
}

TEST_F(Allocator, ANegativeSizeIsRefusedAndReported)
{
    EXPECT_EQ(kova_mallocsubstandard(77, -1, 0, "caller", 1), nullptr);
    EXPECT_EQ(kova_mallocsubstandard(12, INT32_MIN, 9, "caller", 2), nullptr);
    auto first = log_.with_text("Malloc memory fails. PID: (77), size: (-1), type: (1).");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].level, 3);
    EXPECT_EQ(first[0].function, "kova_mallocsubstandard");
    EXPECT_EQ(first[0].file, "mem/kova_mem_manager");
    EXPECT_TRUE(log_.contains("Malloc memory fails. PID: (12), size: (-2147483648), type: (1)."));
}

TEST_F(Allocator, TheMacrosAllocateAndReleaseSilently)
{
    auto *bytes = static_cast<unsigned char *>(KOVA_ALLOC(64));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(kova_memset(bytes, 0x5A, 64), bytes);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(bytes[i], 0x5A);
    KOVA_FREE(bytes);
    EXPECT_TRUE(log_.messages().empty());
}

TEST_F(Allocator, ProcessAllocationSetsTheFlag)
{
    std::int32_t allocated = 0;
    void *p = kova_mallocsubproc(32, &allocated);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(allocated, 1);
    kova_freesubproc(p, allocated);
    p = kova_mallocsubproc(32, nullptr);
    ASSERT_NE(p, nullptr);
    kova_freesubproc(p, 1);
}

TEST_F(Allocator, MemsetLeavesBytesBeyondTheLengthAndToleratesNothingToDo)
{
    unsigned char bytes[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(kova_memset(bytes, 0, 5), bytes);
    EXPECT_EQ(bytes[4], 0);
    EXPECT_EQ(bytes[5], 1);
    EXPECT_EQ(kova_memset(bytes, 0xFF, 0), bytes);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(kova_memset(nullptr, 0, 8), nullptr);
}

TEST_F(Allocator, MappingPassesTheSystemCallsThrough)
{
    long page = sysconf(_SC_PAGESIZE);
    void *p = kova_mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    static_cast<char *>(p)[0] = 1;
    EXPECT_EQ(kova_mprotect(p, page, PROT_READ), 0);
    EXPECT_EQ(kova_mprotect(p, page + 1, PROT_READ | PROT_WRITE), 0);
    EXPECT_EQ(kova_mprotect(static_cast<char *>(p) + 1, page, PROT_READ), -1);
    EXPECT_EQ(kova_munmap(p, page), 0);
    EXPECT_EQ(kova_munmap(nullptr, page), -1);
    EXPECT_EQ(kova_mmap(nullptr, 0, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), MAP_FAILED);
}

// The limiter's state lives as long as the process: start each run well after the last one.
std::uint64_t fresh_start()
{
    static std::uint64_t start = 100'000'000'000'000'000ull;
    start += 10'000'000'000'000ull;
    return start;
}

TEST_F(Allocator, ReleasingNullIsReportedAtMostThreeTimesPerBurstThenSummarised)
{
    constexpr std::uint64_t kSecond = 1'000'000'000ull;
    kova::test::FakeClock clock(kSecond, fresh_start());
    const std::string where = "ptr  is null, function(burst) line(42)";

    for (int i = 0; i < 10; ++i) kova_freesub(nullptr, "burst", 42);
    auto logged = log_.with_text(where);
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0].level, 3);
    EXPECT_EQ(logged[0].function, "kova_freesub");

    // After a quiet minute the line comes back, with a summary of what was held back.
    log_.clear();
    clock.advance(60 * kSecond);
    kova_freesub(nullptr, "burst", 42);
    EXPECT_EQ(log_.count(where), 1u);
    std::string summary;
    for (const auto &m : log_.messages())
        if (m.text.rfind("print: ", 0) == 0) summary = m.text;
    EXPECT_EQ(summary.rfind("print: 7 messages suppressed.kova_freesub,line=", 0), 0u) << summary;

    // A second burst; the next summary waits for ten minutes since the last.
    for (int i = 0; i < 10; ++i) kova_freesub(nullptr, "burst", 42);
    EXPECT_EQ(log_.count(where), 3u);
    log_.clear();
    clock.advance(60 * kSecond);
    kova_freesub(nullptr, "burst", 42);
    EXPECT_EQ(log_.count(where), 1u);
    EXPECT_EQ(log_.messages().size(), 1u);

    log_.clear();
    clock.advance(600 * kSecond);
    KOVA_FREE(nullptr); const unsigned line = __LINE__;
    EXPECT_EQ(log_.count("ptr  is null, function(TestBody) line(" + std::to_string(line) + ")"), 1u);
    bool summarised = false;
    for (const auto &m : log_.messages())
        summarised |= m.text.rfind("print: 8 messages suppressed.kova_freesub,line=", 0) == 0;
    EXPECT_TRUE(summarised);
}

TEST_F(Allocator, ReleasingNullWithoutACallerNameDoesNotCrash)
{
    kova::test::FakeClock clock(1'000'000'000ull, fresh_start());
    kova_freesub(nullptr, nullptr, 7);
    EXPECT_TRUE(log_.contains("ptr  is null, function() line(7)"));
}

}  // namespace
