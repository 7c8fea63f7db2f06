#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_rbtree.h"

namespace {

// Ordered by key; `max` is the largest weight in the item's subtree, kept by the augmentation
// callback. Weights do not follow the keys (as an interval's end does not follow its start), so a
// stale value anywhere in a subtree shows.
struct Item {
    kova_rb_node_s node;
    int key, max;
    int weight() const { return key * 7919 % 1009; }
};

Item *item(kova_rb_node_s *node) { return reinterpret_cast<Item *>(node); }

int subtree_max(kova_rb_node_s *node, void *)
{
    item(node)->max = item(node)->weight();
    for (kova_rb_node_s *child : {node->left, node->right})
        if (child != nullptr) item(node)->max = std::max(item(node)->max, item(child)->max);
    return 0;
}

void insert(kova_rb_root_s &root, Item &it)
{
    kova_rb_node_s **link = &root.node, *parent = nullptr;
    while (*link != nullptr) link = it.key < item(parent = *link)->key ? &parent->left : &parent->right;
    kova_rb_link_node(&it.node, parent, link);
    kova_rb_insert_color(&it.node, &root);
    kova_rb_augment_insert(&it.node, subtree_max, nullptr);
}

void erase(kova_rb_root_s &root, Item &it)
{
    kova_rb_node_s *deepest = kova_rb_augment_erase_begin(&it.node);
    kova_rb_erase(&it.node, &root);
    kova_rb_augment_erase_end(deepest, subtree_max, nullptr);
}

// Links, colours and stored maxima below `node`; returns the black height, counts the nodes and
// tracks the deepest level.
int check(kova_rb_node_s *node, kova_rb_node_s *parent, int &count, int &height, int depth = 1)
{
    if (node == nullptr) return 1;
    EXPECT_EQ(kova_rb_parent(node), parent);
    EXPECT_TRUE(parent == nullptr || kova_rb_is_black(parent) || kova_rb_is_black(node)) << "red-red";
    int stored = item(node)->max;
    EXPECT_EQ((subtree_max(node, nullptr), item(node)->max), stored);
    ++count;
    height = std::max(height, depth);
    int left = check(node->left, node, count, height, depth + 1);
    EXPECT_EQ(left, check(node->right, node, count, height, depth + 1)) << "black heights differ";
    return left + kova_rb_is_black(node);
}

// The whole tree against the multiset of keys it should hold, walked both ways.
void check_tree(const kova_rb_root_s &root, std::vector<int> keys)
{
    int count = 0, height = 0;
    EXPECT_TRUE(root.node == nullptr || kova_rb_is_black(root.node));
    check(root.node, nullptr, count, height);
    EXPECT_LE(height, 2 * std::log2(count + 1));
    std::sort(keys.begin(), keys.end());
    std::vector<int> forward, backward;
    for (kova_rb_node_s *n = kova_rb_first(&root); n != nullptr; n = kova_rb_next(n)) forward.push_back(item(n)->key);
    for (kova_rb_node_s *n = kova_rb_last(&root); n != nullptr; n = kova_rb_prev(n)) backward.push_back(item(n)->key);
    EXPECT_TRUE(forward == keys && std::equal(backward.rbegin(), backward.rend(), keys.begin(), keys.end()));
}

TEST(RbTree, InvariantsHoldThroughOrderedAndRandomInsertsAndErases)
{
    constexpr int kCount = 1500;
    std::mt19937 random(42);
    std::vector<int> ascending(kCount);
    std::iota(ascending.begin(), ascending.end(), 0);
    std::vector<int> descending(ascending.rbegin(), ascending.rend()), shuffled = ascending;
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    for (const auto &order : {ascending, descending, shuffled}) {
        std::vector<Item> items(kCount);
        kova_rb_root_s root = KOVA_RB_ROOT_INIT;
        std::vector<int> present;
        for (int i = 0; i < kCount; ++i) {
            present.push_back(items[i].key = order[i] % 700);  // with duplicates
            insert(root, items[i]);
            if (i < 100 || i % 200 == 0) check_tree(root, present);
        }
        for (int i = 0; i < kCount; ++i) {
            Item &victim = items[shuffled[(i * 7) % kCount]];
            erase(root, victim);
            present.erase(std::find(present.begin(), present.end(), victim.key));
            if (i > kCount - 100 || i % 200 == 0) check_tree(root, present);
        }
        EXPECT_EQ(root.node, nullptr);
    }
}

TEST(RbTree, SmallTreesWalksAndReplace)
{
    kova_rb_root_s root = KOVA_RB_ROOT_INIT;
    EXPECT_TRUE(kova_rb_first(&root) == nullptr && kova_rb_last(&root) == nullptr);
    Item a{{}, 1, 0}, b{{}, 2, 0}, c{{}, 3, 0}, b2{{}, 2, 0};
    kova_rb_clear_node(&a.node);
    EXPECT_TRUE(kova_rb_next(&a.node) == nullptr && kova_rb_prev(&a.node) == nullptr);
    insert(root, a);
    EXPECT_TRUE(kova_rb_first(&root) == &a.node && kova_rb_last(&root) == &a.node && kova_rb_is_black(&a.node));
    EXPECT_TRUE(kova_rb_next(&a.node) == nullptr && kova_rb_prev(&a.node) == nullptr);
    insert(root, b);
    erase(root, a);
    EXPECT_TRUE(root.node == &b.node && b.node.parent_color == KOVA_RB_BLACK);
    // The replacement takes the node's place exactly; bit 1 of a child's parent word survives.
    insert(root, a);
    insert(root, c);
    a.node.parent_color |= 2;
    kova_rb_replace_node(&b.node, &b2.node, &root);
    subtree_max(&b2.node, nullptr);
    EXPECT_TRUE(root.node == &b2.node && a.node.parent_color == (reinterpret_cast<uintptr_t>(&b2.node) | 2));
    check_tree(root, {1, 2, 3});
    erase(root, b2);
    EXPECT_EQ(a.node.parent_color & 2, 2u);
    check_tree(root, {1, 3});
}

}  // namespace
