/**
 * @file
 * CRC-32C and CRC-16/T10-DIF.
 *
 * CRC-32C: the Castagnoli polynomial 0x1EDC6F41, bit-reflected (0x82F63B78). The Continue
 * functions neither invert the incoming crc nor the result: start from 0xFFFFFFFF (or use
 * kova_crc32cStart) and invert at the end (kova_crc32cEnd). kova_crc32c does all three.
 * Check value: kova_crc32c("123456789", 9) == 0xE3069283.
 *
 * CRC-16/T10-DIF: polynomial 0x8BB7, most significant bit first, initial value from the caller,
 * no inversion. Check value: kova_crc16(0, "123456789", 9) == 0xD0DB.
 *
 * Kernels: every function returns exactly what the table-driven (_soft) function returns.
 * kova_crc32_init picks the kernels once per process; functions called before it pick them
 * on first use. On aarch64 the CRC32C and PMULL instructions are used, and the three-stream
 * kernel is chosen on the processor model named in docs/crc32.md; on x86_64 VPCLMULQDQ folds
 * over zmm (AVX-512) or ymm (AVX2) registers where the processor and system allow them, else the
 * SSE4.2 crc32 and PCLMULQDQ instructions. A processor without them gets the tables.
 *
 * Cost: O(length). Thread safety: all functions may be called concurrently.
 */
#ifndef KOVA_KOVA_CRC32_H
#define KOVA_KOVA_CRC32_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** Selects the kernels for this processor (logs "platform support 3crc optimize, use 3crc
 * algorithm." at level 6 when the three-stream kernel is chosen). Idempotent. */
KOVA_API void kova_crc32_init(void);

/** kova_crc32cContinue(0xFFFFFFFF, buffer, length). */
KOVA_API uint32_t kova_crc32cStart(const void *buffer, uint32_t length);
/** The crc updated over `length` bytes by the selected kernel; `crc` unchanged for a null
 * buffer or a zero length. */
KOVA_API uint32_t kova_crc32cContinue(uint32_t crc, const void *buffer, uint32_t length);
/** ~crc. */
KOVA_API uint32_t kova_crc32cEnd(uint32_t crc);
/** The whole CRC-32C of the buffer; 0 for a null buffer or a zero length. */
KOVA_API uint32_t kova_crc32c(const void *buffer, uint32_t length);
/** The same value by the table; 0 for a null buffer or a zero length. */
KOVA_API uint32_t kova_crc32c_soft(const void *buffer, uint32_t length);
/** Table-driven update (crc unchanged for a null buffer or a zero length). */
KOVA_API uint32_t kova_crc32cContinueSoft(uint32_t crc, const void *buffer, uint32_t length);
/** Update by the single-stream kernel AsmCrc32c (same null/zero rule). */
KOVA_API uint32_t kova_crc32cContinueHard(uint32_t crc, const void *buffer, uint32_t length);
/** Update by the three-stream kernel Asm3Crc32c (same null/zero rule). */
KOVA_API uint32_t kova_3crc32cContinueHard(uint32_t crc, const void *buffer, uint32_t length);
/** Copies `length` bytes from `source` to `destination` (which must not overlap) and returns the
 * crc updated over them, through the selected copy kernel. Arguments are not checked. */
KOVA_API uint32_t kova_crc32cContinue_with_cpy(uint32_t crc, void *destination, uint32_t length,
                                               const void *source);

/** The CRC-16 updated over the buffer by crc16_t10dif; `crc` unchanged for a null buffer or a
 * zero length. */
KOVA_API uint16_t kova_crc16(uint16_t crc, const void *buffer, uint64_t length);
/** Table-driven update (crc unchanged for a null buffer or a zero length). */
KOVA_API uint16_t kova_crc16_soft(uint16_t crc, const void *buffer, uint64_t length);

/** Name of the CRC32C kernel in use (for diagnostics), for example "Asm3Crc32c" or "table". */
KOVA_API const char *kova_crc32c_kernel_name(void);
/** Name of the CRC16 kernel in use (for diagnostics), for example "crc16_t10dif" or "table". */
KOVA_API const char *kova_crc16_kernel_name(void);

/** The kernels. None inverts; none checks its arguments; each falls back to a slower kernel when
 * the processor lacks its instructions. AsmCrc32c: one stream of CRC32C instructions; its first
 * argument is ignored. */
KOVA_API uint32_t AsmCrc32c(void *unused, uint64_t length, uint32_t crc, const void *source);
/** Kernel with three interleaved streams over 4080- and 1008-byte blocks, merged with carry-less
 * multiplication; its result equals AsmCrc32c's. The first argument is ignored. */
KOVA_API uint32_t Asm3Crc32c(void *unused, uint64_t length, uint32_t crc, const void *source);
/** AsmCrc32c that also stores every byte it reads to `destination` at the same offset. */
KOVA_API uint32_t AsmCrc32cWithCpy(void *destination, uint64_t length, uint32_t crc, const void *source);
/** Asm3Crc32c that also stores every byte it reads to `destination` at the same offset. */
KOVA_API uint32_t Asm3Crc32cWithCpy(void *destination, uint64_t length, uint32_t crc, const void *source);
/** CRC-16/T10-DIF by carry-less folding. The library's own calls never go through this symbol,
 * so another library exporting the same name cannot replace the library's kernel. */
KOVA_API uint16_t crc16_t10dif(uint16_t crc, const unsigned char *buffer, uint64_t length);

KOVA_EXTERN_C_END

#endif
