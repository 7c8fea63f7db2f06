/**
 * @file
 * Bitmaps, bit counting, byte order and dynamic loading.
 *
 * A bitmap is an array of bytes: bit i is bit (i mod 8) of byte i / 8, which on the little-endian
 * processors the library runs on is bit (i mod 64) of 64-bit word i / 64. A bitmap of n bits
 * occupies ceil(n / 8) bytes and need not be aligned; no function reads a byte past that.
 * A search that finds nothing returns the bitmap's size. Searches take no lock and cost O(n / 64).
 */
#ifndef KOVA_KOVA_BITOPS_H
#define KOVA_KOVA_BITOPS_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** The first min(n, 64) bits as an integer (bit 0 = bit 0 of the bitmap); bits past n read 0. */
KOVA_API uint64_t kova_bitop_read_u64(const void *bitmap, uint64_t n);

/** Number of the first set bit below size, or size. */
KOVA_API uint64_t find_first_bit(const void *bitmap, uint64_t size);
/** Number of the first clear bit below size, or size. */
KOVA_API uint64_t find_first_zero_bit(const void *bitmap, uint64_t size);
/** Number of the first set bit at or after offset and below size, or size. */
KOVA_API uint64_t find_next_bit(const void *bitmap, uint64_t size, uint64_t offset);
/** Number of the first clear bit at or after offset and below size, or size. */
KOVA_API uint64_t kova_find_next_zero_bit(const void *bitmap, uint64_t size, uint64_t offset);

#if defined(__GNUC__) && defined(__OPTIMIZE__) && !defined(KOVA_BITOPS_OUT_OF_LINE)
/** find_next_bit is called once per set bit in a walk over a bitmap, so the whole words are
 * searched inline; the library's exported function, reached under another name so that it is not
 * inlined into itself, takes the partial last word. gnu_inline emits no symbol: the ABI keeps the
 * exported function. */
KOVA_API uint64_t kova_find_next_bit_out_of_line_(const void *bitmap, uint64_t size, uint64_t offset) __asm__("find_next_bit");
extern __inline__ __attribute__((__gnu_inline__, __always_inline__)) uint64_t find_next_bit(const void *bitmap, uint64_t size, uint64_t offset)
{
    const unsigned char *bytes = (const unsigned char *)bitmap;
    uint64_t base = offset & ~(uint64_t)63;
    uint64_t word;
    if (offset >= size) return size;
    if (size - base < 64) return kova_find_next_bit_out_of_line_(bitmap, size, offset);
    __builtin_memcpy(&word, bytes + base / 8, sizeof word);
    word &= ~(uint64_t)0 << (offset & 63);
    while (word == 0) {
        base += 64;
        if (size - base < 64) return base == size ? size : kova_find_next_bit_out_of_line_(bitmap, size, base);
        __builtin_memcpy(&word, bytes + base / 8, sizeof word);
    }
    return base + (uint64_t)__builtin_ctzll(word);
}
#endif

/** 1 and the bit's number in *bit when a set bit exists below size, else 0 with *bit untouched.
 * A null bitmap or out pointer gives 0. */
KOVA_API int kova_bitop_findfirstsetbit(const void *bitmap, uint32_t size, uint32_t *bit);
/** 1 and the bit's number in *bit when a clear bit exists below size, else 0 with *bit
 * untouched. A null bitmap or out pointer gives 0. */
KOVA_API int kova_bitop_findfirstclrbit(const void *bitmap, uint32_t size, uint32_t *bit);
/** The same for the first set bit at or after offset; a negative size finds nothing. */
KOVA_API int kova_bitop_findnextsetbit(const void *bitmap, int32_t size, uint32_t offset, uint32_t *bit);

/** Number of set bits of a 32-bit value. */
KOVA_API uint32_t kova_hweight32(uint32_t value);
/** Number of set bits of a 64-bit value. */
KOVA_API uint32_t kova_hweight64(uint64_t value);

/** Sets a bit with one atomic read-modify-write of the byte holding it: safe against concurrent
 * changes of other bits, with no ordering towards other memory. */
KOVA_API void kova_set_bit(uint32_t bit, void *bitmap);
/** Clears a bit with one atomic read-modify-write of the byte holding it, as kova_set_bit. */
KOVA_API void kova_clear_bit(uint32_t bit, void *bitmap);
/** Sets a bit atomically, as kova_set_bit, and returns its previous value (0 or 1). */
KOVA_API int kova_test_and_set_bit(uint32_t bit, void *bitmap);
/** Clears a bit atomically, as kova_set_bit, and returns its previous value (0 or 1). */
KOVA_API int kova_test_and_clear_bit(uint32_t bit, void *bitmap);

/** Byte order of a 16-bit value from the processor's order to little-endian; the processor is little-endian, so the value is returned unchanged. */
KOVA_API uint16_t kova_endian_cputolittle16(uint16_t value);
/** Byte order of a 32-bit value from the processor's order to little-endian; the processor is little-endian, so the value is returned unchanged. */
KOVA_API uint32_t kova_endian_cputolittle32(uint32_t value);
/** Byte order of a 64-bit value from the processor's order to little-endian; the processor is little-endian, so the value is returned unchanged. */
KOVA_API uint64_t kova_endian_cputolittle64(uint64_t value);
/** Byte order of a 16-bit value from little-endian to the processor's order; the processor is little-endian, so the value is returned unchanged. */
KOVA_API uint16_t kova_endian_littletocpu16(uint16_t value);
/** Byte order of a 32-bit value from little-endian to the processor's order; the processor is little-endian, so the value is returned unchanged. */
KOVA_API uint32_t kova_endian_littletocpu32(uint32_t value);
/** Byte order of a 64-bit value from little-endian to the processor's order; the processor is little-endian, so the value is returned unchanged. */
KOVA_API uint64_t kova_endian_littletocpu64(uint64_t value);
/** Byte order of a 16-bit value from the processor's order to big-endian: its bytes reversed on these little-endian processors. */
KOVA_API uint16_t kova_endian_cputobig16(uint16_t value);
/** Byte order of a 32-bit value from the processor's order to big-endian: its bytes reversed on these little-endian processors. */
KOVA_API uint32_t kova_endian_cputobig32(uint32_t value);
/** Byte order of a 64-bit value from the processor's order to big-endian: its bytes reversed on these little-endian processors. */
KOVA_API uint64_t kova_endian_cputobig64(uint64_t value);
/** Byte order of a 16-bit value from big-endian to the processor's order: its bytes reversed on these little-endian processors. */
KOVA_API uint16_t kova_endian_bigtocpu16(uint16_t value);
/** Byte order of a 32-bit value from big-endian to the processor's order: its bytes reversed on these little-endian processors. */
KOVA_API uint32_t kova_endian_bigtocpu32(uint32_t value);
/** Byte order of a 64-bit value from big-endian to the processor's order: its bytes reversed on these little-endian processors. */
KOVA_API uint64_t kova_endian_bigtocpu64(uint64_t value);

/** dlopen; a named object that loaded has its symbols made known to the stack dumps. */
KOVA_API void *kova_dlopen(const char *file, int flags);
/** dlsym; null for a null handle (dlsym is then not called). */
KOVA_API void *kova_dlsym(void *handle, const char *symbol);
/** dlerror: the last dynamic-loading error text of the calling thread, or null. */
KOVA_API char *kova_dlerror(void);
/** dlclose and a refresh of the known symbols; -1 for a null handle, else dlclose's result. */
KOVA_API int kova_dlclose(void *handle);

KOVA_EXTERN_C_END

#endif
