#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "cpu/list_links.h"
#include "cpu/numa_internal.h"
#include "cpumask/cpu_list.h"
#include "init/kova_log.h"
#include "kova/kova_bitops.h"
#include "kova/kova_cfg.h"
#include "kova/kova_fileops.h"
#include "kova/kova_mem.h"
#include "kova/kova_numa.h"
#include "platform/paths.h"

KOVA_LOG_SOURCE("cpu/kova_numa")

namespace {

constexpr const char *kDefaultPath = "/opt/quillstore/ZevraNumaConfiguration.ini";
constexpr const char *kNumaSection = "NUMA_PARTITION";
constexpr const char *kProcSection = "PROC_PARTITION";
constexpr std::size_t kValueSize = 832;
constexpr std::size_t kCpuListSize = 256;
constexpr unsigned kSetCpus = 1024;  // a cpu_set_t

struct NumaInfo {
    kova_list_head_s list;
    int32_t id;
    uint32_t used;
    char cpus[kCpuListSize];
};

using kova::cpu::entry_of;

// The list only grows; list_lock guards its links and the used flags, so that a query racing a
// (re)initialisation never follows a half-linked record.
kova_list_head_s nodes{&nodes, &nodes};
std::mutex list_lock;
std::atomic<uint32_t> numa_switch{0};
std::atomic<int32_t> numa_num{0};
std::atomic<int32_t> cpu_num{0};
std::mutex init_lock;
std::atomic<uint32_t> done{0};

template <typename Step>
int initialise_once(Step step)
{
    if (done.load(std::memory_order_acquire) == 1) return 0;
    std::lock_guard guard(init_lock);
    if (done.load(std::memory_order_relaxed) == 1) return 0;
    bool ok = step() == 0;
    done.store(ok ? 1 : 0, std::memory_order_release);
    return ok ? 0 : -1;
}

// The CPU list of the first node with this id; false when no record carries it.
bool node_cpus(int32_t id, char (&cpus)[kCpuListSize])
{
    std::lock_guard guard(list_lock);
    for (auto *n = nodes.next; n != &nodes; n = n->next) {
        auto *node = entry_of<NumaInfo>(n);
        if (node->id != id) continue;
        std::memcpy(cpus, node->cpus, sizeof cpus);
        return true;
    }
    return false;
}

bool read_item(const char *section, const char *key, char (&value)[kValueSize])
{
    std::memset(value, 0, sizeof value);
    return kova_cfg_getItemValue(section, key, value, sizeof value) == 0;
}

// Every item of the list through `add_item`; on a bad item the whole text is reported.
template <typename AddItem>
int parse_list(const char *text, const char *function, const char *failure, AddItem add_item)
{
    if (text == nullptr) return 0;
    for (const char *item = text;; ++item) {
        if (add_item(item) != 0) {
            KOVA_LOG_AS(function, kova::log::kError, failure, text);
            return -1;
        }
        item = std::strchr(item, ',');
        if (item == nullptr) return 0;
    }
}

template <typename SetCpu>
int parse_item(const char *item, unsigned limit, SetCpu set_cpu)
{
    uint32_t start = 0, end = 0;
    if (kova_numam_parse_cpustr(item, &start, &end) != 0) return -1;
    for (uint64_t cpu = start; cpu <= end && cpu < limit; ++cpu) set_cpu(static_cast<uint32_t>(cpu));
    return 0;
}

}  // namespace

namespace kova::numa {

void forget_for_test()
{
    std::lock_guard init_guard(init_lock);
    std::lock_guard guard(list_lock);
    for (auto *n = nodes.next; n != &nodes;) {
        auto *next = n->next;
        kova_freesub(entry_of<NumaInfo>(n), __func__, __LINE__);
        n = next;
    }
    nodes = {&nodes, &nodes};
    numa_switch = 0;
    numa_num = 0;
    cpu_num = 0;
    done = 0;
}

}  // namespace kova::numa

