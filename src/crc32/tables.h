// The two 256-entry tables and the byte-at-a-time updates every kernel falls back on for the
// pieces too short for its instructions. The updates have internal linkage: kernel files compile
// them for their own instructions, and no file may end up calling another file's copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kova::crc {

inline constexpr std::uint32_t kCrc32cPoly = 0x82F63B78u;  // 0x1EDC6F41 reflected
inline constexpr std::uint16_t kCrc16Poly = 0x8BB7u;

inline constexpr std::array<std::uint32_t, 256> kCrc32cTable = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? (c >> 1) ^ kCrc32cPoly : c >> 1;
        t[i] = c;
    }
    return t;
}();

inline constexpr std::array<std::uint16_t, 256> kCrc16Table = [] {
    std::array<std::uint16_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i << 8;
        for (int bit = 0; bit < 8; ++bit) c = (c & 0x8000u) != 0 ? (c << 1) ^ kCrc16Poly : c << 1;
        t[i] = static_cast<std::uint16_t>(c);
    }
    return t;
}();

static_assert(kCrc32cTable[1] == 0xF26B8303u && kCrc32cTable[128] == 0x82F63B78u);
static_assert(kCrc16Table[1] == 0x8BB7u && kCrc16Table[255] == 0x55B3u);

static inline std::uint32_t crc32c_table_update(std::uint32_t crc, const unsigned char *p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) crc = kCrc32cTable[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    return crc;
}

static inline std::uint16_t crc16_table_update(std::uint16_t crc, const unsigned char *p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        crc = static_cast<std::uint16_t>(kCrc16Table[p[i] ^ (crc >> 8)] ^ ((crc << 8) & 0xFFFFu));
    return crc;
}

}  // namespace kova::crc
