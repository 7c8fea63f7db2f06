/**
 * @file
 * List links: circular doubly linked lists. An unlinked node carries the poison values below.
 */
#ifndef KOVA_KOVA_LIST_H
#define KOVA_KOVA_LIST_H

#include "kova_types.h"

#define KOVA_LIST_POISON_NEXT ((struct kova_list_head_s *)0x100100) /**< next of a removed entry: faults if followed */
#define KOVA_LIST_POISON_PREV ((struct kova_list_head_s *)0x200200) /**< prev of a removed entry: faults if followed */

/** A circular doubly linked list link; a list head is an entry linked to itself when empty. */
typedef struct kova_list_head_s {
    struct kova_list_head_s *next; /**< the next entry (the head after the last) */
    struct kova_list_head_s *prev; /**< the previous entry (the head before the first) */
} kova_list_head_s;

#endif