extern "C" {

int kova_numam_parse_cpustr(const char *item, uint32_t *start, uint32_t *end)
{
    if (item == nullptr || start == nullptr || end == nullptr) return -1;
    std::string_view text(item);
    auto range = kova::cpumask::read_cpu_range(text.substr(0, text.find(',')));
    if (!range) {
        KOVA_LOG(kova::log::kError, "Parse CpuSet fail, invalid format:%s", item);
        return -1;
    }
    if (range->first > range->last) {
        KOVA_LOG(kova::log::kError, "Parse cpu mask %s fail, end:%u is less than start:%u", item, range->last,
                 range->first);
        return -1;
    }
    *start = range->first;
    *end = range->last;
    return 0;
}

int kova_numam_parse_cpuset_as_list(const char *item, cpu_set_t *set)
{
    if (set == nullptr) return -1;
    return parse_item(item, kSetCpus, [set](uint32_t cpu) { CPU_SET(cpu, set); });
}

int kova_numam_parse_cpumask_as_list(const char *item, kova_cpumask_t *mask)
{
    if (mask == nullptr) return -1;
    return parse_item(item, KOVA_MAX_CPUS, [mask](uint32_t cpu) { kova_set_bit(cpu, mask->bits); });
}

int kova_numam_parse_cpuset(const char *text, cpu_set_t *set)
{
    return parse_list(text, __func__, "Parse CpuSet %s fail.",
                      [set](const char *item) { return kova_numam_parse_cpuset_as_list(item, set); });
}

int kova_numam_parse_cpumask(const char *text, kova_cpumask_t *mask)
{
    return parse_list(text, __func__, "Parse cpu mask %s fail.",
                      [mask](const char *item) { return kova_numam_parse_cpumask_as_list(item, mask); });
}

int kova_numam_parse_digit_item(const char *section, const char *key)
{
    char value[kValueSize];
    if (section == nullptr || key == nullptr || !read_item(section, key, value)) return -1;
    return static_cast<int>(std::strtol(value, nullptr, 10));
}

int kova_numam_parse_per_numa(int numa_id)
{
    char key[64], value[kValueSize];
    std::snprintf(key, sizeof key, "numa_%d", numa_id);
    if (!read_item(kNumaSection, key, value)) return -1;
    auto *node = static_cast<NumaInfo *>(kova_mallocsubstandard(KOVA_MODULE_ID, sizeof(NumaInfo), 0, __func__, __LINE__));
    if (node == nullptr) {
        KOVA_LOG(kova::log::kError, "Malloc for numaInfo fail");
        return -1;
    }
    std::memset(node, 0, sizeof *node);
    node->id = numa_id;
    std::snprintf(node->cpus, sizeof node->cpus, "%.255s", value);
    {
        std::lock_guard guard(list_lock);
        kova::cpu::list_append(&nodes, &node->list);
    }
    KOVA_LOG(kova::log::kInfo, "Get cores(%s) by numaId(%u) success.", value, static_cast<unsigned>(numa_id));
    return 0;
}

int kova_numam_parse_numa_partition(void)
{
    int cpus = kova_numam_parse_digit_item(kNumaSection, "cpu_num");
    cpu_num = cpus;
    if (cpus < 1) {
        KOVA_LOG(kova::log::kError, "Get cpu num fail, ret:%d", cpus);
        return -1;
    }
    int count = kova_numam_parse_digit_item(kNumaSection, "numa_num");
    numa_num = count;
    if (count < 1) {
        KOVA_LOG(kova::log::kError, "Get numa num fail, ret:%d", count);
        return -1;
    }
    // A count larger than the file's keys ends at the first missing one.
    for (int id = 0; id < count; ++id)
        if (kova_numam_parse_per_numa(id) != 0) return -1;
    KOVA_LOG(kova::log::kInfo, "Get cpu_num(%u), numa_num(%d) success.", static_cast<unsigned>(cpus), count);
    return 0;
}

int kova_numam_parse_proc_numa_switch(void)
{
    char value[kValueSize];
    if (!read_item(kProcSection, "numa_enable", value)) return -1;
    if (std::strncmp(value, "tru", 3) == 0) {
        numa_switch = 1;
    } else if (std::strncmp(value, "fals", 4) == 0) {
        numa_switch = 0;
    } else {
        KOVA_LOG(kova::log::kError, "Get proc_numa_info fail, itemValue:%s", value);
        return -1;
    }
    KOVA_LOG(kova::log::kInfo, "Get numa_enable(%s) success.", value);
    return 0;
}

void kova_numam_parse_proc_numa_set(uint32_t numa_id)
{
    std::lock_guard guard(list_lock);
    for (auto *n = nodes.next; n != &nodes; n = n->next)
        if (static_cast<uint32_t>(entry_of<NumaInfo>(n)->id) == numa_id) entry_of<NumaInfo>(n)->used = 1;
}

int kova_numam_parse_proc_numa_info(void)
{
    char value[kValueSize];
    if (!read_item(kProcSection, "proc_numa_info", value)) return 0;
    for (const char *item = value; item != nullptr; item = std::strchr(item, ',')) {
        if (*item == ',') ++item;
        auto id = static_cast<uint32_t>(std::strtol(item, nullptr, 10));
        if (id >= static_cast<uint32_t>(numa_num.load())) {
            KOVA_LOG(kova::log::kError, "Get proc_numa_info(%s) failed.", value);
            return -1;
        }
        kova_numam_parse_proc_numa_set(id);
    }
    KOVA_LOG(kova::log::kInfo, "Get proc_numa_info(%s) success.", value);
    return 0;
}

int kova_numam_parse_proc_partition(void)
{
    if (kova_numam_parse_proc_numa_switch() != 0) return -1;
    return kova_numam_parse_proc_numa_info();
}

int kova_numam_cfg_parse(void)
{
    if (kova_numam_parse_numa_partition() != 0) {
        KOVA_LOG(kova::log::kError, "Parse numa cfg CPU_PARTITION fail.");
        return -1;
    }
    if (kova_numam_parse_proc_partition() != 0) {
        KOVA_LOG(kova::log::kError, "Parse numa cfg PROC_PARTITION fail.");
        return -1;
    }
    return 0;
}

int kova_numam_init_inner(const char *path)
{
    kova::platform::ProductPath default_path(kDefaultPath);
    if (path == nullptr) {
        path = default_path.c_str();
        if (kova_access(path, F_OK) != 0) {
            int err = errno;
            KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kInfo, "Numa cfg %s is not access, errno:%d", path, err);
            return 0;
        }
    }
    KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kInfo, "Numa cfg %s.", path);
    if (kova_cfg_init(path) != 0) {
        KOVA_LOG(kova::log::kInfo, "Load Numa cfg fail %s", path);
        return -1;
    }
    int result = kova_numam_cfg_parse();
    if (kova_cfg_destroy_ex(path) != 0) KOVA_LOG(kova::log::kError, "Destroy numa cfg fail %s", path);
    return result;
}

