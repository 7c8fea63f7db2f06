#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "init/kova_log.h"
#include "kova/kova_mem.h"
#include "kova/kova_time.h"
#include "platform/bounded.h"
#include "symbol/symbol_internal.h"

KOVA_LOG_SOURCE("symbol/kova_symbol")

namespace kova::symbol {
namespace {

constexpr std::size_t kSymbolEntrySize = sizeof(Elf64_Sym);

class Mapping {
public:
    Mapping() = default;
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    ~Mapping() { unmap(); }

    // Maps [offset, offset + length) of the file read-only; the offset is rounded down to a page.
    bool map(int fd, std::uint64_t offset, std::uint64_t length, std::uint64_t page)
    {
        std::uint64_t start = offset - offset % page;
        length_ = static_cast<std::size_t>(length + (offset - start));
        address_ = mmap(nullptr, length_, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(start));
        if (address_ == MAP_FAILED) return false;
        data_ = static_cast<const char *>(address_) + (offset - start);
        return true;
    }
    void unmap()
    {
        if (address_ != MAP_FAILED) munmap(address_, length_);
        address_ = MAP_FAILED;
    }
    // Hands the mapping over to the node.
    void release_to(SymbolNode &node)
    {
        node.map_address = address_;
        node.map_length = length_;
        address_ = MAP_FAILED;
    }
    const char *data() const { return data_; }

private:
    void *address_ = MAP_FAILED;
    std::size_t length_ = 0;
    const char *data_ = nullptr;
};

struct Tables {
    const Elf64_Shdr *symtab = nullptr;
    const Elf64_Shdr *strtab = nullptr;
};

bool inside_file(std::uint64_t offset, std::uint64_t size, std::uint64_t file_size)
{
    return offset <= file_size && size <= file_size - offset;
}

// The named pair of sections, both of which must lie inside the file.
Tables find_tables(const Elf64_Shdr *sections, unsigned count, const char *names, std::uint64_t names_size,
                   std::uint64_t file_size, const char *symtab_name, const char *strtab_name)
{
    Tables found;
    for (unsigned i = 0; i < count; ++i) {
        const Elf64_Shdr &section = sections[i];
        if (section.sh_name >= names_size || !inside_file(section.sh_offset, section.sh_size, file_size)) continue;
        const char *name = names + section.sh_name;
        std::size_t room = static_cast<std::size_t>(names_size - section.sh_name);
        if (strnlen(name, room) == room) continue;
        if (std::strcmp(name, symtab_name) == 0) found.symtab = &section;
        if (std::strcmp(name, strtab_name) == 0) found.strtab = &section;
    }
    return found;
}

bool wanted(const Elf64_Sym &symbol, std::size_t strtab_size)
{
    unsigned type = ELF64_ST_TYPE(symbol.st_info);
    // An indirect function's value is its resolver's code: without it that code would be named
    // after the preceding symbol.
    return symbol.st_size != 0 && symbol.st_shndx != SHN_UNDEF &&
           (type == STT_OBJECT || type == STT_FUNC || type == STT_GNU_IFUNC) &&
           symbol.st_name < strtab_size;
}

void log_errno(const char *format, const char *path)
{
    int error = errno;
    KOVA_LOG_AS("symbol_init_node", kova::log::kError, format, path, error, std::strerror(error));
}

// Maps the symbol and string tables of an open ELF file; on success `tables` points into the
// header mappings, which the caller keeps until it has read them.
bool map_tables(int fd, const char *path, std::uint64_t file_size, std::uint64_t page, Mapping &region, Tables &tables,
                Mapping &ehdr_map, Mapping &shdr_map, Mapping &names_map)
{
    if (!ehdr_map.map(fd, 0, sizeof(Elf64_Ehdr), page)) {
        log_errno("Symbol map %s for ehdr fail, errno %d, %s.", path);
        return false;
    }
    const auto *ehdr = reinterpret_cast<const Elf64_Ehdr *>(ehdr_map.data());
    if (std::memcmp(ehdr->e_ident, ELFMAG, SELFMAG) != 0 || ehdr->e_ident[EI_CLASS] != ELFCLASS64) {
        KOVA_LOG_AS("symbol_init_node", kova::log::kError, "Symbol check elf magic fail, file %s.", path);
        return false;
    }
    std::uint64_t table_size = std::uint64_t{ehdr->e_shnum} * sizeof(Elf64_Shdr);
    if (ehdr->e_shentsize != sizeof(Elf64_Shdr) || ehdr->e_shnum == 0 || ehdr->e_shstrndx >= ehdr->e_shnum ||
        !inside_file(ehdr->e_shoff, table_size, file_size)) {
        KOVA_LOG_AS("symbol_init_node", kova::log::kError, "Init symtab desc fail, file %s.", path);
        return false;
    }
    if (!shdr_map.map(fd, ehdr->e_shoff, table_size, page)) {
        log_errno("Symbol map %s for shdr fail, errno %d, %s.", path);
        return false;
    }
    const auto *sections = reinterpret_cast<const Elf64_Shdr *>(shdr_map.data());
    const Elf64_Shdr &names = sections[ehdr->e_shstrndx];
    if (!inside_file(names.sh_offset, names.sh_size, file_size) || names.sh_size == 0 ||
        !names_map.map(fd, names.sh_offset, names.sh_size, page)) {
        log_errno("Symbol map %s for shstr fail, errno %d, %s.", path);
        return false;
    }
    tables = find_tables(sections, ehdr->e_shnum, names_map.data(), names.sh_size, file_size, ".symtab", ".strtab");
    if (tables.symtab == nullptr || tables.strtab == nullptr)
        tables = find_tables(sections, ehdr->e_shnum, names_map.data(), names.sh_size, file_size, ".dynsym", ".dynstr");
    if (tables.symtab == nullptr || tables.strtab == nullptr || tables.strtab->sh_size == 0) {
        KOVA_LOG_AS("symbol_init_node", kova::log::kError, "Get symtab and strtab fail, file %s.", path);
        return false;
    }
    if (tables.symtab->sh_entsize != kSymbolEntrySize) {
        KOVA_LOG_AS("symbol_init_node", kova::log::kError, "Entry size of symtbl is %u, not equal to %u, file %s.",
                    static_cast<unsigned>(tables.symtab->sh_entsize), static_cast<unsigned>(kSymbolEntrySize), path);
        return false;
    }
    if (tables.strtab->sh_offset < tables.symtab->sh_offset + tables.symtab->sh_size) {
        KOVA_LOG_AS("symbol_init_node", kova::log::kError, "It's wrong that strtab is ahead of symtab, file %s.", path);
        return false;
    }
    std::uint64_t length = tables.strtab->sh_offset + tables.strtab->sh_size - tables.symtab->sh_offset;
    if (!region.map(fd, tables.symtab->sh_offset, length, page)) {
        int error = errno;
        KOVA_LOG_AS("symbol_init_node", kova::log::kError, "Map symtab fail, file %s, errno %d, %s.", path, error,
                    std::strerror(error));
        return false;
    }
    return true;
}

}  // namespace

const Elf64_Sym *nearest_symbol(const SymbolNode &node, std::uint64_t key)
{
    std::uint64_t low = 0, high = node.count;
    const Elf64_Sym *below = nullptr;
    while (low < high) {
        std::uint64_t middle = low + (high - low) / 2;
        const Elf64_Sym *entry = node.symbols[middle];
        if (key < entry->st_value) {
            high = middle;
        } else if (key - entry->st_value < entry->st_size) {
            return entry;
        } else {
            below = entry;
            low = middle + 1;
        }
    }
    return below;
}

SymbolNode *build_node(const char *path, std::uint64_t base, std::uint64_t vaddr_start, std::uint64_t vaddr_end)
{
    std::uint64_t started = kova_time_getnanosec();
    std::uint64_t page = 0;
    if (kova_get_sys_page_size(&page) != 0 || page == 0) {
        KOVA_LOG_AS("symbol_init_node", kova::log::kError, "Symbol get sys page size fail.");
        return nullptr;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        log_errno("Open %s fail, errno %d, %s.", path);
        return nullptr;
    }
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < static_cast<off_t>(sizeof(Elf64_Ehdr))) {
        KOVA_LOG_AS("symbol_init_node", kova::log::kError, "File %s is less than %u bytes, not valid elf file.", path,
                    static_cast<unsigned>(sizeof(Elf64_Ehdr)));
        close(fd);
        return nullptr;
    }
    Mapping region, ehdr_map, shdr_map, names_map;
    Tables tables;
    bool mapped = map_tables(fd, path, static_cast<std::uint64_t>(end), page, region, tables, ehdr_map, shdr_map,
                             names_map);
    close(fd);
    if (!mapped) return nullptr;

