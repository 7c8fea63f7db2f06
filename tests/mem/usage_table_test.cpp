#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_mem.h"
#include "mem/mem_internal.h"

namespace {

using kova::mem::used_bytes;

std::string printed;

int capture_print(const char *format, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    printed += buffer;
    return n;
}

// Adds on construction and takes the same amount back, so that tests leave the process-wide
// counters as they found them.
struct Counted {
    Counted(std::uint32_t owner, std::uint64_t bytes) : owner(owner), bytes(bytes)
    {
        kova_mem_stat_add(owner, bytes);
    }
    ~Counted() { kova_mem_stat_sub(owner, bytes); }
    std::uint32_t owner;
    std::uint64_t bytes;
};

TEST(MemHead, InitialisesEveryField)
{
    kova_mem_head_s head{1, 2, 3, 4};
    kova_mem_init_head(&head, 0xAABBCCDD, 7);
    EXPECT_EQ(head.magic, 0xF5F5F5F5u);
    EXPECT_EQ(head.first, 0xAABBCCDDu);
    EXPECT_EQ(head.second, 7u);
    EXPECT_EQ(head.reserved, 0u);
    kova_mem_init_head(nullptr, 1, 2);
    static_assert(sizeof(kova_mem_head_s) == 16);
}

TEST(MemUsage, OwnersBeyondTheTableCountUnderOwnerZero)
{
    std::int64_t before = used_bytes(0);
    {
        Counted beyond(5000, 11);
        Counted last_slot_plus_one(KOVA_MEM_OWNERS, 2);
        EXPECT_EQ(used_bytes(0), before + 13);
        EXPECT_EQ(used_bytes(KOVA_MEM_OWNERS - 1), 0);
    }
    EXPECT_EQ(used_bytes(0), before);
    {
        Counted last(KOVA_MEM_OWNERS - 1, 5);
        EXPECT_EQ(used_bytes(KOVA_MEM_OWNERS - 1), 5);
        EXPECT_EQ(used_bytes(0), before);
    }
}

TEST(MemUsage, OnlyTheLowThirtyTwoBitsCount)
{
    kova_mem_stat_add(4, 0x100000005ull);
    EXPECT_EQ(used_bytes(4), 5);
    kova_mem_stat_add(4, 0xFFFFFFFFull);
    EXPECT_EQ(used_bytes(4), 5 + 4294967295ll);
    kova_mem_stat_sub(4, 0xFFFFFFFFull);
    kova_mem_stat_sub(4, 0x700000005ull);
    EXPECT_EQ(used_bytes(4), 0);
}

TEST(MemUsage, CountersMayGoNegative)
{
    kova_mem_stat_sub(6, 10);
    EXPECT_EQ(used_bytes(6), -10);
    kova_mem_stat_add(6, 10);
    EXPECT_EQ(used_bytes(6), 0);
}

TEST(MemUsage, ConcurrentAddsAndSubsSumExactly)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::int64_t owner_zero = used_bytes(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kRounds; ++i) {
                kova_mem_stat_add(9, 3);
                kova_mem_stat_sub(9, 1);
                kova_mem_stat_add(2000, 1);
                kova_mem_stat_sub(2000, 1);
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(used_bytes(9), 2ll * kThreads * kRounds);
    EXPECT_EQ(used_bytes(0), owner_zero);
    kova_mem_stat_sub(9, 2ull * kThreads * kRounds);
    EXPECT_EQ(used_bytes(9), 0);
}

TEST(MemShow, NothingForANullPrint) { kova_mem_show(nullptr); }

TEST(MemShow, PrintsNonZeroCountersFiveToALineAndTheirTotal)
{
    Counted owner3_add(3, 100);
    kova_mem_stat_sub(3, 40);
    Counted owner1(1, 1);
    Counted owner100(100, 7);
    Counted owner512(512, 12345);
    Counted owner1023(1023, 0xFFFFFFFFu);
    kova_mem_stat_sub(2, 5);

    printed.clear();
    kova_mem_show(capture_print);
    const std::string header = "| PID         UsedMem ";
    std::string expected = "Begin to show used memory (Bytes) of all PID.\n" + header + header +
                           header + header + header + "\n" +
                           "| 1                1 "
                           "| 2               -5 "
                           "| 3               60 "
                           "| 100              7 "
                           "| 512          12345 \n"
                           "| 1023    4294967295 "
                           "\nTotal used memory: 4294979703\n";
    EXPECT_EQ(printed, expected);

    kova_mem_stat_add(3, 40);
    kova_mem_stat_add(2, 5);
}

TEST(MemShow, ExactlyFiveEntriesEndWithTheirLineBreak)
{
    std::vector<std::unique_ptr<Counted>> counted;
    for (std::uint32_t owner = 10; owner < 15; ++owner)
        counted.push_back(std::make_unique<Counted>(owner, owner));
    printed.clear();
    kova_mem_show(capture_print);
    std::string tail = "| 14              14 \n\nTotal used memory: 60\n";
    ASSERT_GE(printed.size(), tail.size());
    EXPECT_EQ(printed.substr(printed.size() - tail.size()), tail);
}

TEST(MemShow, AnEmptyTableShowsOnlyTheHeaderAndZero)
{
    printed.clear();
    kova_mem_show(capture_print);
    EXPECT_EQ(printed.substr(printed.find("\n\n")), "\n\nTotal used memory: 0\n");
    EXPECT_EQ(kova_mem_stat_dump(), 0);
}

}  // namespace
