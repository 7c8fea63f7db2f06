#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "cpu/cpu_selection.h"
#include "cpu/list_links.h"
#include "cpumask/cpu_list.h"
#include "init/kova_log.h"
#include "kova/kova_cfg.h"
#include "kova/kova_cpu.h"
#include "kova/kova_fileops.h"
#include "kova/kova_mem.h"
#include "kova/kova_str.h"
#include "platform/paths.h"

KOVA_LOG_SOURCE("cpu/kova_cpu")

static_assert(sizeof(kova_cpum_group_s) == 64 && sizeof(kova_cpum_partition_s) == 312);

namespace {

constexpr const char *kDefaultPath = "/ZPR/conf/app_data/prodinfo/product.ini";
constexpr const char *kGenerator = "/ZPR/component/mgrx/script/gen_product_ini.sh";
constexpr const char *kGeneratorDir = "/ZPR/conf/app_data/prodinfo/";
constexpr const char *kAllocator = "kova_parse_cpu_parition";
constexpr std::size_t kValueSize = 832;
constexpr unsigned kLastCpu = 1023;
// A hostile count would keep the loader looking up sections that are not there for minutes.
constexpr long kMaxEntries = 4096;

using kova::cpu::entry_of;
using kova::cpu::list_append;

kova_list_head_s groups{&groups, &groups};
std::mutex init_lock;
std::atomic<uint32_t> initialised{0};
char loaded_path[PATH_MAX];  // the file left in the configuration store, for the test hook

bool read_number(const char *path, const char *section, const char *key, long &value)
{
    char buffer[kValueSize] = {};
    if (kova_cfg_getItemValue_ex(path, section, key, buffer, sizeof buffer) != 0) return false;
    value = std::strtol(buffer, nullptr, 10);
    return true;
}

// "name:type:cpus"; a value without two colons, or one that cannot be read, is skipped.
void parse_partition(const char *path, const char *section, long index, kova_cpum_group_s *group)
{
    char key[64], value[kValueSize] = {};
    std::snprintf(key, sizeof key, "partition_%ld", index);
    if (kova_cfg_getItemValue_ex(path, section, key, value, sizeof value) != 0) return;
    char *first = std::strchr(value, ':');
    char *second = first != nullptr ? std::strchr(first + 1, ':') : nullptr;
    if (second == nullptr) return;
    *first = *second = '\0';
    auto *partition = static_cast<kova_cpum_partition_s *>(
        kova_mallocsubstandard(KOVA_MODULE_ID, sizeof(kova_cpum_partition_s), 0, kAllocator, __LINE__));
    if (partition == nullptr) return;
    std::memset(partition, 0, sizeof *partition);
    partition->type = static_cast<int32_t>(std::strtol(first + 1, nullptr, 10));
    std::snprintf(partition->name, sizeof partition->name, "%.31s", value);
    std::snprintf(partition->cpu_list, sizeof partition->cpu_list, "%.255s", second + 1);
    list_append(&group->partitions, &partition->list);
}

void parse_group(const char *path, long index)
{
    char section[64];
    std::snprintf(section, sizeof section, "GROUP_%ld", index);
    long count = 0;
    if (!read_number(path, section, "partition_num", count) || count < 1) {
        KOVA_LOG_AS("kova_cpum_cfg_parse", kova::log::kInfo, "Get cpu partition num fail, %s", section);
        return;
    }
    auto *group = static_cast<kova_cpum_group_s *>(
        kova_mallocsubstandard(KOVA_MODULE_ID, sizeof(kova_cpum_group_s), 0, kAllocator, __LINE__));
    if (group == nullptr) {
        KOVA_LOG_AS("kova_cpum_cfg_parse", kova::log::kInfo, "Malloc for group fail");
        return;
    }
    std::memset(group, 0, sizeof *group);
    group->partitions = {&group->partitions, &group->partitions};
    std::snprintf(group->name, sizeof group->name, "%.31s", section);
    for (long j = 0; j < std::min(count, kMaxEntries); ++j) parse_partition(path, section, j, group);
    list_append(&groups, &group->list);
}

bool cfg_parse(const char *path)
{
    if (kova_cfg_init(path) != 0) {
        KOVA_LOG_AS("kova_cpum_cfg_parse", kova::log::kInfo, "Load cpu cgroup cfg fail %s", path);
        KOVA_LOG_AS("kova_cpum_cfg_parse", kova::log::kInfo, "Parse cpu group cfg fail %s", path);
        return false;
    }
    std::snprintf(loaded_path, sizeof loaded_path, "%s", path);
    long count = -1;
    if (!read_number(path, "CPU_PARTITION", "group_num", count) || count <= 0) {
        KOVA_LOG_AS("kova_cpum_cfg_parse", kova::log::kInfo, "Get cpu num fail, ret:%d", static_cast<int>(count));
        KOVA_LOG_AS("kova_cpum_cfg_parse", kova::log::kInfo, "Parse cpu group cfg fail %s", path);
        return false;
    }
    for (long i = 0; i < std::min(count, kMaxEntries); ++i) parse_group(path, i);
    return true;
}

// The default file, asking the generator for it when it is missing. False when it is still missing.
bool default_cfg(kova::platform::ProductPath &path)
{
    if (kova_access(path.c_str(), F_OK) == 0) return true;
    char command[2 * PATH_MAX + 8];
    std::snprintf(command, sizeof command, "%s \"%s\"", kova::platform::ProductPath(kGenerator).c_str(),
                  kova::platform::ProductPath(kGeneratorDir).c_str());
    if (int result = kova_system_s(command, ""); result != 0)
        KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kInfo, "Generate default cpu group cfg ret:%d", result);
    return kova_access(path.c_str(), F_OK) == 0;
}

