/**
 * @file
 * CPU partitions and CPU selections.
 *
 * The product INI file (/ZPR/conf/app_data/prodinfo/product.ini by default; when it is missing
 * the generator /ZPR/component/mgrx/script/gen_product_ini.sh is asked to write it) divides the
 * CPUs into groups and partitions:
 *
 *   [CPU_PARTITION]      [GROUP_0]
 *   group_num = 1        partition_num = 2
 *                        partition_0 = IOD_NORMAL:1:4-11     (name:type:CPU selection)
 *                        partition_1 = MGMT:0:0-1
 *
 * The table is loaded once per process, by the first call below (a failed load is not retried;
 * references then match nothing), and never changes afterwards; lookups take no lock.
 *
 * A CPU selection is a comma-separated list whose items are CPU numbers, ranges "N-M", or
 * references "GROUP/PARTITION" ("*" for every group) that add the partitions' own
 * selections. References nest at most 8 deep, so a partition that leads back to itself ends.
 */
#ifndef KOVA_KOVA_CPU_H
#define KOVA_KOVA_CPU_H

#include "kova_list.h"
#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_CPUM_NAME_SIZE 32 /**< size of a group or partition name, NUL included */
#define KOVA_CPUM_LIST_SIZE 256 /**< size of a partition's CPU list text, NUL included */

/** A group of the table (64 bytes). */
typedef struct kova_cpum_group_s {
    kova_list_head_s list;       /**< link in the table's group list, in table order */
    kova_list_head_s partitions; /**< the group's partitions in table order */
    char name[KOVA_CPUM_NAME_SIZE]; /**< the group's name */
} kova_cpum_group_s;

/** A partition of a group (312 bytes). */
typedef struct kova_cpum_partition_s {
    kova_list_head_s list; /**< link in its group's partition list */
    int32_t type; /**< the partition type the table gives */
    uint32_t reserved; /**< padding, zero */
    char name[KOVA_CPUM_NAME_SIZE]; /**< the partition's name */
    char cpu_list[KOVA_CPUM_LIST_SIZE]; /**< the partition's CPUs as a CPU list text ("0-3,8") */
} kova_cpum_partition_s;

/** Loads the table once (null: the default file). 0 when loaded now or earlier (also after an
 * earlier failure); -1 when this call failed. */
KOVA_API int kova_cpum_init(const char *path);
/** The first partition of that name in the first group of that name; null when there is none. */
KOVA_API kova_cpum_partition_s *kova_cpum_get_partition(const char *group, const char *partition);

/** Adds the CPUs of a selection to `cpuset` (16 words, CPU n at bit n % 64 of word n / 64;
 * CPUs above 1023 are ignored). A number item is a decimal number or two joined by '-', blanks
 * around it allowed; anything else (signs, a number above 4294967295, "1--3", "2-") and ranges
 * whose end is below their start are logged and skipped. A reference counts as taken even when
 * it matches nothing. 0 when at least one item was taken, -1 otherwise or for a null text. */
KOVA_API int kova_cpum_parse_cpumask(const char *text, uint64_t *cpuset);
/** Removes the first two CPUs of every IOD_NORMAL partition whose list is one range of at least
 * three CPUs (its poll CPUs) from the set. 0; -1 for a null set. */
KOVA_API int kova_cpum_clear_cpumask_of_iod_poll(uint64_t *cpuset);
/** Prints the table: a header line, then group, partition, type and CPU list per line. 0; -1
 * before the table is loaded ("Cpu partition is not inited yet") or for a null print. */
KOVA_API int kova_cpum_dbg_show(kova_print_fn print);

/** Platform stub without idle C-state control: stores 0 in *value (when not null), returns 0. */
KOVA_API int kova_get_idle_no_cstates(void *unused, uint32_t *value);
/** Platform stub without idle C-state control: ignores the value, returns 0. */
KOVA_API int kova_set_idle_no_cstates(uint32_t value);
/** Platform stub without task information: returns -1. */
KOVA_API int kova_get_cpu_task_info(void *unused);

KOVA_EXTERN_C_END

#endif
