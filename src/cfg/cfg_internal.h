// The INI parser and the node structures shared by the store, the direct file operations and
// the editor. Other families read their INI files through parse_file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kova/kova_cfg.h"

namespace kova::cfg {

// Called for every accepted item: 1 continues the parse, anything else stops it and is returned.
using ItemProc = int (*)(kova_cfg_file_node_s *context, const char *section, kova_cfg_item_node_s *item, void *arg);

constexpr std::size_t kValueBufferSize = 0x400000;
constexpr std::size_t kRewriteSlack = 0x400080;

// Reads `fd` to its end: 0, the first result of `proc` other than 1, or -1 when the buffers
// cannot be allocated or the file cannot be read.
int parse_lines(int fd, kova_cfg_file_node_s *context, ItemProc proc, void *arg);
// A new file node for `path` filled by `proc`; null on any failure. The path must be shorter
// than KOVA_CFG_FILE_NAME_SIZE.
kova_cfg_file_node_s *parse_file(const char *path, ItemProc proc, void *arg);
// A file node with every item of `path`, as the store keeps it.
kova_cfg_file_node_s *load_file(const char *path);

kova_cfg_file_node_s *new_file_node(const char *path);
void free_file_node(kova_cfg_file_node_s *node);
void free_section(kova_cfg_section_node_s *section);
void free_item(kova_cfg_item_node_s *item);
kova_cfg_section_node_s *find_section(kova_cfg_file_node_s *node, const char *name);
kova_cfg_section_node_s *new_section(kova_cfg_file_node_s *node, const char *name);
kova_cfg_item_node_s *find_item(kova_cfg_section_node_s *section, const char *name);
// A heap copy of `value`; null (logged with `alloc_message`) when it cannot be made.
char *copy_value(const char *value, const char *function, const char *alloc_message);

// Puts `node` in the place of the store's node of the same name, taking its count; false when
// the store holds no such file.
bool replace_in_store(kova_cfg_file_node_s *node);

void list_init(kova_list_head_s *head);
void list_add_tail(kova_list_head_s *node, kova_list_head_s *head);
void list_add_head(kova_list_head_s *node, kova_list_head_s *head);
void list_del(kova_list_head_s *node);
inline bool list_empty(const kova_list_head_s *head) { return head->next == head; }

template <typename T>
T *container_of_list(kova_list_head_s *link)
{
    return reinterpret_cast<T *>(reinterpret_cast<char *>(link) - offsetof(T, list));
}

// Iterates the nodes of type T on `head` (the next node is read first, so `node` may be freed).
#define KOVA_CFG_FOR_EACH(T, node, head)                                                               \
    for (kova_list_head_s *kova_link_ = (head)->next, *kova_next_ = kova_link_->next;                   \
         kova_link_ != (head); kova_link_ = kova_next_, kova_next_ = kova_link_->next)                  \
        if (T *node = ::kova::cfg::container_of_list<T>(kova_link_); true)

}  // namespace kova::cfg
