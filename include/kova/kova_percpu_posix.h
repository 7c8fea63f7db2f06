/**
 * @file
 * Thread-specific keys and one-time initialisation: the POSIX calls, each failure logged at
 * level 3. Results are the POSIX call's (0, or an error number) unless stated. A null pointer
 * argument is refused with EINVAL and the call's failure message instead of being passed on.
 */
#ifndef KOVA_KOVA_PERCPU_POSIX_H
#define KOVA_KOVA_PERCPU_POSIX_H

#include <pthread.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** pthread_once: `init` runs exactly once across the threads that pass the same control. */
KOVA_API int kova_pthread_init_once(pthread_once_t *once, void (*init)(void));
/** pthread_key_create: its result (EINVAL for a null key), a failure logged. */
KOVA_API int kova_key_create(pthread_key_t *key, void (*destructor)(void *));
/** pthread_key_delete: its result, a failure logged. */
KOVA_API int kova_key_delete(pthread_key_t key);
/** A null value is refused (-1, logged) and leaves the thread's value as it was: a key cannot be
 * cleared through this call. */
KOVA_API int kova_key_setspecific(pthread_key_t key, const void *value);
/** The calling thread's value; null, logged as a failure, when the thread never set one. */
KOVA_API void *kova_key_getspecific(pthread_key_t key);

KOVA_EXTERN_C_END

#endif
