#include <cstdint>

#include "init/kova_log.h"
#include "kova/kova_avl.h"

KOVA_LOG_SOURCE("avl/kova_avl")

namespace {

using Node = kova_avl_node_s;

constexpr uint32_t kBalanceToChild[3] = {0, 0, 1};  // by comparison result + 1
constexpr int32_t kChildToBalance[2] = {-1, +1};   // by side

#define AVL_NULL_CHECK(condition, result)                      \
    do {                                                       \
        if (condition) {                                       \
            KOVA_LOG(kova::log::kError, "NULL POINTER");       \
            return result;                                     \
        }                                                      \
    } while (0)

Node *node_of(const kova_avl_tree_s *tree, void *record)
{
    return reinterpret_cast<Node *>(static_cast<char *>(record) + tree->node_offset);
}

void *record_of(const kova_avl_tree_s *tree, Node *node)
{
    return node == nullptr ? nullptr : reinterpret_cast<char *>(node) - tree->node_offset;
}

Node *index_node(kova_avl_index_t index) { return reinterpret_cast<Node *>(index & ~kova_avl_index_t{1}); }

// Hangs `child` (or nothing) where `parent` has side `side`, or at the root.
void link(kova_avl_tree_s *tree, Node *parent, uint32_t side, Node *child)
{
    if (child != nullptr) {
        child->parent = parent;
        child->child_index = side;
    }
    (parent != nullptr ? parent->child[side] : tree->root) = child;
}

// Rebalances a node whose balance would be `balance` (+-2). True when the subtree kept its height,
// which only a removal can bring about.
bool rotate(kova_avl_tree_s *tree, Node *node, int32_t balance)
{
    const uint32_t c = balance > 0 ? 1 : 0;
    const int32_t h = balance / 2;
    Node *heavy = node->child[c];
    Node *parent = node->parent;
    const uint32_t side = node->child_index;
    if (heavy->balance != -h) {
        link(tree, node, c, heavy->child[1 - c]);
        link(tree, parent, side, heavy);
        link(tree, heavy, 1 - c, node);
        if (heavy->balance == 0) {
            node->balance = h;
            heavy->balance = -h;
            return true;
        }
        node->balance = heavy->balance = 0;
        return false;
    }
    Node *grand = heavy->child[1 - c];
    link(tree, heavy, 1 - c, grand->child[c]);
    link(tree, node, c, grand->child[1 - c]);
    link(tree, parent, side, grand);
    link(tree, grand, 1 - c, node);
    link(tree, grand, c, heavy);
    node->balance = grand->balance == h ? -h : 0;
    heavy->balance = grand->balance == -h ? h : 0;
    grand->balance = 0;
    return false;
}

void rebalance_after_insert(kova_avl_tree_s *tree, Node *node, uint32_t side)
{
    for (;;) {
        const int32_t old = node->balance, balance = old + kChildToBalance[side];
        if (balance == 0) {
            node->balance = 0;
            KOVA_LOG_AS("kova_insert_avl_node", kova::log::kDebug, "Set AVL balance done.");
            return;
        }
        if (old != 0) {
            rotate(tree, node, balance);
            return;
        }
        node->balance = balance;
        if (node->parent == nullptr) return;
        side = node->child_index;
        node = node->parent;
    }
}

void rebalance_after_remove(kova_avl_tree_s *tree, Node *node, uint32_t side)
{
    for (;;) {
        const int32_t old = node->balance, balance = old - kChildToBalance[side];
        if (old == 0) {
            node->balance = balance;
            return;
        }
        Node *parent = node->parent;
        const uint32_t node_side = node->child_index;
        if (balance == 0)
            node->balance = 0;
        else if (rotate(tree, node, balance))
            return;
        if (parent == nullptr) return;
        side = node_side;
        node = parent;
    }
}

Node *outermost(Node *node, uint32_t side)
{
    while (node->child[side] != nullptr) node = node->child[side];
    return node;
}

Node *neighbour(Node *node, uint32_t direction)
{
    if (node->child[direction] != nullptr) return outermost(node->child[direction], 1 - direction);
    while (node->parent != nullptr && node->child_index == direction) node = node->parent;
    return node->parent;
}

}  // namespace

extern "C" {

int kova_create_avl_new(kova_avl_tree_s *tree, kova_avl_compare_fn insert_compare, kova_avl_compare_fn find_compare,
                        uint32_t record_size, uint32_t node_offset)
{
    AVL_NULL_CHECK(tree == nullptr || insert_compare == nullptr || find_compare == nullptr, -1);
    *tree = kova_avl_tree_s{nullptr, insert_compare, find_compare, node_offset, record_size, 0};
    return 0;
}

int kova_create_avl(kova_avl_tree_s *tree, kova_avl_compare_fn compare, uint32_t record_size, uint32_t node_offset)
{
    AVL_NULL_CHECK(tree == nullptr || compare == nullptr, -1);
    return kova_create_avl_new(tree, compare, compare, record_size, node_offset);
}

int kova_destroy_avl(kova_avl_tree_s *tree)
{
    AVL_NULL_CHECK(tree == nullptr, -1);
    tree->root = nullptr;
    tree->count = 0;
    return 0;
}

}  // extern "C"

