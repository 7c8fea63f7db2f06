// The process-wide store: loaded files newest first under g_stCfgRwlock, each file's sections
// and items under its own lock. Lock order: g_stCfgRwlock, then a file node's lock. Both lookup
// styles read and swap values only while holding the node's lock (see kova_cfg.h).
#include <cstring>

#include "cfg/cfg_internal.h"
#include "init/kova_log.h"
#include "kova/kova_lock.h"
#include "mem/alloc.h"

KOVA_LOG_SOURCE("cfg/kova_cfg")

using kova::log::kDebug;
using kova::log::kError;
using kova::log::kInfo;
using kova::log::kWarning;
using namespace kova::cfg;

extern "C" {
int64_t g_stCfgRwlock = 0;
}

namespace {

kova_list_head_s g_files = {&g_files, &g_files};

// Under g_stCfgRwlock.
kova_cfg_file_node_s *find_file(const char *path)
{
    KOVA_CFG_FOR_EACH(kova_cfg_file_node_s, file, &g_files)
        if (std::strcmp(file->name, path) == 0) return file;
    return nullptr;
}

kova_cfg_item_node_s *lookup(kova_cfg_file_node_s *file, const char *section, const char *item)
{
    kova_cfg_section_node_s *found = find_section(file, section);
    return found != nullptr ? find_item(found, item) : nullptr;
}

// A node already unlinked from the store: waits for the holders of its lock, then frees it.
void retire(kova_cfg_file_node_s *node)
{
    kova_rwlock_write_lock_mayblock(&node->lock);
    KOVA_CFG_FOR_EACH(kova_cfg_section_node_s, section, &node->sections) {
        list_del(&section->list);
        free_section(section);
    }
    kova_rwlock_write_unlock(&node->lock);
    KOVA_FREE(node);
}

uint32_t raised(uint32_t count) { return count == UINT32_MAX ? count : count + 1; }

// Copies the value under the node's read lock: 0, KOVA_CFG_ERR_BUFFER or -1 when absent.
int copy_out(const kova_cfg_item_node_s *item, char *buf, uint32_t size, const char *function)
{
    std::size_t needed = std::strlen(item->value) + 1;
    if (size < needed) {
        KOVA_LOG_AS(function, kError, "Invalid Buffer size, inputSize(%u), actualSize(%u).", size,
                    static_cast<unsigned>(needed));
        return KOVA_CFG_ERR_BUFFER;
    }
    std::memcpy(buf, item->value, needed);
    return 0;
}

}  // namespace

namespace kova::cfg {

bool replace_in_store(kova_cfg_file_node_s *node)
{
    kova_rwlock_write_lock_mayblock(&g_stCfgRwlock);
    kova_cfg_file_node_s *old = find_file(node->name);
    if (old == nullptr) {
        kova_rwlock_write_unlock(&g_stCfgRwlock);
        return false;
    }
    list_del(&old->list);
    node->refcount = old->refcount;
    list_add_head(&node->list, &g_files);
    kova_rwlock_write_unlock(&g_stCfgRwlock);
    retire(old);
    return true;
}

}  // namespace kova::cfg

extern "C" int kova_cfg_init_ex(const char *path)
{
    if (path == nullptr) {
        KOVA_LOG(kInfo, "Input File is NULL pointer.");
        return -1;
    }
    kova_cfg_file_node_s *node = load_file(path);
    if (node == nullptr) {
        KOVA_LOG(kDebug, "Parse config file %s failed.", path);
        return -1;
    }
    kova_rwlock_write_lock_mayblock(&g_stCfgRwlock);
    kova_cfg_file_node_s *old = find_file(path);
    node->refcount = old != nullptr ? raised(old->refcount) : 1;
    if (old != nullptr) list_del(&old->list);
    list_add_head(&node->list, &g_files);
    kova_rwlock_write_unlock(&g_stCfgRwlock);
    if (old != nullptr) retire(old);
    return 0;
}

extern "C" int kova_cfg_init(const char *path) { return kova_cfg_init_ex(path); }

extern "C" int kova_cfg_destroy(void)
{
    kova_rwlock_write_lock_mayblock(&g_stCfgRwlock);
    KOVA_CFG_FOR_EACH(kova_cfg_file_node_s, file, &g_files) {
        list_del(&file->list);
        retire(file);
    }
    kova_rwlock_write_unlock(&g_stCfgRwlock);
    return 0;
}

extern "C" int kova_cfg_destroy_ex(const char *path)
{
    kova_rwlock_write_lock_mayblock(&g_stCfgRwlock);
    if (list_empty(&g_files)) {
        kova_rwlock_write_unlock(&g_stCfgRwlock);
        return 0;
    }
    if (path == nullptr) {
        kova_rwlock_write_unlock(&g_stCfgRwlock);
        KOVA_LOG(kError, "Param error, pFile is NULL.");
        return -1;
    }
    kova_cfg_file_node_s *file = find_file(path);
    if (file == nullptr || --file->refcount > 0) {
        kova_rwlock_write_unlock(&g_stCfgRwlock);
        return 0;
    }
    list_del(&file->list);
    kova_rwlock_write_unlock(&g_stCfgRwlock);
    retire(file);
    return 0;
}

