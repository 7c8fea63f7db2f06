// Linearizability of the ring under contention: every object arrives exactly once, and each
// consumer sees each producer's objects in the order that producer enqueued them.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_queue.h"
#include "kova/kova_sched.h"
#include "queue/ring_internal.h"

namespace {

constexpr std::uintptr_t kProducerShift = 40;

void *make_object(std::uintptr_t producer, std::uintptr_t sequence)
{
    return reinterpret_cast<void *>((producer << kProducerShift) | (sequence + 1));
}

// A waiting publisher yields after few reads: on two loaded cores, under TSan or qemu, the thread
// it waits for is often descheduled.
struct FewWaitReads {
    FewWaitReads() { kova::queue::set_wait_reads_for_test(64); }
    ~FewWaitReads() { kova::queue::set_wait_reads_for_test(0); }
};

void produce(kova_ring_s *ring, std::uintptr_t id, std::uint32_t total)
{
    std::vector<void *> batch;
    for (std::uint32_t sent = 0, round = 0; sent < total; ++round) {
        const std::uint32_t want = std::min<std::uint32_t>(total - sent, 1 + round % 8);
        batch.clear();
        for (std::uint32_t i = 0; i < want; ++i) batch.push_back(make_object(id, sent + i));
        std::uint32_t added = 0;
        switch (round % 3) {
        case 0: added = kova_ring_enqueue(ring, batch[0]) == 0; break;
        case 1: added = kova_ring_enqueue_bulk(ring, batch.data(), want) == 0 ? want : 0; break;
        default: added = kova_ring_enqueue_burst(ring, batch.data(), want); break;
        }
        if (added == 0) kova_yield();
        sent += added;
    }
}

// Counts every object taken in `seen`; false if one came out of its producer's order or was never
// enqueued. Drains its share either way, so that a failure cannot leave the producers blocked.
bool consume(kova_ring_s *ring, std::atomic<std::uint32_t> &received, std::uint32_t expected,
             std::vector<std::vector<std::uint8_t>> &seen)
{
    std::vector<std::uint64_t> last(seen.size(), 0);
    bool in_order = true;
    void *batch[8];
    for (std::uint32_t round = 0; received.load() < expected; ++round) {
        const std::uint32_t want = 1 + round % 8;
        std::uint32_t taken = 0;
        switch (round % 3) {
        case 0: taken = kova_ring_dequeue(ring, batch) == 0; break;
        case 1: taken = kova_ring_dequeue_bulk(ring, batch, want) == 0 ? want : 0; break;
        default: taken = kova_ring_dequeue_burst(ring, batch, want); break;
        }
        if (taken == 0) kova_yield();
        for (std::uint32_t i = 0; i < taken; ++i) {
            auto value = reinterpret_cast<std::uintptr_t>(batch[i]);
            std::uintptr_t producer = value >> kProducerShift, sequence = value & ((1ull << kProducerShift) - 1);
            if (producer >= seen.size() || sequence == 0 || sequence > seen[producer].size()) {
                in_order = false;
                continue;
            }
            in_order = in_order && sequence > last[producer];
            last[producer] = sequence;
            ++seen[producer][sequence - 1];
        }
        received.fetch_add(taken);
    }
    return in_order;
}

TEST(RingStress, ObjectsArriveExactlyOnceInEachProducersOrder)
{
    FewWaitReads few;
    const std::uint32_t per_producer = std::getenv("UNDER_QEMU") != nullptr ? 3000 : 20000;
    for (std::uint32_t size : {2u, 4u, 16u, 1024u}) {
        for (int flags : {0, 1, 2, 3}) {
            const int producers = flags & 1 ? 1 : 2, consumers = flags & 2 ? 1 : 2;
            kova_ring_s *ring = kova_ring_create(size, flags);
            kova::queue::set_indices_for_test(ring, 0u - size * 1000);
            const std::uint32_t expected = per_producer * static_cast<std::uint32_t>(producers) / (size == 2 ? 8 : 1);
            const std::uint32_t each = expected / static_cast<std::uint32_t>(producers);
            std::atomic<std::uint32_t> received{0};
            std::vector<std::vector<std::vector<std::uint8_t>>> seen(
                consumers, std::vector<std::vector<std::uint8_t>>(producers, std::vector<std::uint8_t>(each)));
            std::atomic<int> in_order{0};
            std::vector<std::thread> threads;
            for (int p = 0; p < producers; ++p) threads.emplace_back(produce, ring, p, each);
            for (int c = 0; c < consumers; ++c)
                threads.emplace_back([&, c] { in_order += consume(ring, received, expected, seen[c]); });
            for (auto &t : threads) t.join();
            ASSERT_EQ(in_order.load(), consumers) << "size " << size << " flags " << flags;
            for (int p = 0; p < producers; ++p)
                for (std::uint32_t s = 0; s < each; ++s) {
                    int copies = 0;
                    for (int c = 0; c < consumers; ++c) copies += seen[c][p][s];
                    ASSERT_EQ(copies, 1) << "size " << size << " flags " << flags << " object " << p << ":" << s;
                }
            EXPECT_EQ(kova_ring_empty(ring), 1);
            kova_ring_delete(&ring);
        }
    }
}

}  // namespace
