/**
 * @file
 * List links: circular doubly linked lists. An unlinked node carries the poison values below.
 */
#ifndef KOVA_KOVA_LIST_H
#define KOVA_KOVA_LIST_H

#include "kova_types.h"

#define KOVA_LIST_POISON_NEXT ((struct kova_list_head_s *)0x100100)
#define KOVA_LIST_POISON_PREV ((struct kova_list_head_s *)0x200200)

typedef struct kova_list_head_s {
    struct kova_list_head_s *next;
    struct kova_list_head_s *prev;
} kova_list_head_s;

#endif
