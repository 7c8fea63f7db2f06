/**
 * @file
 * Time base: one cheap monotonic clock for the whole library.
 *
 * Nanosecond time is the processor's counter times an integer factor, nsPerCycle =
 * 1,000,000,000 / counter frequency (truncated), computed once by kova_gettime_init. From it:
 * milliseconds (ns / 1,000,000) and jiffies of 4 ms (ns / 4,000,000, 250 per second). All three
 * count from the counter's origin (machine boot), are monotonic and wrap modulo 2^64.
 *
 * On 64-bit Arm the counter is CNTVCT_EL0 at CNTFRQ_EL0 counts per second. On x86_64 the
 * counter is CLOCK_MONOTONIC read through the vDSO, presented as a 1 GHz counter.
 *
 * When the frequency is not a divisor of 1e9 every derived time runs short by the truncated
 * fraction (24 MHz gives 41 ns per count: one real second reads as 984,000,000 ns).
 */
#ifndef KOVA_KOVA_TIME_H
#define KOVA_KOVA_TIME_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** The processor clock in GHz as last learnt: 2.6 after kova_gettime_init, refreshed only by
 * kova_get_tsc_freq or kova_estimate_tsc_freq. Written without a lock; the library never reads it. */
KOVA_API extern double currCpuGHz;

/** A stable raw counter read: up to 200 attempts of two back-to-back reads; returns the second
 * read of the first attempt whose reads lie within 80 ns (8 counts of a 100 MHz counter; the
 * window is converted to counts of the running counter's frequency), else of the 200th.
 * Needs no initialisation. */
KOVA_API uint64_t kova_rte_get_timer_cycles(void);
/** Counter x nsPerCycle; 0 before kova_gettime_init. One counter read, no system call. */
KOVA_API uint64_t kova_time_getnanosec(void);
/** cycles x nsPerCycle, wrapping. */
KOVA_API uint64_t kova_time_cycles2ns(uint64_t cycles);
/** kova_time_getnanosec() / 1,000,000. */
KOVA_API uint64_t kova_time_getmillisec(void);
/** kova_time_getnanosec() / 4,000,000; initialises the time base first if needed, so it is
 * correct from the first call. */
KOVA_API uint64_t kova_get_jiffies(void);
/** One-time initialisation of the jiffies clock (runs kova_gettime_init). */
KOVA_API void jiffies_Init(void);
/** Does nothing: the clocks have no teardown. */
KOVA_API void jiffies_fini(void);
/** One-time initialisation of the time base: 0 on success and when already done, else the
 * non-zero result of kova_CheckCurrCpu (a later call retries). */
KOVA_API int32_t kova_gettime_init(void);
/** Sets currCpuGHz to 2.6 and recomputes nsPerCycle from the counter frequency (0 for a
 * frequency of 0). Always 0. */
KOVA_API int32_t kova_CheckCurrCpu(void);
/** Refreshes currCpuGHz from the processor model line of /proc/cpuinfo when the processor
 * flags include constant_tsc, measuring the counter when the model line names no rate.
 * 0, or -1 (logged, currCpuGHz unchanged). */
KOVA_API int32_t kova_get_tsc_freq(void);
/** Measures the counter's rate over a 50 ms sleep, rounds it to the nearest multiple of 10 MHz
 * (halfway rounds up) and stores it in currCpuGHz. */
KOVA_API void kova_estimate_tsc_freq(void);

KOVA_EXTERN_C_END

#endif
