#include "cpumask/cpu_list.h"

namespace kova::cpumask {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

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

}  // namespace

std::string_view trim_blanks(std::string_view item)
{
    while (!item.empty() && is_blank(item.front())) item.remove_prefix(1);
    while (!item.empty() && is_blank(item.back())) item.remove_suffix(1);
    return item;
}

std::optional<CpuRange> read_cpu_range(std::string_view item)
{
    std::string_view text = trim_blanks(item);
    auto first = take_number(text);
    if (!first) return std::nullopt;
    if (text.empty()) return CpuRange{*first, *first};
    if (text.front() != '-') return std::nullopt;
    text.remove_prefix(1);
    auto last = take_number(text);
    if (!last || !text.empty()) return std::nullopt;
    return CpuRange{*first, *last};
}

}  // namespace kova::cpumask
