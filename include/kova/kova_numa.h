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
/** The step of kova_numam_init without its done flag: loads the file (null: the default, whose
 * absence gives 0 and no nodes) and parses it. 0 or -1. */
KOVA_API int kova_numam_init_inner(const char *path);
/** Checks a configuration record: 0, or -1 (logged) for null or a path that is empty or fills all
 * 256 bytes. */
KOVA_API int kova_numam_cfg_check(const kova_numam_cfg_s *cfg);
/** The step of kova_numam_module_init without its done flag: checks `cfg`, loads both files,
 * parses them and unloads them. 0 or -1. */
KOVA_API int kova_numam_cfg_init(const kova_numam_cfg_s *cfg);
/** Parses the loaded configuration: [NUMA_PARTITION] (kova_numam_parse_numa_partition), then
 * [PROC_PARTITION] (kova_numam_parse_proc_partition). 0, or -1 (logged) when either fails. */
KOVA_API int kova_numam_cfg_parse(void);

/** The NUMA placement switch: 1 on, 0 off (the default and without a configuration). */
KOVA_API uint32_t kova_numam_status_get(void);
/** Sets the NUMA placement switch to 0 or 1: 0, or -1 for a value above 1 (nothing changes). */
KOVA_API int kova_numam_status_set(uint32_t value);
/** The configured node count, 0 before initialisation. */
KOVA_API int kova_numam_num_get(void);
/** Bit (id mod 64) for every node this process uses. 0; -1 for null. */
KOVA_API int kova_numam_proc_numamask_get(uint64_t *mask);
/** The node's CPUs into a cleared set: 0 (also for an unknown node, which leaves it empty); -1 for
 * null or a node list that does not parse. */
KOVA_API int kova_numam_cpuset_get(uint32_t numa_id, cpu_set_t *set);
/** The node's CPUs into a cleared 512-bit mask: 0 (also for an unknown node, which leaves it
 * empty); -1 for null or a node list that does not parse. */
KOVA_API int kova_numam_cpumask_get(int numa_id, kova_cpumask_t *mask);

/** The parser behind them: one item ("N" or "N-M", up to the next comma) into its first and last
 * CPU. 0, or -1 (logged) for null, a bad item or a range that runs backwards. */
KOVA_API int kova_numam_parse_cpustr(const char *item, uint32_t *start, uint32_t *end);
/** Adds the CPUs of one item (up to the next comma) to a cpu_set_t, leaving out those past 1024:
 * 0 or -1. */
KOVA_API int kova_numam_parse_cpuset_as_list(const char *item, cpu_set_t *set);
/** Adds the CPUs of a comma-separated list to a cpu_set_t (not cleared first): 0 (also for a null
 * text), or -1 (logged) at the first bad item. */
KOVA_API int kova_numam_parse_cpuset(const char *text, cpu_set_t *set);
/** Adds the CPUs of one item (up to the next comma) to a CPU mask, leaving out those past 512:
 * 0 or -1. */
KOVA_API int kova_numam_parse_cpumask_as_list(const char *item, kova_cpumask_t *mask);
/** Adds the CPUs of a comma-separated list to a CPU mask (not cleared first): 0 (also for a null
 * text), or -1 (logged) at the first bad item. */
KOVA_API int kova_numam_parse_cpumask(const char *text, kova_cpumask_t *mask);
/** The item as a base-10 number; -1 when it cannot be read. */
KOVA_API int kova_numam_parse_digit_item(const char *section, const char *key);
/** Reads "numa_ID" of [NUMA_PARTITION] and adds a node record with that CPU list: 0, or -1 when
 * the key is missing or the record cannot be allocated. */
KOVA_API int kova_numam_parse_per_numa(int numa_id);
/** Reads [NUMA_PARTITION]: cpu_num and numa_num (each at least 1), then the node records numa_0
 * to numa_(numa_num-1). 0, or -1 (logged) for a bad count or at the first missing node key (the
 * nodes read before it are kept). */
KOVA_API int kova_numam_parse_numa_partition(void);
/** Reads numa_enable of [PROC_PARTITION] into the switch ("tru..." 1, "fals..." 0): 0, or -1
 * when the key is missing or says neither. */
KOVA_API int kova_numam_parse_proc_numa_switch(void);
/** Marks the node records with that id as used by this process. */
KOVA_API void kova_numam_parse_proc_numa_set(uint32_t numa_id);
/** Reads proc_numa_info of [PROC_PARTITION] and marks each listed node used: 0 (also without the
 * key), or -1 (logged) for an id not below numa_num. */
KOVA_API int kova_numam_parse_proc_numa_info(void);
/** Reads [PROC_PARTITION]: the switch, then the nodes used. 0 or -1. */
KOVA_API int kova_numam_parse_proc_partition(void);

KOVA_EXTERN_C_END

#endif
