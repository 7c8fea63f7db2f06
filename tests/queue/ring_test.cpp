#include <algorithm>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_queue.h"
#include "queue/ring_internal.h"
#include "support/log_capture.h"

namespace {

void *object(std::uintptr_t n) { return reinterpret_cast<void *>(n); }

std::vector<void *> objects(std::uintptr_t first, std::uint32_t n)
{
    std::vector<void *> v;
    for (std::uint32_t i = 0; i < n; ++i) v.push_back(object(first + i));
    return v;
}

struct Status {
    int full, empty;
    std::uint32_t count, free, size;
    bool operator==(const Status &) const = default;
};

Status status(const kova_ring_s *r)
{
    return {kova_ring_full(r), kova_ring_empty(r), kova_ring_count(r), kova_ring_free_count(r), kova_ring_size(r)};
}

// Bad counts, a count of 1 (never holds anything), null rings and arrays, and delete.
TEST(Ring, BadArgumentsAreRefusedAndDeleteClearsThePointer)
{
    kova::test::LogCapture log;
    for (std::uint32_t bad : {0u, 3u, 6u, 0x10000000u}) EXPECT_EQ(kova_ring_create(bad, 0), nullptr) << bad;
    EXPECT_EQ(log.count("kova_ring_create:uiCount must be a power of 2 or great than MAX"), 4u);
    kova_ring_s *one = kova_ring_create(1, 4);
    ASSERT_NE(one, nullptr);
    void *slot = object(1);
    EXPECT_TRUE(kova_ring_enqueue(one, slot) == -105 && kova_ring_enqueue_burst(one, &slot, 1) == 0);
    EXPECT_EQ(status(one), (Status{1, 1, 0, 0, 1}));
    EXPECT_EQ(kova_ring_enqueue(nullptr, slot) + kova_ring_dequeue(nullptr, &slot) + kova_ring_full(nullptr) +
                  kova_ring_empty(nullptr) + kova_ring_dequeue(one, nullptr), -5);
    for (auto f : {kova_ring_count, kova_ring_size, kova_ring_free_count}) EXPECT_EQ(f(nullptr), UINT32_MAX);
    EXPECT_TRUE(kova_ring_enqueue_bulk(nullptr, &slot, 1) == -105 && kova_ring_dequeue_bulk(one, nullptr, 1) == -2);
    EXPECT_TRUE(kova_ring_enqueue_burst(one, nullptr, 1) == 0 && kova_ring_dequeue_burst(nullptr, &slot, 1) == 0);
    EXPECT_EQ(log.with_text("Kova ring id is NULL.").front().function, "kova_ring_enqueue");
    EXPECT_EQ(log.count("Kova ring id is NULL."), 9u);
    kova_ring_delete(&one);
    EXPECT_EQ(one, nullptr);
    kova_ring_delete(&one);
    kova_ring_delete(nullptr);
}

// Every discipline: fill to capacity, refuse past it, partial bursts, and the order kept across
// the end of the slot array. The free-running indices start 1025 below 2^32, so that the burst
// of 4 is split over slots 1022, 1023, 0 and 1 and crosses the indices' wrap.
TEST(Ring, EveryDisciplineFillsDrainsAndWrapsInOrder)
{
    for (int flags : {0, 1, 2, 3}) {
        kova_ring_s *r = kova_ring_create(1024, flags);
        ASSERT_NE(r, nullptr);
        kova::queue::set_indices_for_test(r, 0u - 1025);
        auto in = objects(100, 1023);
        for (std::uint32_t i = 0; i < 1023; ++i) ASSERT_EQ(kova_ring_enqueue(r, in[i]), 0);
        EXPECT_EQ(kova_ring_enqueue(r, object(1)), -105);
        EXPECT_EQ(status(r), (Status{1, 0, 1023, 0, 1024})) << flags;
        std::vector<void *> out(1023);
        EXPECT_EQ(kova_ring_dequeue_bulk(r, out.data(), 4), 0);
        EXPECT_EQ(kova_ring_enqueue_bulk(r, in.data(), 10), -105) << "4 free: bulk adds nothing";
        EXPECT_EQ(kova_ring_count(r), 1019u);
        EXPECT_EQ(kova_ring_enqueue_burst(r, in.data(), 10), 4u);
        EXPECT_EQ(status(r), (Status{1, 0, 1023, 0, 1024})) << flags;
        EXPECT_EQ(kova_ring_dequeue_bulk(r, out.data() + 4, 1024), -2);
        EXPECT_EQ(kova_ring_dequeue_burst(r, out.data() + 4, 1019), 1019u);
        EXPECT_EQ(kova_ring_dequeue_burst(r, out.data(), 10), 4u);
        auto expected = in;
        std::rotate(expected.begin(), expected.begin() + 4, expected.end());
        std::rotate(out.begin(), out.begin() + 4, out.end());
        EXPECT_EQ(out, expected) << flags;
        void *last = nullptr;
        EXPECT_TRUE(kova_ring_dequeue(r, &last) == -2 && kova_ring_dequeue_burst(r, out.data(), 3) == 0);
        EXPECT_EQ(status(r), (Status{0, 1, 0, 1023, 1024}));
        kova_ring_delete(&r);
    }
}

}  // namespace
