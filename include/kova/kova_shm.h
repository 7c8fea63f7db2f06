/**
 * @file
 * Shared memory: System V segments, and named POSIX shared-memory objects mapped in one call.
 *
 * POSIX names: leading slashes are ignored; the rest must be 1 to NAME_MAX characters without
 * '/'. An empty name or one holding '/' fails with EINVAL (null, or -1 from kova_shm_destroy),
 * a longer one with ENAMETOOLONG; names are never cut.
 */
#ifndef KOVA_KOVA_SHM_H
#define KOVA_KOVA_SHM_H

#include <sys/ipc.h>
#include <sys/types.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** shmget(key, size, flags): the segment id, or -1 with errno. */
KOVA_API int kova_shmget_ex(key_t key, size_t size, int flags);
/** shmget(key, size, IPC_CREAT | 0600). */
KOVA_API int kova_shmget(key_t key, size_t size);
/** shmat(id) at an address of the system's choice: the address, or null (errno set). */
KOVA_API void *kova_shmat(int id);
/** shmctl(id, IPC_RMID): 0 or -1 with errno. The segment goes when its last user detaches. */
KOVA_API int kova_shmdel(int id);

/** shm_open(name, flags, mode), sized and backed to `size` bytes, mapped shared with the access
 * of the flags; null on failure. The mapping stays; the descriptor is closed. A name longer than
 * NAME_MAX (leading slashes aside) is refused, logged, with errno ENAMETOOLONG: never cut. */
KOVA_API void *kova_shm_create_ext(const char *name, int flags, mode_t mode, uint32_t size);
/** kova_shm_create_ext(name, O_RDWR | O_CREAT, 0600, size); failures other than EEXIST are
 * logged ("Open shm fail, errno<%d>."). An existing object is mapped again (and grown to size). */
KOVA_API void *kova_shm_create(const char *name, uint32_t size);
/** shm_unlink: 0, or -1 (logged); a name longer than NAME_MAX is refused as above. */
KOVA_API int kova_shm_destroy(const char *name);

KOVA_EXTERN_C_END

#endif
