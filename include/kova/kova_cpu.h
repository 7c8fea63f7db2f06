/*
 * CPU specifications: text such as "0-3,8,GROUP_0/IOD_NORMAL" into 1024-bit CPU sets.
 */
#ifndef KOVA_KOVA_CPU_H
#define KOVA_KOVA_CPU_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/* Adds the CPUs of a comma-separated specification to `cpuset` (16 words, CPU n at bit n % 64 of
 * word n / 64; CPUs above 1023 are ignored). An item is a decimal number or two joined by '-',
 * blanks around it allowed, or, once the partition table is loaded, a reference "GROUP/PARTITION"
 * ("*" for every group) that adds the partitions' CPU lists. Anything else (signs, a number above
 * 4294967295, "1--3", "2-") and ranges whose end is below their start are logged and skipped.
 * 0 when at least one item was taken, -1 otherwise or for a null text. */
KOVA_API int kova_cpum_parse_cpumask(const char *text, uint64_t *cpuset);

KOVA_EXTERN_C_END

#endif
