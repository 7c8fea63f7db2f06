#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_fileops.h"
#include "fileops/line_cut.h"
#include "mem/alloc.h"

KOVA_LOG_SOURCE("fileops/kova_fileops")

using kova::log::kError;
using kova::log::kWarning;

extern "C" int kova_access(const char *path, int mode)
{
    if (path == nullptr) { KOVA_LOG(kError, "pFilePath is NULL."); return -1; }
    return access(path, mode);
}

extern "C" int kova_open(const char *path, int flags, mode_t mode)
{
    if (path == nullptr) { KOVA_LOG(kError, "pFilePath is NULL."); return -1; }
    return open(path, flags, mode);
}

extern "C" ssize_t kova_read(int fd, void *buf, size_t length)
{
    if (buf == nullptr) { KOVA_LOG(kError, "pBuf is NULL."); return -1; }
    return read(fd, buf, length);
}

extern "C" ssize_t kova_write(int fd, const void *buf, size_t length)
{
    if (buf == nullptr) { KOVA_LOG(kError, "pBuf is NULL."); return -1; }
    return write(fd, buf, length);
}

extern "C" off_t kova_lseek(int fd, off_t offset, int whence) { return lseek(fd, offset, whence); }
extern "C" int kova_sync(int fd) { return fsync(fd); }
extern "C" int kova_close(int fd) { return close(fd); }

extern "C" int kova_stat(const char *path, struct stat *status)
{
    if (path == nullptr) { KOVA_LOG(kError, "pPath is NULL."); return -1; }
    return stat(path, status);
}

extern "C" int kova_statfs(const char *path, struct statfs *status)
{
    if (path == nullptr) { KOVA_LOG(kError, "pPath is NULL."); return -1; }
    if (status == nullptr) { KOVA_LOG(kError, "pBuf is NULL."); return -1; }
    return statfs(path, status);
}

extern "C" int kova_unlink(const char *path) { return path == nullptr ? -1 : unlink(path); }
extern "C" int kova_fstat(int fd, struct stat *status) { return status == nullptr ? -1 : fstat(fd, status); }

extern "C" int kova_fchown(int fd, const struct stat *status)
{
    return status == nullptr ? -1 : fchown(fd, status->st_uid, status->st_gid);
}

extern "C" char *kova_readline(int fd, char *buf, int32_t size)
{
    if (buf == nullptr || size < 1) return nullptr;
    return kova::fileops::cut_line(buf, size, [fd](char &c) { return read(fd, &c, 1) == 1; });
}

namespace {

constexpr int kCopyError = -125;  // ECANCELED
constexpr ssize_t kCopyBlock = 128;

// Copies until a write moves less than a whole block, which is how the end of the source shows.
int copy_blocks(int in, int out, const char *src, const char *dest)
{
    char block[kCopyBlock];
    for (;;) {
        ssize_t got = read(in, block, sizeof block);
        if (got < 0) {
            KOVA_LOG_AS("kova_copy", kWarning, "copydata read from srcFile=%s to destfile=%s error.", src, dest);
            return kCopyError;
        }
        ssize_t put = write(out, block, static_cast<size_t>(got));
        if (put < 0 || put < got) {
            KOVA_LOG_AS("kova_copy", kWarning, "copydata WRITE from srcFile=%s to destfile=%s error.", src, dest);
            return kCopyError;
        }
        if (put != kCopyBlock) return 0;
    }
}

}  // namespace

extern "C" int kova_copy(const char *src, const char *dest)
{
    if (src == nullptr || dest == nullptr) return -EINVAL;
    int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        KOVA_LOG(kWarning, "Open srcFile %s error.", src);
        return kCopyError;
    }
    int out = open(dest, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        KOVA_LOG(kWarning, "Open pDestFile %s error.", dest);
        close(in);
        return kCopyError;
    }
    int result = copy_blocks(in, out, src, dest);
    close(in);
    close(out);
    return result;
}

namespace {

struct flock record_lock(const kova_flock_req_s &request, short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = request.start;
    lock.l_len = request.length;
    lock.l_pid = 0;
    return lock;
}

}  // namespace

extern "C" int kova_lockfile(int fd, const kova_flock_req_s *request)
{
    if (request == nullptr) return -EINVAL;
    bool exclusive = request->mode == KOVA_FLOCK_EXCL_WAIT || request->mode == KOVA_FLOCK_EXCL_NOWAIT;
    bool wait = request->mode == KOVA_FLOCK_SHARED_WAIT || request->mode == KOVA_FLOCK_EXCL_WAIT;
    struct flock lock = record_lock(*request, exclusive ? F_WRLCK : F_RDLCK);
    int result;
    do {
        result = fcntl(fd, wait ? F_SETLKW : F_SETLK, &lock);
    } while (result < 0 && wait && errno == EINTR);
    return result < 0 ? -1 : 0;
}

extern "C" int kova_unlockfile(int fd, const kova_flock_req_s *request)
{
    if (request == nullptr) return -EINVAL;
    struct flock lock = record_lock(*request, F_UNLCK);
    return fcntl(fd, F_SETLK, &lock) < 0 ? -1 : 0;
}

extern "C" int kova_readdir_new(const char *path, kova_readdir_fn callback, void *arg)
{
    if (path == nullptr) { KOVA_LOG(kError, "path is NULL."); return -1; }
    DIR *dir = opendir(path);
    if (dir == nullptr) return -1;
    long name_max = fpathconf(dirfd(dir), _PC_NAME_MAX);
    if (name_max < 0) name_max = NAME_MAX;
    // readdir_r writes a whole dirent, whose name field is sized for the longest name.
    auto *entry = static_cast<dirent *>(KOVA_ALLOC(static_cast<int32_t>(name_max + 281)));
    if (entry == nullptr) {
        closedir(dir);
        return -1;
    }
    dirent *next = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    while (readdir_r(dir, entry, &next) == 0 && next != nullptr) {
#pragma GCC diagnostic pop
        if (callback != nullptr)
            callback(arg, next->d_name, static_cast<int>(strnlen(next->d_name, sizeof next->d_name)), next->d_off,
                     next->d_ino, next->d_type);
    }
    KOVA_FREE(entry);
    closedir(dir);
    return 0;
}
