/**
 * @file
 * Memory: the accounted allocator, per-owner usage counters, page protection, and queries of
 * the system's memory.
 *
 * Every allocation of the library goes through kova_mallocsubstandard and every release
 * through kova_freesub, tagged with the owner's module id, the caller's function and line.
 * The per-owner counters change only through kova_mem_stat_add / kova_mem_stat_sub.
 */
#ifndef KOVA_KOVA_MEM_H
#define KOVA_KOVA_MEM_H

#include <sys/types.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_MEM_OWNERS 1024u /**< owner (module) ids whose usage is accounted */
#define KOVA_MEM_HEAD_MAGIC 0xF5F5F5F5u /**< magic of an initialised kova_mem_head_s */

/** A caller-owned memory head. */
typedef struct kova_mem_head_s {
    uint32_t magic;   /**< KOVA_MEM_HEAD_MAGIC once initialised */
    uint32_t first; /**< the first value given to kova_mem_init_head */
    uint32_t second; /**< the second value given to kova_mem_init_head */
    uint32_t reserved; /**< 0 */
} kova_mem_head_s;

/** The system page size, filled once by kova_get_current_page_size. */
KOVA_API extern uint64_t g_CurSysPageSize;
/** The installed memory reported by the board file, filled by kova_get_memsize_from_bsp. */
KOVA_API extern uint64_t g_TotalMemSize;

/** malloc(size) for `owner`; null for a size of 0 (silently) or below 0 and on failure (logged).
 * `unused` has no effect. */
KOVA_API void *kova_mallocsubstandard(uint32_t owner, int32_t size, uint32_t unused,
                                      const char *function, uint32_t line);
/** malloc(size); *allocated is set to 1 on success. */
KOVA_API void *kova_mallocsubproc(size_t size, int32_t *allocated);
/** free(ptr); a null pointer is reported (rate-limited) with the caller's function and line. */
KOVA_API void kova_freesub(void *ptr, const char *function, uint32_t line);
/** free(ptr). */
KOVA_API void kova_freesubproc(void *ptr, int32_t allocated);
/** Bounded fill of `length` bytes; returns ptr. */
KOVA_API void *kova_memset(void *ptr, int value, uint32_t length);
/** mprotect(2) with the same arguments; its result. */
KOVA_API int kova_mprotect(void *addr, size_t length, int prot);
/** mmap(2) with the same arguments; its result (MAP_FAILED on failure). */
KOVA_API void *kova_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
/** munmap; -1 for a null address. */
KOVA_API int kova_munmap(void *addr, size_t length);

/** head = { KOVA_MEM_HEAD_MAGIC, first, second, 0 }; ignores a null head. */
KOVA_API void kova_mem_init_head(kova_mem_head_s *head, uint32_t first, uint32_t second);
/** Atomically adds the low 32 bits of `bytes` to the owner's counter (owners of 1024 and above
 * count under owner 0). */
KOVA_API void kova_mem_stat_add(uint32_t owner, uint64_t bytes);
/** Atomically subtracts the low 32 bits of `bytes` from the owner's counter (owners of 1024 and
 * above count under owner 0). */
KOVA_API void kova_mem_stat_sub(uint32_t owner, uint64_t bytes);
/** Prints every non-zero counter, five to a line, and their total. Nothing for a null print. */
KOVA_API void kova_mem_show(kova_print_fn print);
/** Returns 0. */
KOVA_API int kova_mem_stat_dump(void);

/** MemFree of /proc/meminfo in kB: 0, or -1. */
KOVA_API int kova_get_free_mem(uint64_t *kilobytes);
/** MemTotal of /proc/meminfo in kB, cached after the first success: 0, or -1. */
KOVA_API int kova_get_total_mem(uint64_t *kilobytes);
/** (MemTotal - MemAvailable) x 100 / MemTotal; 0 on any failure. */
KOVA_API int kova_get_available_usage(void);
/** Syncs and drops the page cache: 0, or -1. */
KOVA_API int kova_release_mem(void);
/** 0 once the page size is known, -1 if sysconf failed. */
KOVA_API int kova_get_current_page_size(void);
/** Reads sysconf(_SC_PAGESIZE) into g_CurSysPageSize: 0, or -1. */
KOVA_API int kova_get_current_page_size_inner(void);
/** Stores the page size: 0, or -1 for a null address or an unknown size. */
KOVA_API int kova_get_sys_page_size(uint64_t *page_size);
/** Makes `pages` pages of 4 KiB from `addr` read-only. 0, -1 for bad arguments (null, 0 pages,
 * or a range that does not cover whole system pages), or the errno of mprotect. */
KOVA_API int kova_setmemory_ro(void *addr, int pages);
/** Makes `pages` pages of 4 KiB from `addr` writable; arguments and results as kova_setmemory_ro. */
KOVA_API int kova_setmemory_rw(void *addr, int pages);
/** Installed memory from the board file, cached in g_TotalMemSize: 0, 1 when the board file is
 * missing or unreadable, -1 on other failures. */
KOVA_API int kova_get_memsize_from_bsp(uint64_t *size);

KOVA_EXTERN_C_END

#endif