    const char *strtab = region.data() + (tables.strtab->sh_offset - tables.symtab->sh_offset);
    auto strtab_size = static_cast<std::size_t>(tables.strtab->sh_size);
    if (strtab[strtab_size - 1] != '\0') {
        KOVA_LOG_AS("symbol_init_node", kova::log::kError, "Init symtab desc fail, file %s.", path);
        return nullptr;
    }
    const auto *entries = reinterpret_cast<const Elf64_Sym *>(region.data());
    std::uint64_t total = tables.symtab->sh_size / kSymbolEntrySize;
    std::uint64_t count = 0;
    for (std::uint64_t i = 0; i < total; ++i) count += wanted(entries[i], strtab_size) ? 1 : 0;
    std::uint64_t bytes = sizeof(SymbolNode) + count * sizeof(const Elf64_Sym *);
    void *memory = bytes <= INT32_MAX ? kova_mallocsubstandard(KOVA_MODULE_ID, static_cast<int32_t>(bytes), 0,
                                                              "symbol_init_node", __LINE__)
                                      : nullptr;
    if (memory == nullptr) {
        KOVA_LOG_AS("symbol_init_node", kova::log::kError, "Alloc memory symtab_node of file %s.", path);
        return nullptr;
    }
    auto *node = new (memory) SymbolNode{};
    node->symbols = reinterpret_cast<const Elf64_Sym **>(node + 1);
    int copied = kova::sec::strcpy_s(node->path, sizeof node->path, path);
    if (copied != 0) {
        KOVA_LOG_AS("symbol_init_node", kova::log::kError, "Memcpy_s failed, ret = %d.", copied);
        kova_freesub(memory, "symbol_init_node", __LINE__);
        return nullptr;
    }
    node->base = base;
    node->vaddr_start = vaddr_start;
    node->vaddr_end = vaddr_end;
    node->strtab = strtab;
    node->strtab_size = strtab_size;
    for (std::uint64_t i = 0; i < total; ++i)
        if (wanted(entries[i], strtab_size)) node->symbols[node->count++] = &entries[i];
    std::sort(node->symbols, node->symbols + node->count,
              [](const Elf64_Sym *a, const Elf64_Sym *b) { return a->st_value < b->st_value; });
    region.release_to(*node);
    node->parse_ns = static_cast<std::uint32_t>(kova_time_getnanosec() - started);
    return node;
}

void free_node(SymbolNode *node)
{
    if (node == nullptr) return;
    munmap(node->map_address, node->map_length);
    kova_freesub(node, "symbol_free_node", __LINE__);
}

}  // namespace kova::symbol
