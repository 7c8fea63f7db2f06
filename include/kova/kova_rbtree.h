/**
 * @file
 * An intrusive red-black tree. The caller descends with its own comparison and links the new
 * node (kova_rb_link_node); the tree rebalances, walks and replaces. No locks, no allocation;
 * every operation is O(log n) with at most two rotations per insert and three per erase.
 *
 * An optional augmentation callback keeps a per-node value that depends on the node's subtree:
 * call kova_rb_augment_insert after an insert, and kova_rb_augment_erase_begin before /
 * kova_rb_augment_erase_end after an erase.
 */
#ifndef KOVA_KOVA_RBTREE_H
#define KOVA_KOVA_RBTREE_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** A node embedded in the caller's record. parent_color holds the parent's address with the colour
 * in bit 0 (0 red, 1 black); a root has parent 0; a node whose parent is itself is unlinked. */
typedef struct kova_rb_node_s {
    uintptr_t parent_color; /**< the parent's address with the colour in bit 0 */
    struct kova_rb_node_s *right; /**< the larger subtree */
    struct kova_rb_node_s *left; /**< the smaller subtree */
} kova_rb_node_s;

/** A red-black tree: its root node. */
typedef struct kova_rb_root_s {
    kova_rb_node_s *node; /**< null for an empty tree */
} kova_rb_root_s;

/** Recomputes the caller's per-node value from the node's children; the result is ignored. */
typedef int (*kova_rb_augment_fn)(kova_rb_node_s *node, void *data);

#define KOVA_RB_ROOT_INIT {0} /**< initialiser of an empty tree */
#define KOVA_RB_RED 0u /**< colour bit of a red node */
#define KOVA_RB_BLACK 1u /**< colour bit of a black node */

/** The node's parent; null for the root. */
static inline kova_rb_node_s *kova_rb_parent(const kova_rb_node_s *node)
{
    return (kova_rb_node_s *)(node->parent_color & ~(uintptr_t)3);
}
/** 1 for a black node, 0 for a red one. */
static inline int kova_rb_is_black(const kova_rb_node_s *node) { return (int)(node->parent_color & 1u); }
/** Marks a node unlinked. */
static inline void kova_rb_clear_node(kova_rb_node_s *node) { node->parent_color = (uintptr_t)node; }
/** 1 when the node is in no tree (its parent is itself). */
static inline int kova_rb_empty_node(const kova_rb_node_s *node) { return node->parent_color == (uintptr_t)node; }
/** Links `node` as a red leaf at `*link`, a child pointer of `parent` (or the root pointer). */
static inline void kova_rb_link_node(kova_rb_node_s *node, kova_rb_node_s *parent, kova_rb_node_s **link)
{
    node->parent_color = (uintptr_t)parent;
    node->left = node->right = 0;
    *link = node;
}

/** Colours a node just linked with kova_rb_link_node and rebalances the tree. */
KOVA_API void kova_rb_insert_color(kova_rb_node_s *node, kova_rb_root_s *root);
/** Takes the node out of the tree and rebalances it. */
KOVA_API void kova_rb_erase(kova_rb_node_s *node, kova_rb_root_s *root);
/** The smallest node; null for an empty tree. */
KOVA_API kova_rb_node_s *kova_rb_first(const kova_rb_root_s *root);
/** The largest node; null for an empty tree. */
KOVA_API kova_rb_node_s *kova_rb_last(const kova_rb_root_s *root);
/** The next larger node; null after the last. */
KOVA_API kova_rb_node_s *kova_rb_next(const kova_rb_node_s *node);
/** The next smaller node; null before the first. */
KOVA_API kova_rb_node_s *kova_rb_prev(const kova_rb_node_s *node);
/** Puts `replacement` in `victim`'s place (parent, children, colour) without rebalancing. */
KOVA_API void kova_rb_replace_node(kova_rb_node_s *victim, kova_rb_node_s *replacement, kova_rb_root_s *root);
/** After an insert: calls fn on the nodes whose children changed, from below the new node up to
 * the root, so that per-node values stay right. */
KOVA_API void kova_rb_augment_insert(kova_rb_node_s *node, kova_rb_augment_fn fn, void *data);
/** Before an erase: the deepest node whose subtree the erase changes (to be passed to
 * kova_rb_augment_erase_end afterwards), or null when the node is the tree's only node. */
KOVA_API kova_rb_node_s *kova_rb_augment_erase_begin(kova_rb_node_s *node);
/** After an erase: calls fn from `node` (from kova_rb_augment_erase_begin) up to the root; a null
 * node does nothing. */
KOVA_API void kova_rb_augment_erase_end(kova_rb_node_s *node, kova_rb_augment_fn fn, void *data);

KOVA_EXTERN_C_END

#endif
