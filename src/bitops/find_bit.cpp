#include <cstdint>
#include <cstring>

#define KOVA_BITOPS_OUT_OF_LINE  // the definitions below are the exported ones
#include "kova/kova_bitops.h"

namespace {

const unsigned char *bytes_of(const void *bitmap) { return static_cast<const unsigned char *>(bitmap); }

std::uint64_t whole_word(const unsigned char *at)
{
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);  // bitmaps need not be aligned
    return word;
}

std::uint64_t low_bits(std::uint64_t count) { return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1; }

// The word of bits from `base` on, at most `size - base` of them, complemented for a search of clear
// bits; bits past the size read 0 either way, so a search never reports one.
template <bool kClear>
std::uint64_t search_word(const unsigned char *bitmap, std::uint64_t base, std::uint64_t size)
{
    std::uint64_t left = size - base;
    std::uint64_t word = left >= 64 ? whole_word(bitmap + base / 8) : kova_bitop_read_u64(bitmap + base / 8, left);
    return (kClear ? ~word : word) & low_bits(left);
}

template <bool kClear>
std::uint64_t find_first(const unsigned char *bitmap, std::uint64_t size)
{
    for (std::uint64_t base = 0; base < size; base += 64)
        if (std::uint64_t word = search_word<kClear>(bitmap, base, size); word != 0)
            return base + static_cast<unsigned>(__builtin_ctzll(word));
    return size;
}

template <bool kClear>
std::uint64_t find_next(const unsigned char *bitmap, std::uint64_t size, std::uint64_t offset)
{
    if (offset >= size) return size;
    std::uint64_t base = offset & ~std::uint64_t{63};
    std::uint64_t word = search_word<kClear>(bitmap, base, size) & ~low_bits(offset - base);
    if (word != 0) return base + static_cast<unsigned>(__builtin_ctzll(word));
    if (size - base <= 64) return size;
    base += 64;
    return base + find_first<kClear>(bitmap + base / 8, size - base);
}

}  // namespace

extern "C" {

uint64_t kova_bitop_read_u64(const void *bitmap, uint64_t n)
{
    if (n >= 64) return whole_word(bytes_of(bitmap));
    std::uint64_t value = 0;
    if (n == 0) return value;  // reads no byte, so an empty bitmap may be null
    std::memcpy(&value, bitmap, (n + 7) / 8);
    return value & low_bits(n);
}

uint64_t find_first_bit(const void *bitmap, uint64_t size) { return find_first<false>(bytes_of(bitmap), size); }

uint64_t find_first_zero_bit(const void *bitmap, uint64_t size) { return find_first<true>(bytes_of(bitmap), size); }

uint64_t find_next_bit(const void *bitmap, uint64_t size, uint64_t offset)
{
    return find_next<false>(bytes_of(bitmap), size, offset);
}

uint64_t kova_find_next_zero_bit(const void *bitmap, uint64_t size, uint64_t offset)
{
    return find_next<true>(bytes_of(bitmap), size, offset);
}

}  // extern "C"

namespace {

int report(uint64_t found, uint64_t size, uint32_t *bit)
{
    if (found >= size) return 0;
    *bit = static_cast<uint32_t>(found);
    return 1;
}

}  // namespace

extern "C" {

int kova_bitop_findfirstsetbit(const void *bitmap, uint32_t size, uint32_t *bit)
{
    if (bitmap == nullptr || bit == nullptr) return 0;
    return report(find_first_bit(bitmap, size), size, bit);
}

int kova_bitop_findfirstclrbit(const void *bitmap, uint32_t size, uint32_t *bit)
{
    if (bitmap == nullptr || bit == nullptr) return 0;
    return report(find_first_zero_bit(bitmap, size), size, bit);
}

int kova_bitop_findnextsetbit(const void *bitmap, int32_t size, uint32_t offset, uint32_t *bit)
{
    if (bitmap == nullptr || bit == nullptr || size <= 0) return 0;
    auto bits = static_cast<uint64_t>(size);
    return report(find_next_bit(bitmap, bits, offset), bits, bit);
}

}  // extern "C"
