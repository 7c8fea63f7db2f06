/**
 * @file
 * File operations: logged wrappers over the POSIX file calls, a byte-wise line reader, a block
 * copy, record locks, a directory walk, and file-management commands run through the filtered
 * shell runner (kova_system_s).
 *
 * The wrappers return what the wrapped call returns (-1 with errno on failure); a null path or
 * buffer is logged at level 3 and gives -1 without a call.
 */
#ifndef KOVA_KOVA_FILEOPS_H
#define KOVA_KOVA_FILEOPS_H

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** Record-lock mode: a shared (read) lock, waiting while a conflicting lock is held. */
#define KOVA_FLOCK_SHARED_WAIT 0
/** Record-lock mode: an exclusive (write) lock, waiting while a conflicting lock is held. */
#define KOVA_FLOCK_EXCL_WAIT 1
/** Record-lock mode: a shared (read) lock, failing at once when a conflicting lock is held. */
#define KOVA_FLOCK_SHARED_NOWAIT 2
/** Record-lock mode: an exclusive (write) lock, failing at once when a conflicting lock is held. */
#define KOVA_FLOCK_EXCL_NOWAIT 3

/** Path arguments of the kova_cmd_* functions must be shorter than this. */
#define KOVA_CMD_PATH_MAX 1024
/** The command buffer of each kova_cmd_* call. */
#define KOVA_CMD_BUF_SIZE 4096

/** A record-lock request (POSIX semantics: per process and file). */
typedef struct kova_flock_req_s {
    uint64_t mode;   /**< KOVA_FLOCK_* */
    int64_t start;   /**< offset from the start of the file */
    int64_t length;  /**< bytes; 0 means to the end of the file */
} kova_flock_req_s;

/** Called by kova_readdir_new for each entry, "." and ".." included; its result is ignored. */
typedef int (*kova_readdir_fn)(void *arg, const char *name, int name_length, int64_t offset,
                               uint64_t inode, unsigned int type);

/** access(2); -1 (logged) for a null path. */
KOVA_API int kova_access(const char *path, int mode);
/** open(2); -1 (logged) for a null path. */
KOVA_API int kova_open(const char *path, int flags, mode_t mode);
/** read(2); -1 (logged) for a null buffer. */
KOVA_API ssize_t kova_read(int fd, void *buf, size_t length);
/** write(2); -1 (logged) for a null buffer. */
KOVA_API ssize_t kova_write(int fd, const void *buf, size_t length);
/** lseek(2). */
KOVA_API off_t kova_lseek(int fd, off_t offset, int whence);
/** fsync(fd). */
KOVA_API int kova_sync(int fd);
/** close(2). */
KOVA_API int kova_close(int fd);
/** stat(2); -1 (logged) for a null path. */
KOVA_API int kova_stat(const char *path, struct stat *status);
/** statfs(2); -1 (logged) for a null path or result pointer. */
KOVA_API int kova_statfs(const char *path, struct statfs *status);
/** unlink(2); -1 for a null path. */
KOVA_API int kova_unlink(const char *path);
/** fstat(2); -1 for a null result pointer. */
KOVA_API int kova_fstat(int fd, struct stat *status);
/** Gives the file the owner and group recorded in `status`. */
KOVA_API int kova_fchown(int fd, const struct stat *status);

/**
 * Reads one line, one byte per read(2), so the descriptor stays just behind the line. A line
 * feed ends the line and is kept; carriage returns are dropped wherever they stand; at most
 * size - 1 bytes are stored (the rest comes with the next call). The stored bytes are followed by
 * NUL and buf[size - 1] is always NUL. Returns buf, or null at end of input with nothing
 * stored, for a null buffer or a size below 1.
 */
KOVA_API char *kova_readline(int fd, char *buf, int32_t size);

/**
 * Copies `src` into `dest` (created with mode 0600 or truncated) in blocks of 128 bytes.
 * 0; -22 for a null path; -125 when a file cannot be opened, read or written.
 */
KOVA_API int kova_copy(const char *src, const char *dest);

/** Applies the record lock of `request`; the waiting modes retry after EINTR.
 * 0; -1 with errno when refused or failed; -22 for a null request. */
KOVA_API int kova_lockfile(int fd, const kova_flock_req_s *request);
/** Releases the range of `request`. 0; -1 on failure; -22 for a null request. */
KOVA_API int kova_unlockfile(int fd, const kova_flock_req_s *request);

/** Calls `callback` for every entry of directory `path`. 0 after the last entry; -1 for a null
 * path, a directory that cannot be opened or a failed allocation. */
KOVA_API int kova_readdir_new(const char *path, kova_readdir_fn callback, void *arg);

/**
 * Shell-tool command "cp -af SRC DEST". Paths are inserted unquoted and must be shorter than
 * KOVA_CMD_PATH_MAX. Like every kova_cmd_* function it returns the shell's raw wait status (0 is
 * success), or -22 for a null path, -36 for a path too long, -12 when the command buffer cannot
 * be allocated, -29 when the command holds a shell metacharacter (nothing runs).
 */
KOVA_API int kova_cmd_cp(const char *src, const char *dest);
/** Shell-tool command "rm -rf PATH", with the checks and results of kova_cmd_cp. */
KOVA_API int kova_cmd_rm(const char *path);
/** Shell-tool command "tar -xzf ARCHIVE -C DIR" (extract non-zero) or "tar -czf ARCHIVE SRC"
 * (extract 0), with the checks and results of kova_cmd_cp. */
KOVA_API int kova_cmd_tar(const char *archive, const char *dir_or_src, int32_t extract);
/** Shell-tool command "touch PATH", with the checks and results of kova_cmd_cp. */
KOVA_API int kova_cmd_touch(const char *path);
/** Shell-tool command "mv SRC DEST", with the checks and results of kova_cmd_cp. */
KOVA_API int kova_cmd_mv(const char *src, const char *dest);
/** Shell-tool command "mkdir -p PATH &>/dev/null", with the checks and results of kova_cmd_cp,
 * except that a path with a metacharacter gives -22. */
KOVA_API int kova_cmd_mkdir(const char *path);

KOVA_EXTERN_C_END

#endif
