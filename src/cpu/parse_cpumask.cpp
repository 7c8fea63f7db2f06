#include <cstdint>
#include <cstring>
#include <string_view>

#include "init/kova_log.h"
#include "kova/kova_cpu.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("cpu/kova_cpu")

namespace {

constexpr unsigned kLastCpu = 1023;  // the sets hold 1024 CPUs
constexpr std::size_t kItemMax = 128;
constexpr const char *kParser = "kova_cpum_parse_cpumask";

bool reads_as_partition_reference(const char *item)
{
    char group[32];
    char partition[32];
    return kova::sec::sscanf_s(item, "%31[^/,]/%31[^,]", group, partition) == 2;
}

// Adds one number or range; true when the item was taken.
bool add_item(const char *item, uint64_t *cpuset)
{
    // Partition references ("GROUP/PART") resolve through the partition table, which this
    // library does not load yet: such an item is not taken.
    if (reads_as_partition_reference(item)) return false;

    unsigned start = 0;
    unsigned end = 0;
    int fields = kova::sec::sscanf_s(item, "%u-%u", &start, &end);
    if (fields == 1) {
        end = start;
    } else if (fields == 2) {
        if (start > end) {
            KOVA_LOG_AS(kParser, kova::log::kError, "Parse cpu mask %s fail, end:%u is less than start:%u", item, end, start);
            return false;
        }
    } else {
        KOVA_LOG_AS(kParser, kova::log::kError, "Parse cpu mask fail, invalid format:%s", item);
        return false;
    }
    if (end > kLastCpu) end = kLastCpu;
    if (start > end) return false;
    for (unsigned cpu = start; cpu <= end; ++cpu) cpuset[cpu / 64] |= uint64_t{1} << (cpu % 64);
    return true;
}

}  // namespace

extern "C" int kova_cpum_parse_cpumask(const char *text, uint64_t *cpuset)
{
    if (text == nullptr || cpuset == nullptr) return -1;
    bool taken = false;
    std::string_view rest(text);
    for (;;) {
        std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        char buffer[kItemMax];
        if (item.size() < sizeof buffer) {
            std::memcpy(buffer, item.data(), item.size());
            buffer[item.size()] = '\0';
            taken = add_item(buffer, cpuset) || taken;
        } else {
            KOVA_LOG(kova::log::kError, "Parse cpu mask fail, invalid format:%.*s", static_cast<int>(item.size()),
                     item.data());
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return taken ? 0 : -1;
}
