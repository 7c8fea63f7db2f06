/**
 * @file
 * Machine facts: the usage sampler and the CPU information shared between processes.
 *
 * Usage sampler. A thread named "kova_sysinfo" reads /proc/stat once a second and keeps, for the
 * machine (slot 0) and for every configured CPU, the busy percentage over the last second; a
 * reader loads one number. The first sample after start gives the average since boot; counters
 * that did not move keep the previous figure; counters are taken modulo 2^64, so a counter that
 * wraps still gives the right difference. Every figure is 0 to 100.
 *
 * CPU information. The first process publishes an 80-byte record in the POSIX shared-memory
 * object "cpuinfo_shm" (magic "SDF3", a CRC32C over the record with the checksum field 0, the
 * package and logical CPU counts and eight reserved words each 0x33464453); later processes
 * check it and take it over instead of running lscpu and reading /proc/cpuinfo. A segment whose
 * check fails, or that is shorter than the record, is never used: a writable process rebuilds it
 * under an exclusive flock on /dev/shm/cpuinfo_shm after checking again under that lock, so of
 * two processes starting together the first valid record wins and both end with its counts.
 */
#ifndef KOVA_KOVA_SYSINFO_H
#define KOVA_KOVA_SYSINFO_H

#include "kova_cpumask.h"
#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** Allocates the usage slots and starts the sampler thread unless the configuration item
 * KOVA/SYSINFO_CPUUSAGE_THREAD_FLAG reads as 0. 0 (also when already initialised); -12 when an
 * allocation fails; the thread creation's failure. */
KOVA_API int sysinfo_init(void);
/** Stops the thread (waiting up to 3 s; "kova_cpu_usage thread exited abnormal." when it does not
 * end) and frees the slots. 0. Without a thread there is nothing to wait for. */
KOVA_API int sysinfo_exit(void);
/** Allocates the slots for the present CPU count: 0; -1 when the count is 0; -12. */
KOVA_API int sysinfo_alloc_mem(void);
/** Frees the slots (nothing when they are not allocated). */
KOVA_API void sysinfo_free_mem(void);
/** Takes one sample of /proc/stat into the slots (nothing when they are not allocated). */
KOVA_API void sysinfo_update_all_cpu_usage(void);
/** The sampler thread's body; returns null. */
KOVA_API void *sysinfo_calc_cpu_usage_thrd(void *unused);

/** sysconf(_SC_NPROCESSORS_ONLN), 0 when it fails (logged). */
KOVA_API unsigned int sysinfo_get_cpu_num(void);
/** The online CPU count, cached once non-zero (the same figure num_online_cpus gives). */
KOVA_API unsigned int kova_sysinfo_cpu_num(void);
/** The configured ("present") CPU count, cached once non-zero: the number of per-CPU slots. */
KOVA_API unsigned int kova_sysinfo_present_cpu_num(void);

/** The machine's busy percentage; 0 when the sampler is not initialised. */
KOVA_API unsigned int kova_sysinfo_cpu_usage(void);
/** The percentage of CPU *cpu, or the machine's for a null pointer or a CPU without a slot. */
KOVA_API unsigned int kova_sysinfo_core_usage(const uint32_t *cpu);
/** Copies min(present count, length) per-CPU percentages, CPU 0 first: how many; -1 for a null
 * array ("kova_get_cpu_usage_array: data is NULL") or when the sampler is not initialised. */
KOVA_API int kova_get_cpu_usage_array(uint32_t *usage, uint32_t length);
/** (total RAM - free RAM) x 100 / total RAM from sysinfo(2); 0 when it fails. */
KOVA_API unsigned int kova_sysinfo_mem_usage(void);
/** 128. */
KOVA_API unsigned int kova_get_cache_line_size(void);

/** Reads the NUMA node count (/sys/devices/system/node/online), the processor model (uname -p)
 * and the package and logical CPU counts (from the segment, or from lscpu and /proc/cpuinfo,
 * then published). 0; -1 when one of them cannot be had. */
KOVA_API int cpuinfo_init(void);
/** The package ("physical CPU") count, 0 before cpuinfo_init. 0; -1 for null. */
KOVA_API int kova_get_phycpu_num(uint32_t *count);
/** The logical CPU count, 0 before cpuinfo_init. 0; -1 for null. */
KOVA_API int kova_get_logic_cpu_num(uint32_t *count);
/** Copies the 64-byte model text (NUL-terminated). 0; -1 for null. */
KOVA_API int kova_get_cpumodel_info(char *model);
/** The CPUs of package `phycpu` (from 0): the CPU lists of its NUMA nodes. 0; -1 for an index not
 * below the package count (mask untouched) or an unreadable node file. */
KOVA_API int kova_get_cpumask_by_phycpu(kova_cpumask_t *mask, uint32_t phycpu);
/** Publishes this process's record under the lock unless the segment already holds a valid one,
 * which is then taken over. */
KOVA_API void save_cpuinfo_to_shm(void);

KOVA_EXTERN_C_END

#endif
