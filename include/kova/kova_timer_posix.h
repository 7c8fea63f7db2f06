/**
 * @file
 * POSIX per-process interval timers (timer_create and its family) under the library's names.
 *
 * A refused call returns -22 (the negated EINVAL) after logging at level 3; otherwise the
 * platform's result is returned unchanged: 0, or -1 with errno set.
 */
#ifndef KOVA_KOVA_TIMER_POSIX_H
#define KOVA_KOVA_TIMER_POSIX_H

#include <signal.h>
#include <sys/types.h>
#include <time.h>

#include "kova_types.h"

/* Strict ISO C (-std=c11 without a POSIX feature macro) hides these two records in <signal.h> and
 * <time.h>. Declared here at file scope, the prototypes below name the same records as the C
 * library's in every mode; the calls only pass pointers to them. */
struct sigevent;
struct itimerspec;

KOVA_EXTERN_C_BEGIN

/** timer_create: clock ids 0 to 3 (CLOCK_REALTIME, CLOCK_MONOTONIC, CLOCK_PROCESS_CPUTIME_ID,
 * CLOCK_THREAD_CPUTIME_ID) are accepted; null `evp` or `timerid` is refused. */
KOVA_API int kova_timer_create_posix(uint32_t clockid, struct sigevent *evp, timer_t *timerid);
/** timer_delete: its result. */
KOVA_API int kova_timer_delete_posix(timer_t timerid);
/** Refuses a null `new_value`; a null `old_value` is passed through. */
KOVA_API int kova_timer_settime_posix(timer_t timerid, uint32_t flags, const struct itimerspec *new_value,
                                      struct itimerspec *old_value);
/** timer_gettime: refuses a null `curr_value`. */
KOVA_API int kova_timer_gettime_posix(timer_t timerid, struct itimerspec *curr_value);
/** timer_getoverrun: its result. */
KOVA_API int kova_timer_getoverrun_posix(timer_t timerid);

KOVA_EXTERN_C_END

#endif
