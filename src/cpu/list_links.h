// The circular lists of the NUMA nodes and the partition table: records start with their links
// and are only ever appended.
#pragma once

#include "kova/kova_list.h"

namespace kova::cpu {

inline void list_append(kova_list_head_s *head, kova_list_head_s *node)
{
    node->next = head;
    node->prev = head->prev;
    head->prev->next = node;
    head->prev = node;
}

template <typename Record>
Record *entry_of(kova_list_head_s *links)
{
    static_assert(offsetof(Record, list) == 0);
    return reinterpret_cast<Record *>(links);
}

}  // namespace kova::cpu
