/**
 * @file
 * An intrusive AVL tree. The caller embeds a kova_avl_node_s in its record at a fixed offset and
 * supplies comparison functions; the tree never allocates or frees, and takes no lock (callers
 * serialise access to one tree).
 *
 * A find that misses returns an insertion index: the would-be parent node with the side (0 left,
 * 1 right) in its lowest bit, so the insert that follows needs no second descent:
 *
 *     kova_avl_index_t where;
 *     if (kova_find_avl_node(&tree, &key, &where) == NULL) kova_insert_avl_node(&tree, rec, where);
 *
 * Find, insert and remove cost O(log n); an insert rotates at most once, a remove at most once
 * per level. Null tree, record or comparison arguments log "NULL POINTER" and give -1 or null.
 */
#ifndef KOVA_KOVA_AVL_H
#define KOVA_KOVA_AVL_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** The AVL node the caller embeds in its record. */
typedef struct kova_avl_node_s {
    struct kova_avl_node_s *child[2]; /**< [0] smaller records, [1] larger */
    struct kova_avl_node_s *parent;   /**< null for the root */
    uint32_t child_index;             /**< the parent's side this node hangs on */
    int32_t balance;                  /**< height of child 1's subtree minus child 0's: -1, 0 or +1 */
} kova_avl_node_s;

/** (value or record to place, record in the tree) -> -1, 0 or +1. Any other result stops a find
 * without a match and with index 0. */
typedef int (*kova_avl_compare_fn)(const void *value, const void *record);

/** An AVL tree of the caller's records, ordered by its comparison functions. */
typedef struct kova_avl_tree_s {
    kova_avl_node_s *root; /**< null for an empty tree */
    kova_avl_compare_fn insert_compare; /**< orders a record to insert against one in the tree */
    kova_avl_compare_fn find_compare; /**< orders a searched value against a record in the tree */
    uint32_t node_offset; /**< where the node lies in the caller's record */
    uint32_t record_size; /**< stored only */
    uint64_t count; /**< records in the tree */
} kova_avl_tree_s;

/** A node address with the side in bit 0; 0 (or 1) in an empty tree. */
typedef uintptr_t kova_avl_index_t;

/** Makes an empty tree with one comparison for inserts and finds: 0, or -1. */
KOVA_API int kova_create_avl(kova_avl_tree_s *tree, kova_avl_compare_fn compare, uint32_t record_size,
                             uint32_t node_offset);
/** Makes an empty tree with one comparison for inserts and another for finds: 0, or -1. */
KOVA_API int kova_create_avl_new(kova_avl_tree_s *tree, kova_avl_compare_fn insert_compare,
                                 kova_avl_compare_fn find_compare, uint32_t record_size, uint32_t node_offset);
/** Forgets the root and the count; the records are the caller's. 0, or -1 for null. */
KOVA_API int kova_destroy_avl(kova_avl_tree_s *tree);

/** The record equal to value (find comparison), or null with the insertion index in *index
 * (index may be null; it is left alone on a match). */
KOVA_API void *kova_find_avl_node(kova_avl_tree_s *tree, const void *value, kova_avl_index_t *index);
/** Inserts the record where the insert comparison places it, unless an equal record is present. */
KOVA_API void kova_add_avl_node(kova_avl_tree_s *tree, void *record);
/** Inserts the record at an index from a find on the unchanged tree: 0, or -1. */
KOVA_API int kova_insert_avl_node(kova_avl_tree_s *tree, void *record, kova_avl_index_t index);
/** Inserts the record right before (direction 0) or after (1) a record in the tree, whatever the
 * comparison says: 0, or -1 for null arguments or another direction ("Invalid Param"). */
KOVA_API int kova_insert_avl_node_specified(kova_avl_tree_s *tree, void *record, void *neighbour, int direction);
/** Takes a record that is in the tree out of it. */
KOVA_API void kova_remove_avl_node(kova_avl_tree_s *tree, void *record);

/** The next larger (direction 1) or smaller (0) record, or null. */
KOVA_API void *kova_walk_avl_node(kova_avl_tree_s *tree, void *record, int direction);
/** The record nearest to an index in a direction: the index's node if the index hangs on the
 * other side of it, else that node's neighbour in the direction; null for an empty index. */
KOVA_API void *kova_find_avl_nearest_node(kova_avl_tree_s *tree, kova_avl_index_t index, int direction);
/** The record with the smallest key, or null for an empty tree or a null tree (logged). */
KOVA_API void *kova_get_avl_first_node(kova_avl_tree_s *tree);
/** The record with the largest key, or null for an empty tree or a null tree (logged). */
KOVA_API void *kova_get_avl_last_node(kova_avl_tree_s *tree);
/** The number of records, or -1 for null. */
KOVA_API int64_t kova_get_avl_node_num(kova_avl_tree_s *tree);

KOVA_EXTERN_C_END

#endif
