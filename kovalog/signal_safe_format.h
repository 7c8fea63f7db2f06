// A printf subset that is async-signal-safe: no allocation, no locale, no floating point.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace kovalog_internal {

// Formats into buf (capacity cap, always NUL-terminated when cap > 0) and returns the length
// written, which is at most cap - 1. Unknown conversions are copied through as text.
std::size_t format_signal_safe(char *buf, std::size_t cap, const char *format, va_list args);

}  // namespace kovalog_internal
