// CPU selections ("0-3,GROUP_0/IOD_NORMAL") and the hook through which the partition table
// resolves the items that name partitions.
#pragma once

#include <cstdint>
#include <string_view>

namespace kova::cpu {

// The partition table's side of a selection. `load` runs before each selection is read
// (it loads the table on first use). `resolve` adds the CPUs of every partition that a reference
// names (group "*" matches every group), reading each partition's CPU list with
// parse_cpu_spec(list, cpuset, depth + 1); it returns false when no table is loaded, and the item
// is then read as numbers.
struct PartitionHooks {
    void (*load)();
    bool (*resolve)(std::string_view group, std::string_view partition, std::uint64_t *cpuset, unsigned depth);
};

// The partition manager's hooks, in place from the start; null hooks mean no partitions are known.
extern const PartitionHooks partition_table_hooks;
void set_partition_hooks(const PartitionHooks *hooks);

// Test hook: forgets the loaded table (its records are freed), so that the next call loads again.
void forget_partition_table_for_test();

// References nested deeper than this are not followed: a partition whose list leads back to
// itself would otherwise recurse for ever.
constexpr unsigned kMaxReferenceDepth = 8;

// Adds the CPUs of `text` to the 1024-CPU set; true when at least one item was taken.
bool parse_cpu_spec(std::string_view text, std::uint64_t *cpuset, unsigned depth);

}  // namespace kova::cpu
