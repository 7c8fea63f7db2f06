#include <atomic>
#include <cstdint>
#include <string_view>

#include "cpu/cpu_selection.h"
#include "cpumask/cpu_list.h"
#include "init/kova_log.h"
#include "kova/kova_cpu.h"

KOVA_LOG_SOURCE("cpu/kova_cpu")

namespace {

constexpr unsigned kLastCpu = 1023;  // the sets hold 1024 CPUs
constexpr std::size_t kNameMax = 31;
constexpr const char *kParser = "kova_cpum_parse_cpumask";

std::atomic<const kova::cpu::PartitionHooks *> partition_hooks{&kova::cpu::partition_table_hooks};

// "GROUP/PART" as "%[^/,]/%[^,]" reads it: both fields non-empty, each kept to 31 characters.
bool split_reference(std::string_view item, std::string_view &group, std::string_view &partition)
{
    std::size_t slash = item.find('/');
    if (slash == 0 || slash == std::string_view::npos || slash + 1 == item.size()) return false;
    group = item.substr(0, slash).substr(0, kNameMax);
    partition = item.substr(slash + 1).substr(0, kNameMax);
    return true;
}

// Adds one number, range or reference; true when the item was taken.
bool add_item(std::string_view item, uint64_t *cpuset, unsigned depth)
{
    const int length = static_cast<int>(item.size());
    std::string_view group, partition;
    const auto *hooks = partition_hooks.load(std::memory_order_acquire);
    if (hooks != nullptr && split_reference(item, group, partition)) {
        if (depth >= kova::cpu::kMaxReferenceDepth) {
            KOVA_LOG_AS(kParser, kova::log::kError, "Parse cpu mask %.*s fail, partitions nest deeper than %u", length,
                        item.data(), kova::cpu::kMaxReferenceDepth);
            return false;
        }
        if (hooks->resolve(group, partition, cpuset, depth)) return true;
    }
    auto range = kova::cpumask::read_cpu_range(item);
    if (!range) {
        KOVA_LOG_AS(kParser, kova::log::kError, "Parse cpu mask fail, invalid format:%.*s", length, item.data());
        return false;
    }
    auto [start, end] = *range;
    if (start > end) {
        KOVA_LOG_AS(kParser, kova::log::kError, "Parse cpu mask %.*s fail, end:%u is less than start:%u", length,
                    item.data(), end, start);
        return false;
    }
    if (end > kLastCpu) end = kLastCpu;
    if (start > end) return false;
    for (unsigned cpu = start; cpu <= end; ++cpu) cpuset[cpu / 64] |= uint64_t{1} << (cpu % 64);
    return true;
}

}  // namespace

namespace kova::cpu {

void set_partition_hooks(const PartitionHooks *hooks) { partition_hooks.store(hooks, std::memory_order_release); }

bool parse_cpu_spec(std::string_view text, std::uint64_t *cpuset, unsigned depth)
{
    bool taken = false;
    for (;;) {
        std::size_t comma = text.find(',');
        taken = add_item(text.substr(0, comma), cpuset, depth) || taken;
        if (comma == std::string_view::npos) return taken;
        text.remove_prefix(comma + 1);
    }
}

}  // namespace kova::cpu

extern "C" int kova_cpum_parse_cpumask(const char *text, uint64_t *cpuset)
{
    if (text == nullptr || cpuset == nullptr) return -1;
    if (const auto *hooks = partition_hooks.load(std::memory_order_acquire); hooks != nullptr) hooks->load();
    return kova::cpu::parse_cpu_spec(text, cpuset, 0) ? 0 : -1;
}
