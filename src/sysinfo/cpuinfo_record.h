// The CPU-information record as it lies in the shared segment "cpuinfo_shm". Other processes,
// possibly of other builds, read these bytes: the layout is fixed.
//
//   offset  size  field
//        0     4  magic "SDF3" (0x33464453 little-endian)
//        4     4  CRC32C of the 80 bytes with this field 0
//        8     4  physical packages (sockets)
//       12     4  logical CPUs
//       16    64  eight words, each 0x33464453
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova::sysinfo {

struct CpuInfoRecord {
    std::uint32_t magic;
    std::uint32_t checksum;
    std::uint32_t physical;
    std::uint32_t logical;
    std::uint64_t reserved[8];
};

constexpr std::uint32_t kCpuInfoMagic = 0x33464453;  // "SDF3"

static_assert(sizeof(CpuInfoRecord) == 80);
static_assert(offsetof(CpuInfoRecord, magic) == 0 && offsetof(CpuInfoRecord, checksum) == 4);
static_assert(offsetof(CpuInfoRecord, physical) == 8 && offsetof(CpuInfoRecord, logical) == 12);
static_assert(offsetof(CpuInfoRecord, reserved) == 16);

// Forgets the process's CPU information and unmaps the segment, so that the next cpuinfo_init
// opens it again (under a test's shared-memory prefix).
void forget_cpuinfo_for_test();

}  // namespace kova::sysinfo
