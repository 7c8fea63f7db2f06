// The one reader of CPU-list items, shared by the CPU masks and the CPU-selection parser.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kova::cpumask {

struct CpuRange {
    std::uint32_t first;
    std::uint32_t last;
};

// "N" or "N-M", blanks around the item allowed (a list read from a file ends with its newline).
// None for anything else: no digits, a sign, "1--3", "2-", "3abc", or a number above 32 bits
// (which the C library's readers would wrap or negate into a small CPU number).
std::optional<CpuRange> read_cpu_range(std::string_view item);

// The item without the blanks around it.
std::string_view trim_blanks(std::string_view item);

}  // namespace kova::cpumask
