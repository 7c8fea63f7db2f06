// Safe edits of INI files: parse into a private node, change it, write it to PATH.temp with the
// target's mode and owner, fsync, rename over the target, all under an exclusive flock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cfg/cfg_internal.h"
#include "init/kova_log.h"
#include "kova/kova_fileops.h"
#include "kova/kova_lock.h"
#include "mem/alloc.h"

KOVA_LOG_SOURCE("cfg/kova_cfg")

using kova::log::kDebug;
using kova::log::kError;
using kova::log::kInfo;
using namespace kova::cfg;

namespace {

struct NodeWriteLock {
    explicit NodeWriteLock(kova_cfg_file_node_s *node) : word(&node->lock) { kova_rwlock_write_lock_mayblock(word); }
    ~NodeWriteLock() { kova_rwlock_write_unlock(word); }
    int64_t *word;
};

void lock_exclusive(int fd)
{
    int locked;
    do {
        locked = flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) KOVA_LOG_AS("kova_cfg_file_writeOperate", kInfo, "Add flock failed, errno = %d", errno);
}

// The descriptor whose flock guards `path`: a rename by an editor that held the lock before us
// leaves our descriptor on the replaced file, so lock the file now at the path instead. -1 when
// `fd` itself still is that file; otherwise a descriptor the caller closes.
int relock_current(int fd, const char *path)
{
    int extra = -1;
    for (;;) {
        struct stat held {}, current {};
        int locked = extra >= 0 ? extra : fd;
        if (fstat(locked, &held) != 0 || stat(path, &current) != 0 ||
            (held.st_dev == current.st_dev && held.st_ino == current.st_ino))
            return extra;
        int next = open(path, O_RDWR | O_CLOEXEC);
        if (next < 0) return extra;
        if (extra >= 0) close(extra);
        extra = next;
        lock_exclusive(extra);
    }
}

bool write_all(int fd, const char *text, std::size_t length)
{
    while (length > 0) {
        ssize_t put = write(fd, text, length);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        text += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

// Under the node's lock.
std::size_t text_length(kova_cfg_file_node_s *node)
{
    std::size_t length = 0;
    KOVA_CFG_FOR_EACH(kova_cfg_section_node_s, section, &node->sections) {
        length += std::strlen(section->name) + 3;
        KOVA_CFG_FOR_EACH(kova_cfg_item_node_s, item, &section->items)
            length += std::strlen(item->name) + std::strlen(item->value) + 2;
    }
    return length;
}

char *append(char *out, const char *a, char separator, const char *b, char end)
{
    std::size_t la = std::strlen(a), lb = std::strlen(b);
    std::memcpy(out, a, la);
    out += la;
    *out++ = separator;
    std::memcpy(out, b, lb);
    out += lb;
    *out++ = end;
    return out;
}

int del_item_edit(kova_cfg_file_node_s *node, const char *section, const char *item, const char *)
{
    return kova_cfg_del_item_func(node, section, item);
}

int del_section_edit(kova_cfg_file_node_s *node, const char *section, const char *, const char *)
{
    return kova_cfg_del_section_func(node, section);
}

int edit_file(const kova_cfg_edit_req_s &request, kova_cfg_edit_fn edit, const char *function, const char *open_message,
              const char *failed_message)
{
    int fd = open(request.path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        KOVA_LOG_AS(function, kError, open_message, request.path, errno);
        return -1;
    }
    int result = kova_cfg_file_writeOperate(fd, &request, edit);
    close(fd);
    if (result != 0) {
        KOVA_LOG_AS(function, kError, failed_message, request.section);
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" kova_cfg_item_node_s *kova_cfg_new_item_node_ex(const char *item, const char *value)
{
    if (item == nullptr || value == nullptr) return nullptr;
    auto *node = static_cast<kova_cfg_item_node_s *>(KOVA_ALLOC(sizeof(kova_cfg_item_node_s)));
    if (node == nullptr) {
        KOVA_LOG(kError, "Malloc item node failed.");
        return nullptr;
    }
    std::size_t length = strnlen(item, KOVA_CFG_NAME_SIZE);
    if (length >= KOVA_CFG_NAME_SIZE) {
        KOVA_LOG(kError, "Strcpy pItemName failed.");
        KOVA_FREE(node);
        return nullptr;
    }
    std::memcpy(node->name, item, length + 1);
    node->value = copy_value(value, __func__, "Malloc item memory failed.");
    if (node->value == nullptr) {
        KOVA_FREE(node);
        return nullptr;
    }
    list_init(&node->list);
    return node;
}

extern "C" int kova_cfg_add_item_func(kova_cfg_file_node_s *node, const char *section, const char *item, const char *value)
{
    if (node == nullptr || section == nullptr || item == nullptr || value == nullptr) return -1;
    NodeWriteLock lock(node);
    kova_cfg_section_node_s *found = find_section(node, section);
    if (found != nullptr && find_item(found, item) != nullptr) {
        KOVA_LOG(kError, "add item fail, item(%s) is already exist", item);
        return -1;
    }
    kova_cfg_item_node_s *added = kova_cfg_new_item_node_ex(item, value);
    if (added == nullptr) {
        KOVA_LOG(kError, "new item node(%s,%s) fail.", item, value);
        return -1;
    }
    if (found == nullptr) found = new_section(node, section);
    if (found == nullptr) {
        free_item(added);
        return -1;
    }
    list_add_tail(&added->list, &found->items);
    return 0;
}

extern "C" int kova_cfg_del_item_func(kova_cfg_file_node_s *node, const char *section, const char *item)
{
    if (node == nullptr || section == nullptr || item == nullptr) return -1;
    NodeWriteLock lock(node);
    kova_cfg_section_node_s *found = find_section(node, section);
    if (found == nullptr) {
        KOVA_LOG(kError, "Delete item failed.Section(%s) is not exist in file(%s).", section, node->name);
        return -1;
    }
    kova_cfg_item_node_s *victim = find_item(found, item);
    if (victim == nullptr) {
        KOVA_LOG(kError, "Delete item failed.item(%s) is not exist in file(%s).", item, node->name);
        return -1;
    }
    list_del(&victim->list);
    free_item(victim);
    if (list_empty(&found->items)) {
        list_del(&found->list);
        free_section(found);
    }
    return 0;
}

extern "C" int kova_cfg_set_item_func(kova_cfg_file_node_s *node, const char *section, const char *item, const char *value)
{
    if (node == nullptr || section == nullptr || item == nullptr || value == nullptr) return -1;
    char *copy = copy_value(value, __func__, "Set item failed,malloc size:%d memory fail.");
    if (copy == nullptr) return -1;
    bool swapped = false;
    {
        NodeWriteLock lock(node);
        kova_cfg_section_node_s *found = find_section(node, section);
        if (found == nullptr) KOVA_LOG(kDebug, "Can't find section=%s", section);
        kova_cfg_item_node_s *target = found != nullptr ? find_item(found, item) : nullptr;
        if (target != nullptr) {
            std::swap(target->value, copy);
            swapped = true;
        } else {
            KOVA_LOG(kError, "Set item failed.item(%s) is not exist in file(%s).", item, node->name);
        }
    }
    KOVA_FREE(copy);  // the old value after a swap, else the unused copy
    return swapped ? 0 : -1;
}

extern "C" int kova_cfg_del_section_func(kova_cfg_file_node_s *node, const char *section)
{
    if (node == nullptr || section == nullptr) return -1;
    kova_cfg_section_node_s *found;
    {
        NodeWriteLock lock(node);
        found = find_section(node, section);
        if (found == nullptr) {
            KOVA_LOG(kError, "Delete section(%s) is not exist in file(%s).", section, node->name);
            return -1;
        }
        list_del(&found->list);
    }
    free_section(found);
    return 0;
}

extern "C" int kova_cfg_create_tmpfile(const char *path, int fd, char **temp_name)
{
    if (path == nullptr || temp_name == nullptr) return -1;
    *temp_name = nullptr;
    std::size_t size = std::strlen(path) + sizeof ".temp";
    auto *name = size < INT32_MAX ? static_cast<char *>(KOVA_ALLOC(static_cast<int32_t>(size))) : nullptr;
    if (name == nullptr) {
        KOVA_LOG(kError, "Malloc memory for tempFile failed.errno(%d).", errno);
        return -1;
    }
    if (std::snprintf(name, size, "%s%s", path, ".temp") != static_cast<int>(size - 1)) {
        KOVA_LOG(kError, "Sprintf_s failed.");
        KOVA_FREE(name);
        return -1;
    }
    unlink(name);
    struct stat target {};
    if (fstat(fd, &target) != 0) {
        KOVA_LOG(kError, "Get stat of file<%s> failed, errno<%d>.", path, errno);
        KOVA_FREE(name);
        return -1;
    }
    int temp = open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, target.st_mode & 07777);
    if (temp < 0) {
        KOVA_LOG(kError, "Create temp file<%s> failed, errno<%d>.", name, errno);
        KOVA_FREE(name);
        return -1;
    }
    if (fchmod(temp, target.st_mode & 07777) != 0 || kova_fchown(temp, &target) != 0) {
        KOVA_LOG(kError, "Set mode and owner of temp file<%s> failed, errno<%d>.", name, errno);
        close(temp);
        unlink(name);
        KOVA_FREE(name);
        return -1;
    }
    *temp_name = name;
    return temp;
}

extern "C" int kova_cfg_writeFnodeTofile(int fd, kova_cfg_file_node_s *node)
{
    if (node == nullptr) return -1;
    char *text = nullptr;
    std::size_t length = 0;
    {
        // The buffer is sized to the node's text, so a file of any size is written whole.
        NodeWriteLock lock(node);
        std::size_t size = text_length(node) + 1;
        text = size < INT32_MAX ? static_cast<char *>(KOVA_ALLOC(static_cast<int32_t>(size))) : nullptr;
        if (text == nullptr) {
            KOVA_LOG(kError, "Malloc size:%d memory failed,errno %d.", static_cast<int>(size), errno);
            return -1;
        }
        char *out = text;
        KOVA_CFG_FOR_EACH(kova_cfg_section_node_s, section, &node->sections) {
            *out++ = '[';
            out = append(out, section->name, ']', "", '\n');
            KOVA_CFG_FOR_EACH(kova_cfg_item_node_s, item, &section->items) out = append(out, item->name, '=', item->value, '\n');
        }
        length = static_cast<std::size_t>(out - text);
    }
    bool written = ftruncate(fd, static_cast<off_t>(length)) == 0 && lseek(fd, 0, SEEK_SET) == 0 && write_all(fd, text, length);
    if (!written) KOVA_LOG(kError, "Wirte file (%d) fail,errno %d", fd, errno);
    KOVA_FREE(text);
    return written ? 0 : -1;
}

extern "C" int kova_cfg_updateFileNode(kova_cfg_file_node_s *node)
{
    return node != nullptr && replace_in_store(node) ? 0 : -1;
}

extern "C" int kova_cfg_file_writeOperate(int fd, const kova_cfg_edit_req_s *request, kova_cfg_edit_fn edit)
{
    if (request == nullptr || request->path == nullptr || edit == nullptr) return -1;
    lock_exclusive(fd);
    int current = relock_current(fd, request->path);
    int locked = current >= 0 ? current : fd;
    kova_cfg_file_node_s *node = load_file(request->path);
    int result = -1;
    char *temp_name = nullptr;
    int temp = -1;
    if (node == nullptr) {
        KOVA_LOG(kError, "Parse config file %s failed.", request->path);
    } else if (edit(node, request->section, request->item, request->value) != 0) {
        KOVA_LOG(kError, "Exec v_pfnProc(%s) failed.", request->path);
    } else if ((temp = kova_cfg_create_tmpfile(request->path, locked, &temp_name)) < 0) {
    } else if (kova_cfg_writeFnodeTofile(temp, node) != 0) {
        KOVA_LOG(kError, "Write node file(%s) failed.", request->path);
    } else if (fsync(temp) != 0 || rename(temp_name, request->path) != 0) {
        // The store is offered the node only once the file holds its text.
        KOVA_LOG(kError, "Replace file (%s) failed, errno %d.", request->path, errno);
    } else {
        result = 0;
        if (kova_cfg_updateFileNode(node) == 0) node = nullptr;
    }
    if (temp >= 0) {
        if (result != 0) unlink(temp_name);
        close(temp);
    }
    if (temp_name != nullptr) KOVA_FREE(temp_name);
    if (node != nullptr) free_file_node(node);
    if (flock(locked, LOCK_UN) != 0) KOVA_LOG(kInfo, "Down flock failed, errno = %d", errno);
    if (current >= 0) close(current);
    return result;
}

extern "C" int kova_cfg_file_addItem(const char *path, const char *section, const char *item, const char *value)
{
    if (path == nullptr || section == nullptr || item == nullptr || value == nullptr) {
        KOVA_LOG(kError, "Param is null.");
        return -1;
    }
    return edit_file({path, section, item, value}, kova_cfg_add_item_func, __func__, "Open file<%s> failed, errno<%d>",
                     "Exec write operate failed.");
}

extern "C" int kova_cfg_file_delItem(const char *path, const char *section, const char *item)
{
    if (path == nullptr || section == nullptr || item == nullptr) {
        KOVA_LOG(kError, "Param is null.");
        return -1;
    }
    return edit_file({path, section, item, nullptr}, del_item_edit, __func__, "Open file<%s> failed, errno<%d>",
                     "Exec write operate to del item failed.");
}

extern "C" int kova_cfg_file_delSection(const char *path, const char *section)
{
    if (path == nullptr || section == nullptr) {
        KOVA_LOG(kError, "Param is null.");
        return -1;
    }
    return edit_file({path, section, nullptr, nullptr}, del_section_edit, __func__, "Open file<%s> failed, errno<%d>",
                     "Exec write operate to del section<%s> failed.");
}

extern "C" int kova_cfg_file_setItemValue(const char *path, const char *section, const char *item, const char *value)
{
    if (path == nullptr || section == nullptr || item == nullptr || value == nullptr) {
        KOVA_LOG(kError, "param is null.");
        return -1;
    }
    return edit_file({path, section, item, value}, kova_cfg_set_item_func, __func__, "open file<%s> failed, errno<%d>",
                     "exec write operate to set item value failed.");
}

extern "C" int kova_remove_noneprint_characters(const char *src, int32_t length, char *dst, int32_t dst_size)
{
    if (src == nullptr || dst == nullptr || dst_size <= length) return -1;
    int32_t i = 0;
    while (i < length && src[i] != '\0' && std::isprint(static_cast<unsigned char>(src[i])) != 0) {
        dst[i] = src[i];
        ++i;
    }
    if (dst_size > 0) dst[i] = '\0';
    return 0;
}
