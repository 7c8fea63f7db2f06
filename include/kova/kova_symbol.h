/**
 * @file
 * The symbol resolver: code addresses to "symbol+offset" and object file, from the ELF symbol
 * tables of the main program and of every loaded shared object, read by the library itself.
 *
 * - Index: one node per loaded object in an AVL tree keyed by the object's address range; each
 *   node holds pointers into the object's mapped symbol table (".symtab"/".strtab", else
 *   ".dynsym"/".dynstr"), functions and objects of non-zero size only, sorted by value. Only the
 *   region from the symbol table to the string table is mapped; nothing is copied.
 * - Lookups: O(log objects + log symbols), no allocation, and they never wait: the index's
 *   reader-writer lock is tried once, and a lookup during an index change fails with -16, so a
 *   signal handler that interrupted an update still prints raw addresses. An address in the gap
 *   after a symbol resolves to that symbol, with an offset beyond its size.
 * - Updates: a pass rereads the loaded objects, adds the new and drops the unloaded. One pass
 *   runs at a time; requests that arrive meanwhile fold into one more pass. kova_dlopen and
 *   kova_dlclose request a pass on the work scheduler.
 */
#ifndef KOVA_KOVA_SYMBOL_H
#define KOVA_KOVA_SYMBOL_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_SYMBOL_FILE_MAX 256u /**< size of an object path in kova_symbol_info_s */
#define KOVA_SYMBOL_NAME_MAX 64u /**< size of a symbol name in kova_symbol_info_s */

#define KOVA_SYMBOL_EINVAL (-22)    /**< address 0 or all ones, or a bad out pointer */
#define KOVA_SYMBOL_EBUSY (-16)     /**< the index is being changed: try later */
#define KOVA_SYMBOL_ENOTINIT (-124) /**< the resolver is not initialised */
#define KOVA_SYMBOL_ENOMEM (-12) /**< the resolver could not allocate its index */

/** What a lookup found: the symbol and the object holding it. */
typedef struct kova_symbol_info_s {
    char file[KOVA_SYMBOL_FILE_MAX]; /**< the object's path */
    char name[KOVA_SYMBOL_NAME_MAX]; /**< cut to 63 characters */
    uint64_t start;                  /**< absolute address of the symbol */
    uint64_t value;                  /**< the symbol's value in its table */
    uint32_t type;                   /**< 1 object, 2 function */
    uint32_t size;                   /**< low 32 bits of the symbol's size */
} kova_symbol_info_s;

/** The address range of one loaded object. */
typedef struct kova_symbol_range_s {
    uint64_t base;        /**< the object's load base */
    uint64_t vaddr_start; /**< lowest executable loaded address */
    uint64_t vaddr_end;   /**< end of the highest segment */
} kova_symbol_range_s;

/** A lookup the caller provides; 0 when it resolved the address (then used as is). */
typedef int32_t (*kova_symbol_find_fn)(uint64_t address, kova_symbol_info_s *info);

/** Initialise once and queue one update pass on the work scheduler: 0, or -12 (logged). */
KOVA_API int32_t kova_symbol_init(void);
/** Queues one update pass on the work scheduler (initialising first if needed), as
 * kova_symbol_init: 0, or -12 (logged). */
KOVA_API int32_t kova_symbol_update(void);
/** The same as kova_symbol_init: initialise once and queue one update pass; 0, or -12 (logged). */
KOVA_API int32_t kova_symbol_init_async(void);
/** Initialise once and run one update pass in the caller (or wait for the running one): 0. */
KOVA_API int32_t kova_symbol_init_sync(void);
/** Runs one update pass in the caller (initialising first if needed), as kova_symbol_init_sync: 0. */
KOVA_API int32_t kova_symbol_update_sync(void);
/** Empties the index (waiting for running lookups). Returns 0. */
KOVA_API int32_t kova_symbol_fini(void);

/** The registered lookup, then the own index: 0, -1 (not found) or an error above. */
KOVA_API int32_t kova_symbol_find(uint64_t address, kova_symbol_info_s *info);
/** The own index only; `range` (may be null) receives the object's base and range. */
KOVA_API int32_t symbol_find_by_own(uint64_t address, kova_symbol_info_s *info, kova_symbol_range_s *range);
/** The same as symbol_find_by_own: the own index only, the registered lookup not asked. */
KOVA_API int32_t kova_symbol_find_detail(uint64_t address, kova_symbol_info_s *info, kova_symbol_range_s *range);
/** "name+0xoffset" in `buffer` (set to "" first) and the buffer, or null when the address does
 * not resolve, the index is busy or the text does not fit. */
KOVA_API char *kova_symbol_addr_to_string(uint64_t address, char *buffer, uint32_t size);
/** 1 when a loaded object's range holds the address, 0 when not, -16 busy, -124 not initialised. */
KOVA_API int32_t kova_symbol_valid_address(uint64_t address);
/** Registers the lookup tried before the own index (null unregisters). Returns 0. */
KOVA_API int32_t kova_symbol_fn_register(kova_symbol_find_fn func);

/** Prints the node table. */
KOVA_API void kova_symbol_show_all_node(kova_print_fn print);
/** Writes every indexed symbol of the object at `path` to /tmp/symbol_info.log. */
KOVA_API void kova_symbol_show_elf_by_path(kova_print_fn print, const char *path);
/** Prints one lookup. */
KOVA_API void kova_symbol_show_sym_by_vaddr(kova_print_fn print, uint64_t address);
/** Test aid: holds the index's write lock for `seconds`. Returns 0. */
KOVA_API int32_t kova_symbol_rwlock_deadlock_nodump_stack(uint32_t seconds);

/** The index's lock: try-read 0 or -1. */
KOVA_API int32_t symbol_rwlock_tryrdlock(int64_t *lock);
/** Takes a read hold on the index's lock, sleeping 1 ms between rounds of attempts. */
KOVA_API void symbol_rwlock_rdlock_mayblock(int64_t *lock);
/** Takes the write hold on the index's lock, sleeping 1 ms between rounds of attempts. */
KOVA_API void symbol_rwlock_wrlock_mayblock(int64_t *lock);

KOVA_EXTERN_C_END

#endif
