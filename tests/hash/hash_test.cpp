#include <cstdlib>
#include <random>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_hash.h"
#include "support/log_capture.h"

namespace {

kova_hash_node_s make_node(uint32_t key32, uint64_t key64)
{
    kova_hash_node_s node{};
    node.key32 = key32;
    node.key64 = key64;
    return node;
}

// Links, bucket placement and the node count, checked over the whole table.
std::size_t verified_count(const kova_hash_table_s *table)
{
    std::size_t count = 0;
    for (uint32_t b = 0; b < table->bucket_count; ++b) {
        const kova_hash_link_s *head = &table->buckets[b];
        for (const kova_hash_link_s *l = head->next; l != head; l = l->next, ++count) {
            auto *node = reinterpret_cast<const kova_hash_node_s *>(l);
            EXPECT_TRUE(l->next->prev == l && l->prev->next == l);
            EXPECT_EQ(hash_func(node->key32, node->key64, table->power), b);
        }
    }
    return count;
}

// 100 thousand random inserts, deletes and searches over a small key space (so that keys collide
// in full, in their low halves and in buckets) against std::unordered_multimap.
TEST(HashTable, RandomOperationsAgreeWithAnUnorderedMultimap)
{
    std::mt19937_64 random(23);
    kova_hash_table_s *table = nullptr;
    ASSERT_EQ(kova_hash_create(100, &table, 0), 0);
    EXPECT_EQ(table->bucket_count, 64u);
    std::vector<kova_hash_node_s> pool(4096);
    std::unordered_multimap<uint64_t, kova_hash_node_s *> oracle;
    for (int op = 0; op < 100000; ++op) {
        const uint32_t key32 = random() % 8;
        const uint64_t key64 = (random() % 4) << 32 | random() % 16;
        const uint64_t key = uint64_t{key32} << 48 ^ key64;
        kova_hash_node_s *found = nullptr;
        switch (random() % 3) {
        case 0: {
            kova_hash_node_s &node = pool[op % pool.size()];
            if (node.link.next != nullptr && node.link.next != &node.link) break;
            node = make_node(key32, key64);
            int expected = oracle.count(key) ? -17 : 0;
            ASSERT_EQ(kova_hash_insert(table, &node), expected);
            if (expected == 0) oracle.emplace(key, &node);
            break;
        }
        case 1: {
            auto it = oracle.find(key);
            ASSERT_EQ(kova_hash_delete(table, key32, key64, &found), it == oracle.end() ? -1 : 0);
            if (it == oracle.end()) break;
            ASSERT_TRUE(found == it->second && found->link.next == &found->link);
            oracle.erase(it);
            break;
        }
        default: {
            auto it = oracle.find(key);
            ASSERT_EQ(kova_hash_search(table, key32, key64, &found), it == oracle.end() ? -1 : 0);
            ASSERT_EQ(found, it == oracle.end() ? nullptr : it->second);
        }
        }
        ASSERT_EQ(verified_count(table), oracle.size()) << op;
    }
    std::size_t handed = 0;
    static std::size_t *counter;
    counter = &handed;
    EXPECT_EQ(kova_hash_destory(table, [](kova_hash_node_s *node) {
                  EXPECT_EQ(node->link.next, &node->link);
                  ++*counter;
              }),
              0);
    EXPECT_EQ(handed, oracle.size());
}

TEST(HashTable, BucketCountsArgumentsAndAllocators)
{
    kova::test::LogCapture log;
    kova_hash_table_s *table = nullptr;
    for (auto [count, buckets] : {std::pair{1u, 1u}, {2u, 2u}, {3u, 2u}, {1000u, 512u}, {1024u, 1024u}}) {
        ASSERT_EQ(kova_hash_create(count, &table, 1023), 0);
        EXPECT_EQ(table->bucket_count, buckets) << count;
        kova_hash_destory(table, nullptr);
    }
    for (auto [count, reserved] : {std::pair{0u, 0u}, {0x80000000u, 0u}, {16u, 1024u}})
        EXPECT_EQ(kova_hash_create(count, &table, reserved), -22) << count;
    EXPECT_EQ(kova_hash_create(16, nullptr, 0), -22);
    EXPECT_TRUE(hash_pow(31) == 0 && hash_get_pow(0) == 0 && hash_get_pow(0xFFFFFFFF) == 31);

    kova_hash_attr_s half{};
    EXPECT_EQ(kova_hash_attr_init(&half) + kova_hash_attr_init(nullptr), -1);
    half.alloc = [](uint32_t size) { return std::malloc(size); };
    EXPECT_TRUE(kova_hash_create_ex(16, &table, 0, &half) == -12 && table == nullptr);
    EXPECT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].text.find("attr malloc("), 0u);
    static int allocations = 0;
    kova_hash_attr_s counted{[](uint32_t size) { return ++allocations, std::malloc(size); },
                             [](void *memory) { --allocations, std::free(memory); }};
    ASSERT_EQ(kova_hash_create_ex(1, &table, 0, &counted), 0);
    EXPECT_EQ(allocations, 2);

    // One bucket: a list. Keys that differ only in the upper half of key64 share a bucket.
    kova_hash_node_s a = make_node(1, 5), b = make_node(1, 5ull | 1ull << 40), twin = make_node(1, 5);
    EXPECT_EQ(hash_func(1, 5, 20), hash_func(1, b.key64, 20));
    EXPECT_TRUE(kova_hash_insert(table, &a) == 0 && kova_hash_insert(table, &b) == 0);
    EXPECT_EQ(kova_hash_insert(table, &twin), -17);
    kova_hash_node_s *found = nullptr;
    EXPECT_TRUE(kova_hash_search(table, 1, 5, &found) == 0 && found == &a);
    EXPECT_EQ(kova_hash_insert(nullptr, &a) + kova_hash_insert(table, nullptr) + kova_hash_search(table, 1, 5, nullptr) +
                  kova_hash_delete(nullptr, 1, 5, nullptr) + kova_hash_for_each(table, nullptr, 1),
              -110);
    EXPECT_EQ(kova_hash_destory(table, nullptr), 0);
    EXPECT_EQ(allocations, 0);
}

// The walk's successor is read before its callback, which may free its node.
TEST(HashTable, IterationStopsOnRequestAndSurvivesFreeingCallbacks)
{
    kova_hash_table_s *table = nullptr;
    ASSERT_EQ(kova_hash_create(4, &table, 0), 0);
    for (uint32_t k = 0; k < 6; ++k) kova_hash_insert(table, new kova_hash_node_s(make_node(k, k)));
    int calls = 0;
    auto third_says_five = [](kova_hash_node_s *, void *arg) { return ++*static_cast<int *>(arg) == 3 ? 5 : 0; };
    EXPECT_TRUE(kova_hash_for_each_ex(table, third_says_five, &calls, 1) == 5 && calls == 3);
    calls = 0;
    EXPECT_TRUE(kova_hash_for_each_ex(table, third_says_five, &calls, 0) == 0 && calls == 6);
    EXPECT_EQ(kova_hash_for_each(table,
                                 [](kova_hash_node_s *node) {
                                     node->link.prev->next = node->link.next;
                                     node->link.next->prev = node->link.prev;
                                     delete node;
                                     return 0;
                                 },
                                 0),
              0);
    kova_hash_node_s *found = nullptr;
    for (uint32_t k = 0; k < 6; ++k) EXPECT_EQ(kova_hash_search(table, k, k, &found), -1);
    kova_hash_destory(table, nullptr);
}

}  // namespace