int kova_numam_init(const char *path)
{
    return initialise_once([path] { return kova_numam_init_inner(path); });
}

int kova_numam_cfg_check(const kova_numam_cfg_s *cfg)
{
    auto bad = [](const char (&path)[256]) {
        std::size_t length = strnlen(path, sizeof path);
        return length < 1 || length > 255;
    };
    const char *problem = cfg == nullptr          ? "Numa cfg is NULL."
                          : bad(cfg->numa_info) ? "Numa cfg numa_info error."
                          : bad(cfg->node_numa) ? "Numa cfg node_numa error."
                                                : nullptr;
    if (problem == nullptr) return 0;
    KOVA_LOG(kova::log::kError, "%s", problem);
    return -1;
}

int kova_numam_cfg_init(const kova_numam_cfg_s *cfg)
{
    if (kova_numam_cfg_check(cfg) != 0) return -1;
    if (kova_cfg_init(cfg->numa_info) != 0) {
        KOVA_LOG(kova::log::kInfo, "Load cfg(%s) fail", cfg->numa_info);
        return -1;
    }
    if (kova_cfg_init(cfg->node_numa) != 0) {
        KOVA_LOG(kova::log::kInfo, "Load cfg(%s) fail", cfg->node_numa);
        kova_cfg_destroy_ex(cfg->numa_info);
        return -1;
    }
    int result = kova_numam_cfg_parse();
    for (const char *path : {cfg->numa_info, cfg->node_numa})
        if (kova_cfg_destroy_ex(path) != 0) KOVA_LOG(kova::log::kError, "Destroy cfg(%s) fail", path);
    return result;
}

int kova_numam_module_init(const kova_numam_cfg_s *cfg)
{
    return initialise_once([cfg] { return kova_numam_cfg_init(cfg); });
}

uint32_t kova_numam_status_get(void) { return numa_switch.load(); }

int kova_numam_status_set(uint32_t value)
{
    if (value > 1) return -1;
    numa_switch = value;
    return 0;
}

int kova_numam_num_get(void) { return numa_num.load(); }

int kova_numam_proc_numamask_get(uint64_t *mask)
{
    if (mask == nullptr) {
        KOVA_LOG(kova::log::kError, "Param error, munaMask is NULL.");
        return -1;
    }
    uint64_t used = 0;
    {
        std::lock_guard guard(list_lock);
        for (auto *n = nodes.next; n != &nodes; n = n->next)
            if (entry_of<NumaInfo>(n)->used != 0) used |= uint64_t{1} << (static_cast<uint32_t>(entry_of<NumaInfo>(n)->id) % 64);
    }
    *mask = used;
    return 0;
}

int kova_numam_cpuset_get(uint32_t numa_id, cpu_set_t *set)
{
    if (set == nullptr) {
        KOVA_LOG(kova::log::kError, "Param error, cpuSet is NULL.");
        return -1;
    }
    CPU_ZERO(set);
    char cpus[kCpuListSize];
    if (!node_cpus(static_cast<int32_t>(numa_id), cpus)) {
        KOVA_LOG(kova::log::kError, "NumaId(%u) not configured, numa_num(%u).", numa_id,
                 static_cast<unsigned>(numa_num.load()));
        return 0;
    }
    return kova_numam_parse_cpuset(cpus, set);
}

int kova_numam_cpumask_get(int numa_id, kova_cpumask_t *mask)
{
    if (mask == nullptr) {
        KOVA_LOG(kova::log::kError, "Param error, munaMask is NULL.");
        return -1;
    }
    init_cpumask_bit(mask->bits, 8);
    char cpus[kCpuListSize];
    if (!node_cpus(numa_id, cpus)) {
        KOVA_LOG(kova::log::kError, "NumaId(%u) not configured, numa_num(%u).", static_cast<unsigned>(numa_id),
                 static_cast<unsigned>(numa_num.load()));
        return 0;
    }
    return kova_numam_parse_cpumask(cpus, mask);
}

}  // extern "C"
