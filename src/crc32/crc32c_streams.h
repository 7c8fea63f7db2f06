// The block structure of the CRC-32C kernels, shared by the processors. `Isa` supplies the
// CRC-32C steps over 8, 4, 2 and 1 bytes and a 64-bit carry-less multiply; a kernel file
// includes this after enabling the instructions (#pragma GCC target), so everything here is
// compiled for them and only runs once the processor is known to have them.
//
// Three-stream block (4080 bytes; 1008 bytes with lanes of 336):
//
//   | lane 1: 1360 bytes, from crc | lane 2: 1360 bytes, from 0 | lane 3: 1360 bytes, from 0 |
//
//   crc = R(L1 x K1) ^ R(L2 x K2) ^ L3, where x is the carry-less product and R(v) the
//   8-byte CRC step of v from 0: K1 and K2 move a lane's crc over two lanes and over one lane
//   of zeros (the crc of a lane followed by zeros, without reading the zeros).
#pragma once

#include <cstdint>
#include <cstring>

namespace kova::crc {
namespace {  // compiled per kernel file for its instructions (see x86_isa.h)

// Reads the data, and with a destination writes each piece read to the same offset.
template <bool kCopy>
struct Cursor {
    unsigned char *dst;
    const unsigned char *src;

    template <class T>
    T take(std::uint64_t offset) const
    {
        T value;
        std::memcpy(&value, src + offset, sizeof value);
        if constexpr (kCopy) std::memcpy(dst + offset, &value, sizeof value);
        return value;
    }
};

template <class Isa, bool kCopy>
std::uint32_t single_stream_tail(std::uint32_t crc, const Cursor<kCopy> &c, std::uint64_t offset, std::uint64_t n)
{
    for (; n - offset >= 64; offset += 64) {
#pragma GCC unroll 8
        for (unsigned k = 0; k < 64; k += 8) crc = Isa::step64(crc, c.template take<std::uint64_t>(offset + k));
    }
    for (; n - offset >= 16; offset += 16) {
        crc = Isa::step64(crc, c.template take<std::uint64_t>(offset));
        crc = Isa::step64(crc, c.template take<std::uint64_t>(offset + 8));
    }
    if (n - offset >= 8) {
        crc = Isa::step64(crc, c.template take<std::uint64_t>(offset));
        offset += 8;
    }
    if (n - offset >= 4) {
        crc = Isa::step32(crc, c.template take<std::uint32_t>(offset));
        offset += 4;
    }
    if (n - offset >= 2) {
        crc = Isa::step16(crc, c.template take<std::uint16_t>(offset));
        offset += 2;
    }
    if (n - offset >= 1) crc = Isa::step8(crc, c.template take<std::uint8_t>(offset));
    return crc;
}

template <class Isa, std::uint64_t kLane, std::uint64_t kK1, std::uint64_t kK2, bool kCopy>
std::uint32_t three_stream_blocks(std::uint32_t crc, const Cursor<kCopy> &c, std::uint64_t &offset, std::uint64_t n)
{
    for (; n - offset >= 3 * kLane; offset += 3 * kLane) {
        std::uint32_t l1 = crc, l2 = 0, l3 = 0;
#pragma GCC unroll 4
        for (std::uint64_t i = offset; i < offset + kLane; i += 8) {
            l1 = Isa::step64(l1, c.template take<std::uint64_t>(i));
            l2 = Isa::step64(l2, c.template take<std::uint64_t>(i + kLane));
            l3 = Isa::step64(l3, c.template take<std::uint64_t>(i + 2 * kLane));
        }
        crc = Isa::step64(0, Isa::clmul(l1, kK1)) ^ Isa::step64(0, Isa::clmul(l2, kK2)) ^ l3;
    }
    return crc;
}

template <class Isa, bool kCopy>
std::uint32_t single_stream(void *dst, std::uint64_t n, std::uint32_t crc, const void *src)
{
    const Cursor<kCopy> c{static_cast<unsigned char *>(dst), static_cast<const unsigned char *>(src)};
    return single_stream_tail<Isa>(crc, c, 0, n);
}

template <class Isa, bool kCopy>
std::uint32_t three_stream(void *dst, std::uint64_t n, std::uint32_t crc, const void *src)
{
    const Cursor<kCopy> c{static_cast<unsigned char *>(dst), static_cast<const unsigned char *>(src)};
    std::uint64_t offset = 0;
    crc = three_stream_blocks<Isa, 0x550, 0x000000015F4D853Eull, 0x000000013A9CBA9Eull>(crc, c, offset, n);
    crc = three_stream_blocks<Isa, 0x150, 0x00000000CEC3662Eull, 0x00000001A3E0968Aull>(crc, c, offset, n);
    return single_stream_tail<Isa>(crc, c, offset, n);
}

}  // namespace
}  // namespace kova::crc
