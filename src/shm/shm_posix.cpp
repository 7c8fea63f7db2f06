#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_shm.h"
#include "platform/paths.h"

KOVA_LOG_SOURCE("shm/kova_shm_posix")

namespace {

// shm_open ignores leading slashes; dropping them here keeps a test prefix in front of the name.
kova::platform::ShmName object_name(const char *name)
{
    while (*name == '/') ++name;
    return kova::platform::ShmName(name);
}

// The test prefix would turn an empty name into a valid one: names are judged before it is
// added. A name longer than the system holds would be cut to a prefix it shares with other
// names, and two objects would become one: refused instead.
bool name_valid(const char *name, const kova::platform::ShmName &object, const char *function)
{
    const char *bare = name + std::strspn(name, "/");
    if (*bare == '\0' || std::strchr(bare, '/') != nullptr) {
        errno = EINVAL;
        return false;
    }
    if (object.fits()) return true;
    KOVA_LOG_AS(function, kova::log::kError, "Shm name is too long, length<%zu> max<%d>.", std::strlen(name), NAME_MAX);
    errno = ENAMETOOLONG;
    return false;
}

int protection_for(int flags)
{
    switch (flags & O_ACCMODE) {
    case O_RDONLY: return PROT_READ;
    case O_WRONLY: return PROT_WRITE;
    case O_RDWR: return PROT_READ | PROT_WRITE;
    default:
        KOVA_LOG_AS("kova_shm_create_ext", kova::log::kError, "Oflag open failed, oflag<%d>.", flags);
        return PROT_NONE;
    }
}

}  // namespace

extern "C" void *kova_shm_create_ext(const char *name, int flags, mode_t mode, uint32_t size)
{
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto object = object_name(name);
    if (!name_valid(name, object, __func__)) return nullptr;
    int fd = shm_open(object.c_str(), flags, mode);
    if (fd < 0) return nullptr;

    // A read-only opener cannot resize; the object keeps the size its creator gave it.
    [[maybe_unused]] int resized = ftruncate(fd, size);
    // Reserving the pages now turns a full /dev/shm into an error here instead of a SIGBUS later.
    if (size != 0 && fallocate(fd, 0, 0, size) != 0 && errno == ENOSPC) {
        int err = errno;
        KOVA_LOG(kova::log::kInfo, "Fallocate shm fail, ret<%d> errno<%d>.", -1, err);
        close(fd);
        errno = err;
        return nullptr;
    }

    void *address = mmap(nullptr, size, protection_for(flags), MAP_SHARED, fd, 0);
    int err = errno;
    close(fd);
    if (address == MAP_FAILED) {
        KOVA_LOG(kova::log::kInfo, "Mmap shm mem fail, errno<%d>.", err);
        errno = err;
        return nullptr;
    }
    return address;
}

extern "C" void *kova_shm_create(const char *name, uint32_t size)
{
    void *address = kova_shm_create_ext(name, O_RDWR | O_CREAT, 0600, size);
    if (address == nullptr && errno != EEXIST)
        KOVA_LOG(kova::log::kInfo, "Open shm fail, errno<%d>.", errno);
    return address;
}

extern "C" int kova_shm_destroy(const char *name)
{
    if (name == nullptr) return -1;
    auto object = object_name(name);
    int ret = name_valid(name, object, __func__) ? shm_unlink(object.c_str()) : -1;
    if (ret != 0) {
        KOVA_LOG(kova::log::kInfo, "Destroy shm fail, ret<%d> errno<%d>.", ret, errno);
        return -1;
    }
    return 0;
}
