#include <atomic>
#include <cstdint>

#include "kova/kova_bitops.h"

namespace {

// Relaxed: the single-bit operations promise atomicity for the byte, not ordering of other memory.
std::atomic_ref<unsigned char> byte_of(uint32_t bit, void *bitmap)
{
    return std::atomic_ref<unsigned char>(static_cast<unsigned char *>(bitmap)[bit / 8]);
}

unsigned char mask_of(uint32_t bit) { return static_cast<unsigned char>(1u << (bit % 8)); }

}  // namespace

extern "C" {

uint32_t kova_hweight32(uint32_t v)
{
    v = v - ((v >> 1) & 0x55555555u);
    v = (v & 0x33333333u) + ((v >> 2) & 0x33333333u);
    v = (v + (v >> 4)) & 0x0F0F0F0Fu;
    v = v + (v >> 8);
    return (v + (v >> 16)) & 0xFFu;
}

uint32_t kova_hweight64(uint64_t value)
{
    return kova_hweight32(static_cast<uint32_t>(value >> 32)) + kova_hweight32(static_cast<uint32_t>(value));
}

void kova_set_bit(uint32_t bit, void *bitmap) { byte_of(bit, bitmap).fetch_or(mask_of(bit), std::memory_order_relaxed); }

void kova_clear_bit(uint32_t bit, void *bitmap)
{
    byte_of(bit, bitmap).fetch_and(static_cast<unsigned char>(~mask_of(bit)), std::memory_order_relaxed);
}

int kova_test_and_set_bit(uint32_t bit, void *bitmap)
{
    return (byte_of(bit, bitmap).fetch_or(mask_of(bit), std::memory_order_relaxed) & mask_of(bit)) != 0;
}

int kova_test_and_clear_bit(uint32_t bit, void *bitmap)
{
    auto old = byte_of(bit, bitmap).fetch_and(static_cast<unsigned char>(~mask_of(bit)), std::memory_order_relaxed);
    return (old & mask_of(bit)) != 0;
}

uint16_t kova_endian_cputolittle16(uint16_t value) { return value; }
uint32_t kova_endian_cputolittle32(uint32_t value) { return value; }
uint64_t kova_endian_cputolittle64(uint64_t value) { return value; }
uint16_t kova_endian_littletocpu16(uint16_t value) { return value; }
uint32_t kova_endian_littletocpu32(uint32_t value) { return value; }
uint64_t kova_endian_littletocpu64(uint64_t value) { return value; }
uint16_t kova_endian_cputobig16(uint16_t value) { return __builtin_bswap16(value); }
uint32_t kova_endian_cputobig32(uint32_t value) { return __builtin_bswap32(value); }
uint64_t kova_endian_cputobig64(uint64_t value) { return __builtin_bswap64(value); }
uint16_t kova_endian_bigtocpu16(uint16_t value) { return __builtin_bswap16(value); }
uint32_t kova_endian_bigtocpu32(uint32_t value) { return __builtin_bswap32(value); }
uint64_t kova_endian_bigtocpu64(uint64_t value) { return __builtin_bswap64(value); }

}  // extern "C"
