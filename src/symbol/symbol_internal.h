// One index node per loaded object, and the ELF reader that builds it.
#pragma once

#include <elf.h>

#include <cstddef>
#include <cstdint>

#include "kova/kova_avl.h"
#include "kova/kova_symbol.h"

namespace kova::symbol {

constexpr std::uint32_t kPresent = 0x1;

struct SymbolNode {
    SymbolNode *prev;
    SymbolNode *next;
    kova_avl_node_s tree;
    std::uint64_t base;
    std::uint64_t vaddr_start;
    std::uint64_t vaddr_end;
    std::uint32_t flags;
    std::uint32_t parse_ns;
    char path[KOVA_SYMBOL_FILE_MAX];
    void *map_address;  // the mapping of the symbol table through the string table
    std::size_t map_length;
    const char *strtab;
    std::size_t strtab_size;  // its last byte is a NUL: every name ends inside the mapping
    std::uint64_t count;
    const Elf64_Sym **symbols;  // `count` entries right after the node, sorted by st_value
};

// Builds the node of the object at `path` (logged and null on any failure).
SymbolNode *build_node(const char *path, std::uint64_t base, std::uint64_t vaddr_start, std::uint64_t vaddr_end);
// Unmaps and frees a node that is in no list or tree.
void free_node(SymbolNode *node);

// The index's reader-writer lock word, for tests that hold it.
std::int64_t *index_lock();
// Update requests not yet served (the single flight's counter), and passes run so far.
std::uint32_t pending_requests();
std::uint64_t passes_run();

// What the index holds: its objects, their nodes' heap bytes and the bytes of symbol and string
// tables they map.
struct IndexSize {
    std::uint64_t objects, heap_bytes, mapped_bytes;
};
IndexSize index_size();

// The entry whose range holds `key` (a value relative to the load base), else the nearest one
// below it; null when every entry lies above.
const Elf64_Sym *nearest_symbol(const SymbolNode &node, std::uint64_t key);

}  // namespace kova::symbol
