// Reading one item straight from a file and rewriting one item in place, both bypassing the store.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "cfg/cfg_internal.h"
#include "init/kova_log.h"
#include "mem/alloc.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("cfg/kova_cfg")

using kova::log::kDebug;
using kova::log::kError;
using kova::log::kInfo;
using namespace kova::cfg;

namespace {

struct Search {
    const char *section;
    const char *item;
    int result;
    kova_cfg_item_s *record;
};

int search_item(kova_cfg_file_node_s *, const char *section, kova_cfg_item_node_s *item, void *arg)
{
    auto &search = *static_cast<Search *>(arg);
    if (std::strcmp(section, search.section) != 0 || std::strcmp(item->name, search.item) != 0) return 1;
    if (kova::sec::strcpy_s(search.record->name, sizeof search.record->name, item->name) != 0 ||
        kova::sec::strcpy_s(search.record->value, sizeof search.record->value, item->value) != 0) {
        KOVA_LOG_AS("kova_cfg_getItemFromFile", kError, "Copy item (%s=%s) fail.", item->name, item->value);
        search.result = -1;
        return -1;
    }
    search.result = 0;
    return 0;
}

struct Rewrite {
    bool written = false;
    char current[KOVA_CFG_NAME_SIZE] = "";
    const char *section;
    const char *item;
    const char *value;
    char *buffer;
    std::size_t used = 0;
    std::size_t size;
};

// Appends to the rewrite buffer, bounded by the space left; false (logged) when it does not fit.
__attribute__((format(printf, 2, 3))) bool append(Rewrite &rewrite, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::size_t left = rewrite.size - rewrite.used;
    int length = kova::sec::vsnprintf_s(rewrite.buffer + rewrite.used, left, left - 1, format, args);
    va_end(args);
    if (length < 0) {
        KOVA_LOG_AS("kova_cfg_write_item_to_file", kError, "sprintf_s secure function failed, destMax<%d>.",
                    static_cast<int>(left));
        return false;
    }
    rewrite.used += static_cast<std::size_t>(length);
    return true;
}

bool is_target(const Rewrite &rewrite, const char *section, const char *item)
{
    return std::strcmp(section, rewrite.section) == 0 && std::strcmp(item, rewrite.item) == 0;
}

int rewrite_item(kova_cfg_file_node_s *, const char *section, kova_cfg_item_node_s *item, void *arg)
{
    constexpr int kFormatFailed = 22;
    auto &rewrite = *static_cast<Rewrite *>(arg);
    if (rewrite.used + 1 >= rewrite.size) {
        KOVA_LOG_AS("kova_cfg_write_item_to_file", kError, "Buffer size : (%d) is more than stantard size (%d).",
                    static_cast<int>(rewrite.used), static_cast<int>(rewrite.size));
        return -1;
    }
    if (std::strcmp(section, rewrite.current) != 0) {
        // The new item closes the target section when that section ends without it.
        if (!rewrite.written && std::strcmp(rewrite.current, rewrite.section) == 0) {
            if (!append(rewrite, "%s=%s\n", rewrite.item, rewrite.value)) return kFormatFailed;
            rewrite.written = true;
        }
        if (!append(rewrite, "[%s]\n", section)) return kFormatFailed;
        if (kova::sec::strcpy_s(rewrite.current, sizeof rewrite.current, section) != 0) {
            KOVA_LOG_AS("kova_cfg_write_item_to_file", kError, "strcpy_s secure function failed, ret<%d>, destMax<%d>.",
                        -1, static_cast<int>(sizeof rewrite.current));
            return kFormatFailed;
        }
    }
    bool target = is_target(rewrite, section, item->name);
    if (!append(rewrite, "%s=%s\n", item->name, target ? rewrite.value : item->value)) return kFormatFailed;
    rewrite.written = rewrite.written || target;
    return 1;
}

// Grows the file to `length` before its text is overwritten, so that a full disk fails here
// rather than half-way through the new text.
bool reserve(int fd, std::size_t length)
{
    if (length == 0 || fallocate(fd, 0, 0, static_cast<off_t>(length)) == 0) return true;
    return errno == EOPNOTSUPP;
}

int rewrite_file(int fd, Rewrite &rewrite)
{
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0 || lseek(fd, 0, SEEK_SET) < 0) {
        KOVA_LOG_AS("kova_cfg_write_item_to_file", kInfo, "Can't get file size.");
        return -1;
    }
    rewrite.size = static_cast<std::size_t>(size) + kRewriteSlack;
    rewrite.buffer = rewrite.size < INT32_MAX ? static_cast<char *>(KOVA_ALLOC(static_cast<int32_t>(rewrite.size))) : nullptr;
    if (rewrite.buffer == nullptr) {
        KOVA_LOG_AS("kova_cfg_write_item_to_file", kInfo, "Alloc memory Size: (%d) failed.", static_cast<int>(rewrite.size));
        return -1;
    }
    int status = parse_lines(fd, nullptr, rewrite_item, &rewrite);
    if (status == 0 && !rewrite.written) {
        if (rewrite.used + 1 >= rewrite.size) {
            KOVA_LOG_AS("kova_cfg_write_item_to_file", kInfo, "Buffer size : (%d) is more than stantard size (%d).",
                        static_cast<int>(rewrite.used), static_cast<int>(rewrite.size));
            status = -1;
        } else if (!(std::strcmp(rewrite.current, rewrite.section) == 0 || append(rewrite, "[%s]\n", rewrite.section)) ||
                   !append(rewrite, "%s=%s\n", rewrite.item, rewrite.value)) {
            status = 22;
        }
    }
    if (status == 0 && !reserve(fd, rewrite.used)) {
        KOVA_LOG_AS("kova_cfg_write_item_to_file", kError, "Reserve %zu bytes for file failed, errno %d.", rewrite.used, errno);
        status = -1;
    }
    if (status == 0) {
        ssize_t put = pwrite(fd, rewrite.buffer, rewrite.used, 0);
        if (put < 0 || static_cast<std::size_t>(put) != rewrite.used)
            KOVA_LOG_AS("kova_cfg_write_item_to_file", kError,
                        "Write error, iFd<%d> pFileParam->pBuffer<%p>, pFileParam->bufIndex<%u>", fd,
                        static_cast<void *>(rewrite.buffer), static_cast<unsigned>(rewrite.used));
        if (ftruncate(fd, static_cast<off_t>(rewrite.used)) != 0) status = -1;
    }
    KOVA_FREE(rewrite.buffer);
    return status;
}

}  // namespace

