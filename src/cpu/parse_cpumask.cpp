#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

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

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Takes a decimal number off the front of `text`; none when there is no digit or the value does
// not fit in 32 bits (the C library's readers would wrap it, or take a sign and negate it).
std::optional<std::uint32_t> take_number(std::string_view &text)
{
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        value = value * 10 + static_cast<unsigned>(text[digits] - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    if (digits == 0) return std::nullopt;
    text.remove_prefix(digits);
    return static_cast<std::uint32_t>(value);
}

// "N" or "N-M", blanks around it allowed (a list read from a file ends with its newline).
std::optional<std::pair<std::uint32_t, std::uint32_t>> read_range(std::string_view text)
{
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    auto start = take_number(text);
    if (!start) return std::nullopt;
    if (text.empty()) return std::pair{*start, *start};
    if (text.front() != '-') return std::nullopt;
    text.remove_prefix(1);
    auto end = take_number(text);
    if (!end || !text.empty()) return std::nullopt;
    return std::pair{*start, *end};
}

// Adds one number or range; true when the item was taken.
bool add_item(std::string_view item, uint64_t *cpuset)
{
    const int length = static_cast<int>(item.size());
    // Partition references ("GROUP/PART") resolve through the partition table, which this
    // library does not load yet: such an item is not taken.
    if (item.find('/') != std::string_view::npos && item.size() < kItemMax) {
        char buffer[kItemMax];
        std::memcpy(buffer, item.data(), item.size());
        buffer[item.size()] = '\0';
        if (reads_as_partition_reference(buffer)) return false;
    }
    auto range = read_range(item);
    if (!range) {
        KOVA_LOG_AS(kParser, kova::log::kError, "Parse cpu mask fail, invalid format:%.*s", length, item.data());
        return false;
    }
    auto [start, end] = *range;
    if (start > end) {
        KOVA_LOG_AS(kParser, kova::log::kError, "Parse cpu mask %.*s fail, end:%u is less than start:%u", length, item.data(),
                 end, start);
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
        taken = add_item(rest.substr(0, comma), cpuset) || taken;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return taken ? 0 : -1;
}
