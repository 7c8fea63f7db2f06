// Internals of the memory family shared between its units and with the tests.
#pragma once

#include <cstdint>

namespace kova::mem {

// Looks `key` (with its colon, "MemTotal:") up in /proc/meminfo: 0 and the number, or -1 and 0.
int meminfo_value(const char *key, std::uint64_t *value);

// The bytes counted for `owner` (owners of 1024 and above count under owner 0).
std::int64_t used_bytes(std::uint32_t owner);

// Where the system page size comes from: sysconf(_SC_PAGESIZE) unless a test substitutes a
// source (a null source restores sysconf).
using PageSizeSource = long (*)();
void set_page_size_source_for_test(PageSizeSource source);

// Forgets the cached page size, MemTotal and board memory size, and restores sysconf.
void reset_caches_for_test();

namespace detail {
void reset_page_size();
void reset_total_mem();
}  // namespace detail

}  // namespace kova::mem