extern "C" int kova_cfg_getItemFromFile(const char *path, const char *section, const char *item, kova_cfg_item_s *record)
{
    if (path == nullptr || section == nullptr || item == nullptr || record == nullptr) {
        KOVA_LOG(kError, "Null pointer found, pFile:%p, pSection:%p, pItemName:%p, pItemValue:%p.",
                 static_cast<const void *>(path), static_cast<const void *>(section), static_cast<const void *>(item),
                 static_cast<void *>(record));
        return -1;
    }
    Search search{section, item, -1, record};
    kova_cfg_file_node_s *node = parse_file(path, search_item, &search);
    if (node == nullptr) return -1;
    KOVA_LOG(kDebug, "Parse config file %s sucess.", path);
    free_file_node(node);
    return search.result;
}

extern "C" int kova_cfg_write_item_to_file(const char *path, const char *section, const char *item, const char *value)
{
    if (path == nullptr || section == nullptr || item == nullptr || value == nullptr) {
        KOVA_LOG(kError, "Null pointer found, pFile:%p, pSection:%p, pItemValue:%p.", static_cast<const void *>(path),
                 static_cast<const void *>(section), static_cast<const void *>(value));
        return -1;
    }
    char *copy = copy_value(value, __func__, "Alloc memory failed, size(%u).");
    if (copy == nullptr) return -1;
    Rewrite rewrite{};
    rewrite.section = section;
    rewrite.item = item;
    rewrite.value = copy;
    if (strnlen(section, KOVA_CFG_NAME_SIZE) >= KOVA_CFG_NAME_SIZE || strnlen(item, KOVA_CFG_NAME_SIZE) >= KOVA_CFG_NAME_SIZE) {
        KOVA_LOG(kError, "Strcpy_s failed pSection<%s>, pItemName<%s>, pItemValue<%s>, iRet = %d.", section, item, value,
                 kova::sec::kRangeAndReset);
        KOVA_FREE(copy);
        return -1;
    }
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        KOVA_LOG(kError, "Open file (%s) fail,errno %d", path, errno);
        KOVA_FREE(copy);
        return -1;
    }
    int locked;
    do {
        locked = flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) KOVA_LOG(kInfo, "Add flock failed, errno = %d", errno);
    int status = rewrite_file(fd, rewrite);
    if (flock(fd, LOCK_UN) != 0) KOVA_LOG(kInfo, "Down flock failed, errno = %d", errno);
    close(fd);
    KOVA_FREE(copy);
    return status;
}