bool load(const char *path)
{
    kova::platform::ProductPath default_path(kDefaultPath);
    if (path == nullptr) {
        if (!default_cfg(default_path)) return false;
        path = default_path.c_str();
    } else if (kova_access(path, F_OK) != 0) {
        int err = errno;
        KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kInfo, "Cpu group cfg %s is not exist, errno:%d", path, err);
        return false;
    }
    return cfg_parse(path);
}

bool same_name(const char *name, std::string_view wanted)
{
    return std::string_view(name, strnlen(name, KOVA_CPUM_NAME_SIZE)) == wanted.substr(0, KOVA_CPUM_NAME_SIZE);
}

template <typename Visit>
void for_each_partition(Visit visit)
{
    for (auto *g = groups.next; g != &groups; g = g->next) {
        auto *group = entry_of<kova_cpum_group_s>(g);
        for (auto *p = group->partitions.next; p != &group->partitions; p = p->next)
            visit(group, entry_of<kova_cpum_partition_s>(p));
    }
}

void load_default() { kova_cpum_init(nullptr); }

bool resolve(std::string_view group, std::string_view partition, uint64_t *cpuset, unsigned depth)
{
    if (initialised.load(std::memory_order_acquire) == 0) return false;
    for_each_partition([&](kova_cpum_group_s *g, kova_cpum_partition_s *p) {
        if ((group == "*" || same_name(g->name, group)) && same_name(p->name, partition))
            kova::cpu::parse_cpu_spec(p->cpu_list, cpuset, depth + 1);
    });
    return true;
}

}  // namespace

namespace kova::cpu {

const PartitionHooks partition_table_hooks{load_default, resolve};

void forget_partition_table_for_test()
{
    std::lock_guard guard(init_lock);
    for (auto *g = groups.next; g != &groups;) {
        auto *group = entry_of<kova_cpum_group_s>(g);
        for (auto *p = group->partitions.next; p != &group->partitions;) {
            auto *next = p->next;
            kova_freesub(entry_of<kova_cpum_partition_s>(p), __func__, __LINE__);
            p = next;
        }
        g = g->next;
        kova_freesub(group, __func__, __LINE__);
    }
    groups = {&groups, &groups};
    if (loaded_path[0] != '\0') kova_cfg_destroy_ex(loaded_path);
    loaded_path[0] = '\0';
    initialised.store(0, std::memory_order_release);
}

}  // namespace kova::cpu

extern "C" {

int kova_cpum_init(const char *path)
{
    if (initialised.load(std::memory_order_acquire) == 1) return 0;
    std::lock_guard guard(init_lock);
    if (initialised.load(std::memory_order_relaxed) == 1) return 0;
    bool loaded = load(path);
    if (!loaded)
        KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kInfo, "Invalid cpu group cfg %s",
                             path != nullptr ? path : "(null)");
    initialised.store(1, std::memory_order_release);
    return loaded ? 0 : -1;
}

kova_cpum_partition_s *kova_cpum_get_partition(const char *group, const char *partition)
{
    if (group == nullptr || partition == nullptr) return nullptr;
    kova_cpum_init(nullptr);
    if (initialised.load(std::memory_order_acquire) == 0) return nullptr;
    for (auto *g = groups.next; g != &groups; g = g->next) {
        auto *entry = entry_of<kova_cpum_group_s>(g);
        if (!same_name(entry->name, group)) continue;
        for (auto *p = entry->partitions.next; p != &entry->partitions; p = p->next)
            if (same_name(entry_of<kova_cpum_partition_s>(p)->name, partition)) return entry_of<kova_cpum_partition_s>(p);
        return nullptr;
    }
    return nullptr;
}

int kova_cpum_clear_cpumask_of_iod_poll(uint64_t *cpuset)
{
    if (cpuset == nullptr) return -1;
    kova_cpum_init(nullptr);
    for_each_partition([&](kova_cpum_group_s *, kova_cpum_partition_s *p) {
        if (std::strcmp(p->name, "IOD_NORMAL") != 0) return;
        std::string_view list(p->cpu_list);
        auto range = kova::cpumask::read_cpu_range(list.substr(0, list.find(',')));
        if (!range || uint64_t{range->first} + 2 > range->last) return;
        for (uint64_t cpu = range->first; cpu <= uint64_t{range->first} + 1 && cpu <= kLastCpu; ++cpu)
            cpuset[cpu / 64] &= ~(uint64_t{1} << (cpu % 64));
    });
    return 0;
}

int kova_cpum_dbg_show(kova_print_fn print)
{
    if (print == nullptr) return -1;
    if (initialised.load(std::memory_order_acquire) == 0) {
        print("Cpu partition is not inited yet\n");
        return -1;
    }
    print("%-16s %-16s %-4s %s\n", "Group", "Partition", "Type", "CpuBind");
    for_each_partition([&](kova_cpum_group_s *g, kova_cpum_partition_s *p) {
        print("%-16s %-16s %-4d %s\n", g->name, p->name, p->type, p->cpu_list);
    });
    return 0;
}

int kova_get_idle_no_cstates(void *, uint32_t *value)
{
    if (value != nullptr) *value = 0;
    return 0;
}

int kova_set_idle_no_cstates(uint32_t) { return 0; }

int kova_get_cpu_task_info(void *) { return -1; }

}  // extern "C"
