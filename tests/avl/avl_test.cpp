#include <algorithm>
#include <cmath>
#include <cstddef>
#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_avl.h"
#include "support/log_capture.h"

namespace {

struct Record {
    long key;
    long pad;
    kova_avl_node_s node;
};

int compare(const void *value, const void *record)
{
    long a = *static_cast<const long *>(value), b = static_cast<const Record *>(record)->key;
    return a < b ? -1 : a > b;
}

int broken_compare(const void *, const void *) { return 2; }

struct Tree {
    kova_avl_tree_s tree{};
    Tree() { kova_create_avl(&tree, compare, sizeof(Record), offsetof(Record, node)); }
    Record *find(long key, kova_avl_index_t *where = nullptr) { return static_cast<Record *>(kova_find_avl_node(&tree, &key, where)); }
};

// Checks links, balance factors and order below `node`; returns the height.
int check(const kova_avl_node_s *node, const kova_avl_node_s *parent, std::vector<long> &keys)
{
    if (node == nullptr) return 0;
    EXPECT_EQ(node->parent, parent);
    EXPECT_TRUE(parent == nullptr || parent->child[node->child_index] == node);
    int left = check(node->child[0], node, keys);
    keys.push_back(reinterpret_cast<const Record *>(reinterpret_cast<const char *>(node) - offsetof(Record, node))->key);
    int right = check(node->child[1], node, keys);
    EXPECT_EQ(node->balance, right - left);
    return 1 + std::max(left, right);
}

std::vector<long> verified_keys(Tree &t)
{
    std::vector<long> keys;
    int height = check(t.tree.root, nullptr, keys);
    EXPECT_LE(height, 1.45 * std::log2(keys.size() + 2));
    EXPECT_EQ(static_cast<std::size_t>(kova_get_avl_node_num(&t.tree)), keys.size());
    return keys;
}

// 100 thousand random finds, adds, inserts beside a neighbour (which admits equal keys) and
// removals against std::multimap; every invariant is checked after every change.
TEST(AvlTree, RandomOperationsKeepBalanceOrderAndCountAgainstAMultimap)
{
    kova::test::LogCapture quiet(0);
    std::mt19937 random(17);
    std::vector<Record> pool(600);
    std::vector<Record *> free_records, used;
    for (auto &r : pool) free_records.push_back(&r);
    std::multimap<long, Record *> oracle;
    Tree t;
    for (int op = 0; op < 100000; ++op) {
        const long key = random() % 500;
        const int kind = static_cast<int>(random() % 4);
        if (kind == 0 || free_records.empty()) {
            kova_avl_index_t where = 7;
            Record *found = t.find(key, &where);
            ASSERT_EQ(found != nullptr, oracle.count(key) != 0);
            if (found) {
                ASSERT_TRUE(found->key == key && where == 7);
            } else if (!oracle.empty()) {
                auto above = oracle.upper_bound(key);
                auto *next = static_cast<Record *>(kova_find_avl_nearest_node(&t.tree, where, 1));
                ASSERT_EQ(next ? next->key : -1, above == oracle.end() ? -1 : above->first);
            }
            if (!used.empty() && kind != 0) {
                std::swap(used[random() % used.size()], used.back());
                Record *gone = used.back();
                used.pop_back();
                kova_remove_avl_node(&t.tree, gone);
                auto range = oracle.equal_range(gone->key);
                oracle.erase(std::find_if(range.first, range.second, [&](auto &e) { return e.second == gone; }));
                free_records.push_back(gone);
            }
            continue;
        }
        Record *r = free_records.back();
        r->key = key;
        if (kind == 1) {
            const bool had = oracle.count(key) != 0;
            kova_add_avl_node(&t.tree, r);
            if (had) continue;
        } else if (!used.empty()) {
            Record *beside = used[random() % used.size()];
            r->key = beside->key;
            ASSERT_EQ(kova_insert_avl_node_specified(&t.tree, r, beside, kind - 2), 0);
            auto *neighbour = static_cast<Record *>(kova_walk_avl_node(&t.tree, r, 3 - kind));
            ASSERT_EQ(neighbour, beside);
        } else {
            continue;
        }
        free_records.pop_back();
        used.push_back(r);
        oracle.emplace(r->key, r);
        std::vector<long> expected;
        for (auto &e : oracle) expected.push_back(e.first);
        ASSERT_EQ(verified_keys(t), expected) << op;
    }
    std::vector<long> walked;
    for (auto *r = static_cast<Record *>(kova_get_avl_first_node(&t.tree)); r;
         r = static_cast<Record *>(kova_walk_avl_node(&t.tree, r, 1)))
        walked.push_back(r->key);
    EXPECT_EQ(walked, verified_keys(t));
    auto *last = static_cast<Record *>(kova_get_avl_last_node(&t.tree));
    EXPECT_EQ(last ? last->key : -1, oracle.empty() ? -1 : oracle.rbegin()->first);
}

TEST(AvlTree, SmallTreesAndBadArguments)
{
    kova::test::LogCapture log;
    Tree t;
    kova_avl_index_t where = 9;
    EXPECT_TRUE(t.find(4, &where) == nullptr && where == 0);
    Record r[8];
    for (long k = 1; k <= 7; ++k) r[k].key = k, kova_add_avl_node(&t.tree, &r[k]);
    EXPECT_EQ(t.tree.root, &r[4].node);
    EXPECT_EQ(verified_keys(t), (std::vector<long>{1, 2, 3, 4, 5, 6, 7}));
    Record twin{4, 0, {}};
    kova_add_avl_node(&t.tree, &twin);
    EXPECT_EQ(kova_get_avl_node_num(&t.tree), 7);
    kova_remove_avl_node(&t.tree, &r[4]);
    EXPECT_EQ(t.tree.root, &r[3].node) << "a balanced node gives way to its predecessor";
    kova_remove_avl_node(&t.tree, &r[1]);
    kova_remove_avl_node(&t.tree, &r[3]);
    EXPECT_EQ(t.tree.root, &r[5].node) << "a right-heavy node gives way to its successor";
    EXPECT_EQ(kova_insert_avl_node_specified(&t.tree, &r[4], &r[5], 2), -1);
    EXPECT_TRUE(log.contains("Invalid Param"));
    EXPECT_EQ(kova_create_avl(nullptr, compare, 0, 0) + kova_create_avl_new(&t.tree, compare, nullptr, 0, 0), -2);
    EXPECT_TRUE(kova_get_avl_node_num(nullptr) == -1 && kova_get_avl_first_node(nullptr) == nullptr);
    EXPECT_TRUE(kova_insert_avl_node(&t.tree, nullptr, 0) == -1 && kova_walk_avl_node(&t.tree, nullptr, 1) == nullptr);
    EXPECT_EQ(log.count("NULL POINTER"), 6u);
    EXPECT_EQ(kova_find_avl_nearest_node(&t.tree, 1, 0), nullptr);
    kova_avl_tree_s odd{};
    kova_create_avl(&odd, broken_compare, sizeof(Record), offsetof(Record, node));
    kova_insert_avl_node(&odd, &r[1], 0);
    long key = 1;
    where = 5;
    EXPECT_TRUE(kova_find_avl_node(&odd, &key, &where) == nullptr && where == 0);
    EXPECT_EQ(kova_destroy_avl(&t.tree), 0);
    EXPECT_TRUE(t.tree.root == nullptr && kova_get_avl_node_num(&t.tree) == 0);
}

}  // namespace