extern "C" int kova_cfg_getItemValue(const char *section, const char *item, char *buf, uint32_t size)
{
    if (section == nullptr || item == nullptr || buf == nullptr || size == 0) {
        KOVA_LOG(kInfo, "Invalid SectionName or ItemName or size in getItemValue.");
        return -1;
    }
    int result = -1;
    kova_rwlock_read_lock_mayblock(&g_stCfgRwlock);
    KOVA_CFG_FOR_EACH(kova_cfg_file_node_s, file, &g_files) {
        kova_rwlock_read_lock_mayblock(&file->lock);
        if (const kova_cfg_item_node_s *found = lookup(file, section, item)) result = copy_out(found, buf, size, __func__);
        kova_rwlock_read_unlock(&file->lock);
        if (result != -1) break;
    }
    kova_rwlock_read_unlock(&g_stCfgRwlock);
    if (result == -1)
        KOVA_LOG_RATELIMITED(kWarning, kWarning, "Get ItemValue by pSection %s and pItemName %s failed.", section, item);
    return result;
}

extern "C" int kova_cfg_getItemValue_ex(const char *path, const char *section, const char *item, char *buf,
                                        uint32_t size)
{
    if (path == nullptr || section == nullptr || item == nullptr || buf == nullptr || size == 0) {
        KOVA_LOG(kError, "Invalid SectionName or ItemName or size in getItemValue_ex.");
        return -1;
    }
    kova_rwlock_read_lock_mayblock(&g_stCfgRwlock);
    kova_cfg_file_node_s *file = find_file(path);
    if (file == nullptr) {
        kova_rwlock_read_unlock(&g_stCfgRwlock);
        KOVA_LOG(kError, "Can not find file %s.", path);
        return -1;
    }
    kova_rwlock_read_lock_mayblock(&file->lock);
    kova_rwlock_read_unlock(&g_stCfgRwlock);
    const kova_cfg_item_node_s *found = lookup(file, section, item);
    int result = found != nullptr ? copy_out(found, buf, size, __func__) : -1;
    kova_rwlock_read_unlock(&file->lock);
    return result;
}

extern "C" int kova_cfg_setItemValue(const char *section, const char *item, const char *value)
{
    if (section == nullptr || item == nullptr || value == nullptr) {
        KOVA_LOG(kError, "Null pointer found, section:%p itemname:%p itemValue:%p", static_cast<const void *>(section),
                 static_cast<const void *>(item), static_cast<const void *>(value));
        return -1;
    }
    char *copy = copy_value(value, __func__, "Alloc needed item memory fail, size(%u).");
    if (copy == nullptr) return -1;
    bool swapped = false;
    kova_rwlock_write_lock_mayblock(&g_stCfgRwlock);
    KOVA_CFG_FOR_EACH(kova_cfg_file_node_s, file, &g_files) {
        kova_rwlock_write_lock_mayblock(&file->lock);
        if (kova_cfg_item_node_s *found = lookup(file, section, item)) {
            std::swap(found->value, copy);
            swapped = true;
        }
        kova_rwlock_write_unlock(&file->lock);
        if (swapped) break;
    }
    kova_rwlock_write_unlock(&g_stCfgRwlock);
    KOVA_FREE(copy);  // the old value after a swap, else the unused copy
    return swapped ? 0 : -1;
}

extern "C" int kova_cfg_setItemValue_ex(const char *path, const char *section, const char *item, const char *value)
{
    if (path == nullptr || section == nullptr || item == nullptr || value == nullptr) {
        KOVA_LOG(kError, "Null pointer found, section:%p itemname:%p itemValue:%p", static_cast<const void *>(section),
                 static_cast<const void *>(item), static_cast<const void *>(value));
        return -1;
    }
    char *copy = copy_value(value, __func__, "Alloc needed item memory fail, size(%u).");
    if (copy == nullptr) return -1;
    kova_rwlock_write_lock(&g_stCfgRwlock);
    kova_cfg_file_node_s *file = find_file(path);
    if (file == nullptr) {
        kova_rwlock_write_unlock(&g_stCfgRwlock);
        KOVA_LOG(kError, "Config file (%s) is no exist.", path);
        KOVA_FREE(copy);
        return -1;
    }
    kova_rwlock_write_lock(&file->lock);
    kova_rwlock_write_unlock(&g_stCfgRwlock);
    kova_cfg_item_node_s *found = lookup(file, section, item);
    if (found != nullptr) std::swap(found->value, copy);
    kova_rwlock_write_unlock(&file->lock);
    if (found == nullptr) KOVA_LOG(kError, "Can not find item (%s) in file (%s).", item, path);
    KOVA_FREE(copy);
    return found != nullptr ? 0 : -1;
}
