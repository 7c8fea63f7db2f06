#include <cstdarg>
#include <thread>
#include <vector>

#include "mem_test.h"
#include "support/print_capture.h"

namespace {

using kova::mem::used_bytes;

using kova::test::capture_print;

TEST(MemUsage, OwnersBeyondTheTableAndHighBitsFoldAway)
{
    std::int64_t zero = used_bytes(0);
    kova_mem_stat_add(5000, 11);
    kova_mem_stat_add(KOVA_MEM_OWNERS, 2);
    EXPECT_EQ(used_bytes(0), zero + 13);
    kova_mem_stat_sub(5000, 13);
    EXPECT_EQ(used_bytes(0), zero);

    kova_mem_stat_add(4, 0x100000005ull);   // only the low 32 bits count...
    kova_mem_stat_add(4, 0xFFFFFFFFull);    // ...and they count as unsigned
    EXPECT_EQ(used_bytes(4), 5 + 4294967295ll);
    kova_mem_stat_sub(4, 0xFFFFFFFFull);
    kova_mem_stat_sub(4, 0x700000006ull);
    EXPECT_EQ(used_bytes(4), -1);
    kova_mem_stat_add(4, 1);

    kova_mem_head_s head{1, 2, 3, 4};
    kova_mem_init_head(&head, 0xAABBCCDD, 7);
    EXPECT_TRUE(head.magic == 0xF5F5F5F5u && head.first == 0xAABBCCDDu && head.second == 7u &&
                head.reserved == 0u);
    kova_mem_init_head(nullptr, 1, 2);
}

TEST(MemUsage, ConcurrentAddsAndSubsSumExactly)
{
    constexpr int kThreads = 4, kRounds = 20000;
    std::int64_t zero = used_bytes(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < kRounds; ++i) {
                kova_mem_stat_add(9, 3);
                kova_mem_stat_sub(9, 1);
                kova_mem_stat_add(2000, 1);
                kova_mem_stat_sub(0, 1);
            }
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(used_bytes(9), 2ll * kThreads * kRounds);
    EXPECT_EQ(used_bytes(0), zero);
    kova_mem_stat_sub(9, 2ull * kThreads * kRounds);
}

TEST(MemShow, PrintsNonZeroCountersFiveToALineAndTheirTotal)
{
    kova_mem_show(nullptr);
    kova::test::printed_text().clear();
    kova_mem_show(capture_print);
    const std::string begin = "Begin to show used memory (Bytes) of all PID.\n";
    const std::string header = "| PID         UsedMem ";
    const std::string heading = begin + header + header + header + header + header + "\n";
    EXPECT_EQ(kova::test::printed_text(), heading + "\nTotal used memory: 0\n");

    const std::pair<std::uint32_t, std::uint64_t> counts[] = {
        {1, 1}, {100, 7}, {512, 12345}, {1023, 0xFFFFFFFFu}};
    for (auto [owner, bytes] : counts) kova_mem_stat_add(owner, bytes);
    kova_mem_stat_add(3, 100);
    kova_mem_stat_sub(3, 40);
    kova_mem_stat_sub(2, 5);
    kova::test::printed_text().clear();
    kova_mem_show(capture_print);
    EXPECT_EQ(kova::test::printed_text(), heading +
                           "| 1                 1 | 2                -5 | 3                60 "
                           "| 100               7 | 512           12345 \n"
                           "| 1023     4294967295 \nTotal used memory: 4294979703\n");
    for (auto [owner, bytes] : counts) kova_mem_stat_sub(owner, bytes);
    kova_mem_stat_sub(3, 60);
    kova_mem_stat_add(2, 5);
    EXPECT_EQ(kova_mem_stat_dump(), 0);
}

}  // namespace
