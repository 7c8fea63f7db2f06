// Defines the kernels of hw.h for one processor from its step and vector types.
#pragma once

#include "crc32/crc16_fold.h"
#include "crc32/crc32c_streams.h"
#include "crc32/hw.h"

#define KOVA_CRC_DEFINE_KERNELS(Steps, Vector)                                                              \
    namespace kova::crc::hw {                                                                               \
    std::uint32_t single(void *d, std::uint64_t n, std::uint32_t crc, const void *s)                        \
    {                                                                                                       \
        return single_stream<Steps, false>(d, n, crc, s);                                                   \
    }                                                                                                       \
    std::uint32_t three(void *d, std::uint64_t n, std::uint32_t crc, const void *s)                         \
    {                                                                                                       \
        return three_stream<Steps, false>(d, n, crc, s);                                                    \
    }                                                                                                       \
    std::uint32_t single_copy(void *d, std::uint64_t n, std::uint32_t crc, const void *s)                   \
    {                                                                                                       \
        return single_stream<Steps, true>(d, n, crc, s);                                                    \
    }                                                                                                       \
    std::uint32_t three_copy(void *d, std::uint64_t n, std::uint32_t crc, const void *s)                    \
    {                                                                                                       \
        return three_stream<Steps, true>(d, n, crc, s);                                                     \
    }                                                                                                       \
    std::uint16_t crc16(std::uint16_t crc, const unsigned char *p, std::uint64_t n)                         \
    {                                                                                                       \
        return Crc16Fold<Vector>::run(crc, p, n);                                                           \
    }                                                                                                       \
    }
