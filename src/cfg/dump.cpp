#include "cfg/cfg_internal.h"
#include "mem/alloc.h"

extern "C" int kova_cfg_file_dump(const char *path, kova_print_fn print)
{
    if (print == nullptr) return -1;
    kova_cfg_file_node_s *node = kova::cfg::load_file(path);
    if (node == nullptr) return -1;
    KOVA_CFG_FOR_EACH(kova_cfg_section_node_s, section, &node->sections) {
        print("[%s]\n", section->name);
        KOVA_CFG_FOR_EACH(kova_cfg_item_node_s, item, &section->items) print("%s=%s\n", item->name, item->value);
    }
    kova::cfg::free_file_node(node);
    return 0;
}
