#include <algorithm>
#include <climits>

#include "mem/alloc.h"
#include "mem_test.h"
#include "support/fake_clock.h"

namespace {

using Allocator = kova::test::MemTest;

TEST_F(Allocator, RefusesZeroSilentlyAndNegativeSizesLoudly)
{
    EXPECT_EQ(kova_mallocsubstandard(381, 0, 0, "caller", 1), nullptr);
    EXPECT_TRUE(log_.messages().empty());
    EXPECT_EQ(kova_mallocsubstandard(77, -1, 0, "caller", 1), nullptr);
    EXPECT_EQ(kova_mallocsubstandard(12, INT32_MIN, 0, "caller", 2), nullptr);
    auto logged = log_.with_text("Malloc memory fails. PID: (77), size: (-1), type: (1).");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, 3);
    EXPECT_EQ(logged[0].file, "mem/kova_mem_manager");
    EXPECT_TRUE(log_.contains("Malloc memory fails. PID: (12), size: (-2147483648), type: (1)."));

    auto *bytes = static_cast<unsigned char *>(KOVA_ALLOC(8));
    ASSERT_NE(bytes, nullptr);
    bytes[7] = 1;
    EXPECT_EQ(kova_memset(bytes, 0x5A, 7), bytes);
    EXPECT_TRUE(bytes[6] == 0x5A && bytes[7] == 1);
    KOVA_FREE(bytes);
    std::int32_t allocated = 0;
    kova_freesubproc(kova_mallocsubproc(8, &allocated), allocated);
    EXPECT_EQ(allocated, 1);
    EXPECT_EQ(kova_munmap(nullptr, 4096), -1);
    EXPECT_EQ(log_.messages().size(), 2u);
}

TEST_F(Allocator, ReleasingNullIsReportedAtMostThreeTimesPerBurstThenSummarised)
{
    constexpr std::uint64_t kSecond = 1'000'000'000ull;
    kova::test::FakeClock clock(kSecond, 100'000'000'000'000'000ull);
    const std::string where = "ptr  is null, function(burst) line(42)";
    auto summaries = [&](unsigned held) {
        auto all = log_.messages();
        return std::count_if(all.begin(), all.end(), [&](auto &m) {
            return m.text.starts_with(kova::test::format(
                "print: %u messages suppressed.kova_freesub,line=", held));
        });
    };

    for (int i = 0; i < 10; ++i) kova_freesub(nullptr, "burst", 42);
    ASSERT_EQ(log_.count(where), 3u);
    EXPECT_EQ(log_.with_text(where)[0].function, "kova_freesub");
    EXPECT_EQ(log_.with_text(where)[0].level, 3);

    log_.clear();
    clock.advance(60 * kSecond);  // a quiet minute: the line returns with a summary
    for (int i = 0; i < 11; ++i) kova_freesub(nullptr, "burst", 42);
    EXPECT_EQ(log_.count(where), 3u);
    EXPECT_EQ(summaries(7), 1);

    log_.clear();
    clock.advance(60 * kSecond);  // summaries wait ten minutes since the last
    kova_freesub(nullptr, "burst", 42);
    EXPECT_EQ(log_.messages().size(), 1u);

    log_.clear();
    clock.advance(600 * kSecond);
    KOVA_FREE(nullptr); const unsigned line = __LINE__;
    EXPECT_TRUE(log_.contains(kova::test::format("ptr  is null, function(TestBody) line(%u)", line)));
    EXPECT_EQ(summaries(8), 1);
}

}  // namespace
