/**
 * @file
 * Sleeping, yielding and single-CPU binding: the back-off primitives every family uses.
 */
#ifndef KOVA_KOVA_SCHED_H
#define KOVA_KOVA_SCHED_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** Sleep with select() on no descriptors (whole seconds plus the remainder in microseconds). */
KOVA_API void kova_usleep(uint32_t microseconds);
/** Sleeps `milliseconds` ms, as kova_usleep. */
KOVA_API void kova_msleep(uint32_t milliseconds);
/** Sleeps `tens_of_milliseconds` times 10 ms, as kova_usleep. */
KOVA_API void kova_10msleep(uint32_t tens_of_milliseconds);
/** nanosleep of 1 ms: the spinlock's back-off. */
KOVA_API void kova_schedule(void);
/** sched_yield(): gives the processor to another runnable thread. */
KOVA_API void kova_yield(void);
/** sched_yield(), as kova_yield. */
KOVA_API void kova_thrd_yield(void);
/** Busy-waits until more than milliseconds x 1,000,000 ns have passed on the nanosecond clock;
 * returns the elapsed nanoseconds. */
KOVA_API uint64_t kova_mdelay(uint32_t milliseconds);

/** One-time scheduler set-up: 0, or -1 (logged). */
KOVA_API int kova_sched_init(void);
/** Names the calling thread through kova_thrd_setname(format, argument); returns 0. */
KOVA_API int kova_set_process_name(const char *format, const char *argument);
/** Binds the calling thread to one CPU and records it in my_core: 0, or -1. */
KOVA_API int kova_sched_setaffinity(uint32_t cpu);

KOVA_EXTERN_C_END

#endif
