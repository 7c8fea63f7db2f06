/*
 * Named POSIX shared-memory objects, mapped in one call.
 */
#ifndef KOVA_KOVA_SHM_H
#define KOVA_KOVA_SHM_H

#include <sys/types.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/* shm_open(name, flags, mode), sized and backed to `size` bytes, mapped shared with the access
 * of the flags; null on failure. The mapping stays; the descriptor is closed. A name longer than
 * NAME_MAX (leading slashes aside) is refused, logged, with errno ENAMETOOLONG: never cut. */
KOVA_API void *kova_shm_create_ext(const char *name, int flags, mode_t mode, uint32_t size);
/* kova_shm_create_ext(name, O_RDWR | O_CREAT, 0600, size). */
KOVA_API void *kova_shm_create(const char *name, uint32_t size);
/* shm_unlink: 0, or -1 (logged); a name longer than NAME_MAX is refused as above. */
KOVA_API int kova_shm_destroy(const char *name);

KOVA_EXTERN_C_END

#endif
