/**
 * @file
 * CPU masks, CPU lists and CPU counts.
 *
 * A CPU mask holds CPUs 0 to 511: CPU n is bit (n mod 64) of word n / 64, the same memory as bit
 * (n mod 8) of byte n / 8. A mask is a plain value owned by whoever declares it; nothing here
 * allocates one and the mask operations take no lock.
 *
 * CPU-list text, as the kernel writes it under /sys: items separated by ',', each a decimal CPU
 * number ("8") or an inclusive range ("0-3"), blanks around an item allowed. An item whose
 * numbers are not plain decimals, or that names a CPU above 511, is logged and sets nothing.
 */
#ifndef KOVA_KOVA_CPUMASK_H
#define KOVA_KOVA_CPUMASK_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_MAX_CPUS 512u /**< CPUs a kova_cpumask_t holds */

/** A set of CPUs, bit n of the words standing for CPU n. */
typedef struct kova_cpumask_s {
    uint64_t bits[KOVA_MAX_CPUS / 64]; /**< CPU n is bit n % 64 of word n / 64 */
} kova_cpumask_t;

/** Mask of possible CPUs, for the calling processes to fill and read; the library only clears it
 * once, in cpumask_init. Writers of a shared mask serialise themselves. */
KOVA_API extern kova_cpumask_t *cpu_possible_mask;
/** Mask of online CPUs, filled and read by callers as cpu_possible_mask is. */
KOVA_API extern kova_cpumask_t *cpu_online_mask;
/** Mask of present CPUs, filled and read by callers as cpu_possible_mask is. */
KOVA_API extern kova_cpumask_t *cpu_present_mask;

/** The online CPU count recorded by globalCpuNum_init; 0 until then. */
KOVA_API extern uint32_t g_onlineCpuNum;
/** The configured CPU count; 0 until known. */
KOVA_API extern uint32_t g_configCpuNum;

/** Adds the CPUs of one CPU-list item to the mask (bits are only set). Returns the item's last CPU
 * (the number, or the end of the range; a range whose end is below its start sets nothing and
 * returns the end), or -1 for an item that sets nothing because it is not a valid item. */
KOVA_API int kova_set_cpumask_bit(kova_cpumask_t *mask, const char *item);

/** Adds the CPUs listed on the first line of a file (at most 255 characters are read) to the mask;
 * the mask is not cleared first. Returns the highest CPU named, 0 for an empty line (mask
 * untouched), -1 when the file cannot be opened or read. path_length is not used. */
KOVA_API int load_cpumask(kova_cpumask_t *mask, const char *path, int path_length);

/** Iteration: the lowest set CPU; KOVA_MAX_CPUS when none.
 *   for (int c = kova_first_cpu(m); c < KOVA_MAX_CPUS; c = kova_next_cpu(c, m)) ... */
KOVA_API int kova_first_cpu(const kova_cpumask_t *mask);
/** Iteration: the lowest set CPU above `cpu`; KOVA_MAX_CPUS when none. */
KOVA_API int kova_next_cpu(uint32_t cpu, const kova_cpumask_t *mask);

/** Zeroes `count` words; nothing for a count of 0 or less. Pass 8 to clear one CPU mask. */
KOVA_API void init_cpumask_bit(uint64_t *words, int count);

/** Clears the three exported masks, once per process; always 0. */
KOVA_API int cpumask_init(void);

/** Records g_onlineCpuNum and g_configCpuNum once both are known (a later call retries). */
KOVA_API void globalCpuNum_init(void);

/** The online CPU count, cached once non-zero; 0 when it cannot be had. */
KOVA_API unsigned int num_online_cpus(void);

/** The configured CPU count, cached once it lies in 1..512; 0 when it cannot be had. */
KOVA_API unsigned int num_config_cpus(void);

KOVA_EXTERN_C_END

#endif
