#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bitops/loaded_objects.h"
#include "kova/kova_bitops.h"

namespace {

using Bytes = std::vector<unsigned char>;

bool bit_at(const Bytes &map, uint64_t i) { return (map[i / 8] >> (i % 8)) & 1; }

uint64_t naive_next(const Bytes &map, uint64_t size, uint64_t from, bool set)
{
    for (uint64_t i = from; i < size; ++i)
        if (bit_at(map, i) == set) return i;
    return size;
}

// Each bitmap is its own allocation of exactly ceil(size / 8) bytes, so under ASan a read past it
// faults; the bits past the size in the last byte are random and must never be reported.
TEST(Bitops, SearchesAgreeWithANaiveScanAndStayInsideTheBitmap)
{
    std::mt19937_64 random(11);
    for (int round = 0; round < 4000; ++round) {
        const uint64_t size = random() % 300;
        Bytes map((size + 7) / 8);
        const int density = static_cast<int>(random() % 4);
        for (auto &byte : map) byte = density == 0 ? 0 : density == 3 ? 0xFF : static_cast<unsigned char>(random());
        const uint64_t offset = random() % (size + 70);
        ASSERT_EQ(find_first_bit(map.data(), size), naive_next(map, size, 0, true)) << size;
        ASSERT_EQ(find_first_zero_bit(map.data(), size), naive_next(map, size, 0, false)) << size;
        ASSERT_EQ(find_next_bit(map.data(), size, offset), naive_next(map, size, offset, true)) << size << "@" << offset;
        ASSERT_EQ(kova_find_next_zero_bit(map.data(), size, offset), naive_next(map, size, offset, false)) << size;
        uint64_t low = 0;
        for (uint64_t i = 0; i < std::min<uint64_t>(size, 64); ++i) low |= uint64_t{bit_at(map, i)} << i;
        ASSERT_EQ(kova_bitop_read_u64(map.data(), size), low) << size;
    }
    const Bytes read12{0xAB, 0xFF};
    EXPECT_EQ(kova_bitop_read_u64(read12.data(), 12), 0x0FABu);
    const Bytes three{0xFF};
    EXPECT_EQ(find_first_zero_bit(three.data(), 3), 3u);
}

TEST(Bitops, WrappersReportFoundBitsAndLeaveTheOutputAloneOtherwise)
{
    Bytes map(4, 0);
    uint32_t bit = 77;
    EXPECT_EQ(kova_bitop_findfirstsetbit(map.data(), 32, &bit), 0);
    EXPECT_EQ(kova_bitop_findnextsetbit(map.data(), -5, 0, &bit), 0);
    EXPECT_EQ(kova_bitop_findfirstsetbit(nullptr, 32, &bit) + kova_bitop_findfirstclrbit(map.data(), 32, nullptr), 0);
    EXPECT_EQ(bit, 77u);
    map[2] = 0x10;
    EXPECT_TRUE(kova_bitop_findfirstsetbit(map.data(), 32, &bit) == 1 && bit == 20);
    EXPECT_TRUE(kova_bitop_findnextsetbit(map.data(), 32, 21, &bit) == 0 && bit == 20);
    EXPECT_TRUE(kova_bitop_findfirstclrbit(map.data(), 32, &bit) == 1 && bit == 0);
}

TEST(Bitops, CountsAndByteOrder)
{
    std::mt19937_64 random(3);
    for (int i = 0; i < 1000; ++i) {
        uint64_t v = random() & random();
        ASSERT_EQ(kova_hweight64(v), static_cast<uint32_t>(__builtin_popcountll(v)));
        ASSERT_EQ(kova_hweight32(static_cast<uint32_t>(v)), static_cast<uint32_t>(__builtin_popcount(static_cast<uint32_t>(v))));
        ASSERT_EQ(kova_endian_cputobig64(v), __builtin_bswap64(v));
        ASSERT_EQ(kova_endian_bigtocpu32(static_cast<uint32_t>(v)), __builtin_bswap32(static_cast<uint32_t>(v)));
        ASSERT_EQ(kova_endian_cputobig16(static_cast<uint16_t>(v)), __builtin_bswap16(static_cast<uint16_t>(v)));
        ASSERT_EQ(kova_endian_littletocpu64(v), v);
    }
}

// Threads flip their own bits of the same bytes; a lost update would leave a bit wrong.
TEST(Bitops, SingleBitChangesToOneByteDoNotLoseEachOther)
{
    Bytes map(2, 0);
    EXPECT_EQ(kova_test_and_set_bit(9, map.data()), 0);
    EXPECT_TRUE(map[1] == 0x02 && kova_test_and_set_bit(9, map.data()) == 1);
    EXPECT_EQ(kova_test_and_clear_bit(9, map.data()), 1);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t)
        threads.emplace_back([&map, t] {
            for (int i = 0; i < 20000; ++i) {
                for (uint32_t bit = t; bit < 16; bit += 4) (i % 2 ? kova_clear_bit : kova_set_bit)(bit, map.data());
                for (uint32_t bit = t; bit < 16; bit += 4) ASSERT_EQ(kova_test_and_set_bit(bit, map.data()), i % 2 == 0);
            }
        });
    for (auto &thread : threads) thread.join();
    EXPECT_TRUE(map[0] == 0xFF && map[1] == 0xFF);
}

std::atomic<int> refreshes{0};

TEST(Bitops, DynamicLoadingRefreshesTheKnownSymbols)
{
    kova::bitops::set_objects_changed_hook([] { refreshes.fetch_add(1); });
    EXPECT_EQ(kova_dlsym(nullptr, "strlen"), nullptr);
    EXPECT_EQ(kova_dlclose(nullptr), -1);
    EXPECT_EQ(kova_dlopen("libkova-no-such-object.so", RTLD_NOW), nullptr);
    EXPECT_NE(kova_dlerror(), nullptr);
    void *self = kova_dlopen(nullptr, RTLD_NOW);
    EXPECT_EQ(refreshes.load(), 0) << "failed and unnamed loads add no symbols";
    void *libm = kova_dlopen("libm.so.6", RTLD_NOW);
    ASSERT_NE(libm, nullptr);
    EXPECT_NE(kova_dlsym(libm, "cos"), nullptr);
    EXPECT_EQ(refreshes.load(), 1);
    EXPECT_EQ(kova_dlclose(libm) + kova_dlclose(self), 0);
    EXPECT_EQ(refreshes.load(), 3);
    kova::bitops::set_objects_changed_hook(nullptr);
}

}  // namespace
