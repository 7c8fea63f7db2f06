/**
 * @file
 * An intrusive chained hash table keyed by a pair of keys (32-bit and 64-bit).
 *
 * The caller embeds a kova_hash_node_s in its record, fills in both keys and inserts the node;
 * the table never copies or frees nodes. There are 2^p buckets, the largest power of two not
 * above the requested count, and a node's bucket is the top p bits of
 * ((key32 << 32) | low 32 bits of key64) * 0x9E37FFFFFFFC0001. Nodes are equal when both keys
 * are equal in full. Insert, delete and search cost one multiplication and one bucket walk.
 *
 * The table takes no lock: callers that share one lock around every call, iteration included.
 * Statuses: 0; -22 (-EINVAL) for bad arguments; -12 (-ENOMEM); -17 (-EEXIST); -1 for an absent key.
 */
#ifndef KOVA_KOVA_HASH_H
#define KOVA_KOVA_HASH_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** The table's own two allocations (record and buckets) go through these when both are set, and
 * through malloc and free when neither is. */
typedef struct kova_hash_attr_s {
    void *(*alloc)(uint32_t size); /**< allocates the record or the bucket array */
    void (*release)(void *memory); /**< frees what alloc returned */
} kova_hash_attr_s;

/** A doubly linked bucket link; a bucket head is a link to itself when empty. */
typedef struct kova_hash_link_s {
    struct kova_hash_link_s *next; /**< next link of the bucket */
    struct kova_hash_link_s *prev; /**< previous link of the bucket */
} kova_hash_link_s;

/** Embedded by the caller. A node out of a table is left linked to itself by the table. */
typedef struct kova_hash_node_s {
    kova_hash_link_s link; /**< the bucket link */
    uint64_t key64; /**< the 64-bit half of the key */
    uint32_t key32; /**< the 32-bit half of the key */
} kova_hash_node_s;

/** A hash table of caller-embedded nodes with a power-of-two bucket array. */
typedef struct kova_hash_table_s {
    kova_hash_link_s *buckets; /**< the bucket heads */
    uint32_t bucket_count; /**< 2 to the power `power` */
    uint32_t power; /**< bits of the hash that choose a bucket */
    kova_hash_attr_s *attr; /**< the caller's; must outlive the table */
} kova_hash_table_s;

/** Called with each node a table operation hands back (for example to free it). */
typedef void (*kova_hash_node_fn)(kova_hash_node_s *node);
/** Called with each node of a walk; its result is the walk's to interpret (see the walk functions). */
typedef int (*kova_hash_visit_fn)(kova_hash_node_s *node);
/** kova_hash_visit_fn with the caller's argument. */
typedef int (*kova_hash_visit_ex_fn)(kova_hash_node_s *node, void *arg);

/** Clears an attribute: 0, or -1 for null. */
KOVA_API int kova_hash_attr_init(kova_hash_attr_s *attr);

/** Creates a table into *table. -22 for a null output, a reserved value above 1023, or a count of
 * 0 or 2^31 and more; -12 (and *table null) when an allocation fails. */
KOVA_API int kova_hash_create(uint32_t count, kova_hash_table_s **table, uint32_t reserved);
/** kova_hash_create with the table's memory taken through `attr` (malloc/free when null); same
 * results. */
KOVA_API int kova_hash_create_ex(uint32_t count, kova_hash_table_s **table, uint32_t reserved, kova_hash_attr_s *attr);
/** Unlinks every node (each left linked to itself, then handed to fn if given, which may free it)
 * and frees the table. */
KOVA_API int kova_hash_destory(kova_hash_table_s *table, kova_hash_node_fn fn);

/** Links the node at the front of its bucket; -17 if a node with both keys equal is present. */
KOVA_API int kova_hash_insert(kova_hash_table_s *table, kova_hash_node_s *node);
/** Unlinks the node with both keys (stored in *node if node is not null); -1 when absent. */
KOVA_API int kova_hash_delete(kova_hash_table_s *table, uint32_t key32, uint64_t key64, kova_hash_node_s **node);
/** The node with both keys in *node; -1 and null when absent; -22 for a null table or output. */
KOVA_API int kova_hash_search(kova_hash_table_s *table, uint32_t key32, uint64_t key64, kova_hash_node_s **node);

/** Visits buckets in order, each from front to back. The callback may unlink or free the node it
 * is given, no other. A non-zero result ends the walk and is returned when stop is non-zero;
 * otherwise it is ignored. -22 for a null table or callback. */
KOVA_API int kova_hash_for_each(kova_hash_table_s *table, kova_hash_visit_fn fn, int8_t stop);
/** kova_hash_for_each with `arg` passed to every call of the callback; same rules and results. */
KOVA_API int kova_hash_for_each_ex(kova_hash_table_s *table, kova_hash_visit_ex_fn fn, void *arg, int8_t stop);

/** 1 << power, or 0 for a power above 30. */
KOVA_API uint32_t hash_pow(uint32_t power);
/** The largest p with 2^p <= n; 0 for n below 2. */
KOVA_API uint32_t hash_get_pow(uint32_t n);
/** The bucket of a key pair in a table of 2^power buckets. */
KOVA_API uint32_t hash_func(uint32_t key32, uint64_t key64, uint32_t power);
/** Allocation through an attribute (malloc without one); a half-set attribute allocates
 * nothing and logs "attr malloc(%p) and free(%p) must be matched". */
KOVA_API void *kova_hash_malloc(kova_hash_attr_s *attr, uint32_t size);
/** Frees through the attribute's release function, or with free() when there is none. */
KOVA_API void kova_hash_free(kova_hash_attr_s *attr, void *memory);

KOVA_EXTERN_C_END

#endif
