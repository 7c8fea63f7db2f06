/**
 * @file
 * NUMA configuration: which CPUs make up each NUMA node, which nodes this process uses and
 * whether NUMA-aware placement is on, all from the product's INI file
 * (/opt/quillstore/ZevraNumaConfiguration.ini by default), not from the kernel:
 *
 *   [NUMA_PARTITION]            [PROC_PARTITION]
 *   cpu_num = 8                 numa_enable = true       ("tru..." on, "fals..." off)
 *   numa_num = 2                proc_numa_info = 0,1     (optional; ids below numa_num)
 *   numa_0 = 0-3
 *   numa_1 = 4-7
 *
 * The file is parsed once; the node records live for the process. A missing default file is not
 * an error: there are then no nodes, and lookups return empty results. Node CPU lists take the
 * items of the CPU-list text ("N" or "N-M", blanks around allowed); a bad item fails the list.
 * CPUs outside the target (1024 for a cpu_set_t, 512 for a CPU mask) are left out.
 */
#ifndef KOVA_KOVA_NUMA_H
#define KOVA_KOVA_NUMA_H

#include <sched.h>

#include "kova_cpumask.h"
#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** The NUMA configuration texts as the product's configuration gives them. */
typedef struct kova_numam_cfg_s {
    char numa_info[256]; /**< path of the INI file with the process NUMA information */
    char node_numa[256]; /**< path of the INI file with the per-node configuration */
} kova_numam_cfg_s;

/** One-time initialisation from one file (null: the default). 0 when done now or before; -1 when
 * loading or parsing failed (a later call tries again). */
KOVA_API int kova_numam_init(const char *path);
/** The same from the two files of `cfg`, loaded side by side. */
KOVA_API int kova_numam_module_init(const kova_numam_cfg_s *cfg);
/** @{ */
/** The steps of the two. */
KOVA_API int kova_numam_init_inner(const char *path);
KOVA_API int kova_numam_cfg_check(const kova_numam_cfg_s *cfg);
KOVA_API int kova_numam_cfg_init(const kova_numam_cfg_s *cfg);
KOVA_API int kova_numam_cfg_parse(void);
/** @} */

/** @{ */
/** The switch (0 or 1); setting a value above 1 fails with -1. */
KOVA_API uint32_t kova_numam_status_get(void);
KOVA_API int kova_numam_status_set(uint32_t value);
/** @} */
/** The configured node count, 0 before initialisation. */
KOVA_API int kova_numam_num_get(void);
/** Bit (id mod 64) for every node this process uses. 0; -1 for null. */
KOVA_API int kova_numam_proc_numamask_get(uint64_t *mask);
/** @{ */
/** The node's CPUs into a cleared set or mask: 0 (also for an unknown node, which leaves it
 * empty); -1 for null or a node list that does not parse. */
KOVA_API int kova_numam_cpuset_get(uint32_t numa_id, cpu_set_t *set);
KOVA_API int kova_numam_cpumask_get(int numa_id, kova_cpumask_t *mask);
/** @} */

/** @{ */
/** The parsers behind them: 0 or -1. */
KOVA_API int kova_numam_parse_cpustr(const char *item, uint32_t *start, uint32_t *end);
KOVA_API int kova_numam_parse_cpuset_as_list(const char *item, cpu_set_t *set);
KOVA_API int kova_numam_parse_cpuset(const char *text, cpu_set_t *set);
KOVA_API int kova_numam_parse_cpumask_as_list(const char *item, kova_cpumask_t *mask);
KOVA_API int kova_numam_parse_cpumask(const char *text, kova_cpumask_t *mask);
/** @} */
/** @{ */
/** The item as a base-10 number; -1 when it cannot be read. */
KOVA_API int kova_numam_parse_digit_item(const char *section, const char *key);
KOVA_API int kova_numam_parse_per_numa(int numa_id);
KOVA_API int kova_numam_parse_numa_partition(void);
KOVA_API int kova_numam_parse_proc_numa_switch(void);
KOVA_API void kova_numam_parse_proc_numa_set(uint32_t numa_id);
KOVA_API int kova_numam_parse_proc_numa_info(void);
KOVA_API int kova_numam_parse_proc_partition(void);
/** @} */

KOVA_EXTERN_C_END

#endif