namespace {

void *find_with(kova_avl_tree_s *tree, kova_avl_compare_fn compare, const void *value, kova_avl_index_t *index)
{
    // Held in locals: the comparison is an opaque call, after which fields read through the tree
    // would be loaded again on every level.
    const uint32_t offset = tree->node_offset;
    kova_avl_index_t where = 0;
    for (Node *node = tree->root; node != nullptr;) {
        void *record = reinterpret_cast<char *>(node) - offset;
        const int result = compare(value, record);
        if (result == 0) return record;
        if (static_cast<unsigned>(result + 1) > 2u) {
            where = 0;
            break;
        }
        const uint32_t side = kBalanceToChild[result + 1];
        Node *next = node->child[side];
        if (next == nullptr) {
            where = reinterpret_cast<kova_avl_index_t>(node) | side;
            break;
        }
        node = next;
    }
    if (index != nullptr) *index = where;
    return nullptr;
}

}  // namespace

extern "C" {

void *kova_find_avl_node(kova_avl_tree_s *tree, const void *value, kova_avl_index_t *index)
{
    AVL_NULL_CHECK(tree == nullptr, nullptr);
    return find_with(tree, tree->find_compare, value, index);
}

int kova_insert_avl_node(kova_avl_tree_s *tree, void *record, kova_avl_index_t index)
{
    AVL_NULL_CHECK(tree == nullptr || record == nullptr, -1);
    Node *node = node_of(tree, record);
    Node *parent = index_node(index);
    const auto side = static_cast<uint32_t>(index & 1);
    ++tree->count;
    node->child[0] = node->child[1] = nullptr;
    node->balance = 0;
    link(tree, parent, side, node);
    if (parent != nullptr) rebalance_after_insert(tree, parent, side);
    return 0;
}

void kova_add_avl_node(kova_avl_tree_s *tree, void *record)
{
    AVL_NULL_CHECK(tree == nullptr || record == nullptr, );
    kova_avl_index_t where = 0;
    if (find_with(tree, tree->insert_compare, record, &where) != nullptr) return;
    if (kova_insert_avl_node(tree, record, where) != 0) KOVA_LOG(kova::log::kError, "InsertAvlNode fail.");
}

int kova_insert_avl_node_specified(kova_avl_tree_s *tree, void *record, void *neighbour_record, int direction)
{
    AVL_NULL_CHECK(tree == nullptr || record == nullptr || neighbour_record == nullptr, -1);
    if (direction < 0 || direction > 1) {
        KOVA_LOG(kova::log::kError, "Invalid Param");
        return -1;
    }
    const auto d = static_cast<uint32_t>(direction);
    Node *here = node_of(tree, neighbour_record);
    kova_avl_index_t where = reinterpret_cast<kova_avl_index_t>(here) | d;
    if (here->child[d] != nullptr)
        where = reinterpret_cast<kova_avl_index_t>(outermost(here->child[d], 1 - d)) | (1 - d);
    int ret = kova_insert_avl_node(tree, record, where);
    if (ret != 0)
        KOVA_LOG(kova::log::kError, "InsertAvlNode fail: avl_tree=%p, new_node=%p, here=%p, direction=%d.",
                 static_cast<void *>(tree), record, neighbour_record, direction);
    return ret;
}

void kova_remove_avl_node(kova_avl_tree_s *tree, void *record)
{
    AVL_NULL_CHECK(tree == nullptr || record == nullptr, );
    Node *node = node_of(tree, record);
    --tree->count;
    if (node->child[0] != nullptr && node->child[1] != nullptr) {
        // The in-order neighbour on the taller (or left) side leaves its own place, which has at
        // most one child, and takes the node's.
        const uint32_t side = kBalanceToChild[node->balance + 1];
        Node *heir = outermost(node->child[side], 1 - side);
        Node *start = heir->parent;
        const uint32_t shorter = heir->child_index;
        link(tree, start, shorter, heir->child[side]);
        if (start == node) start = heir;
        link(tree, heir, 0, node->child[0]);
        link(tree, heir, 1, node->child[1]);
        heir->balance = node->balance;
        link(tree, node->parent, node->child_index, heir);
        rebalance_after_remove(tree, start, shorter);
        return;
    }
    Node *parent = node->parent;
    link(tree, parent, node->child_index, node->child[node->child[0] == nullptr ? 1 : 0]);
    if (parent == nullptr) {
        KOVA_LOG(kova::log::kDebug, "Remove node not need set balance.");
        return;
    }
    rebalance_after_remove(tree, parent, node->child_index);
}

void *kova_walk_avl_node(kova_avl_tree_s *tree, void *record, int direction)
{
    AVL_NULL_CHECK(tree == nullptr || record == nullptr, nullptr);
    return record_of(tree, neighbour(node_of(tree, record), direction != 0 ? 1 : 0));
}

void *kova_find_avl_nearest_node(kova_avl_tree_s *tree, kova_avl_index_t index, int direction)
{
    AVL_NULL_CHECK(tree == nullptr, nullptr);
    Node *node = index_node(index);
    if (node == nullptr) return nullptr;
    const uint32_t d = direction != 0 ? 1 : 0;
    return (index & 1) != d ? record_of(tree, node) : record_of(tree, neighbour(node, d));
}

void *kova_get_avl_first_node(kova_avl_tree_s *tree)
{
    AVL_NULL_CHECK(tree == nullptr, nullptr);
    return tree->root == nullptr ? nullptr : record_of(tree, outermost(tree->root, 0));
}

void *kova_get_avl_last_node(kova_avl_tree_s *tree)
{
    AVL_NULL_CHECK(tree == nullptr, nullptr);
    return tree->root == nullptr ? nullptr : record_of(tree, outermost(tree->root, 1));
}

int64_t kova_get_avl_node_num(kova_avl_tree_s *tree)
{
    AVL_NULL_CHECK(tree == nullptr, -1);
    return static_cast<int64_t>(tree->count);
}

}  // extern "C"
