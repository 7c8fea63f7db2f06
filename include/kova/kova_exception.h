/**
 * @file
 * The exception module's entry points: installation of the fault handler (see kova_signal.h)
 * and the watchdog hook, one process-wide function that components reset through the library.
 */
#ifndef KOVA_KOVA_EXCEPTION_H
#define KOVA_KOVA_EXCEPTION_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** kova_thread_signal_init. Returns 0. */
KOVA_API int32_t kova_exception_init(void);
/** kova_thread_signal_init_with_list for `sigNum` signals of `sigList` (`unused` is ignored): 0,
 * or -1 (logged) for a null list or a count of 0. */
KOVA_API int32_t kova_exception_init_with_list(void *unused, const uint32_t *sigList, uint32_t sigNum);

/** The watchdog hook: called by kova_exception_watchdog_timer_reset with its value; its result is returned. */
typedef int32_t (*kova_watchdog_reset_fn)(uint32_t value);

/** Stores `func` as the watchdog hook, replacing any earlier one; null unregisters. Logs the
 * pointer at level 6. Returns 0. */
KOVA_API int32_t kova_exception_watchdog_timer_func_register(kova_watchdog_reset_fn func);
/** Calls the hook with `value` and returns its result (logged at level 6); 0 without a hook,
 * and nothing logged. A hook replaced meanwhile may still be called once by a reset that
 * read it just before. */
KOVA_API int32_t kova_exception_watchdog_timer_reset(uint32_t value);

KOVA_EXTERN_C_END

#endif
