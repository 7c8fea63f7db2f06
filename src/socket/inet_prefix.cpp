// Address arithmetic for configuring controller ports: network overlap and prefix addresses.
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_socket.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("socket/kova_socket_add")

using kova::log::kError;

namespace {

constexpr int kInvalid = -22;

// True when the first `bits` bits of a and b agree.
bool same_prefix(const unsigned char *a, const unsigned char *b, unsigned bits)
{
    unsigned whole = bits / 8, rest = bits % 8;
    if (std::memcmp(a, b, whole) != 0) return false;
    if (rest == 0) return true;
    unsigned mask = 0xFF00u >> rest & 0xFFu;
    return ((a[whole] ^ b[whole]) & mask) == 0;
}

// Keeps the first `bits` bits of the `size` bytes of `addr`, clearing the rest.
int prefix_of(const unsigned char *addr, unsigned bits, unsigned char *out, std::size_t size, const char *caller)
{
    if (addr == nullptr || out == nullptr) {
        KOVA_LOG_AS(caller, kError, "Param error: null pointer, addr(%p), prefix_addr(%p).",
                    static_cast<const void *>(addr), static_cast<void *>(out));
        return kInvalid;
    }
    if (bits > size * 8) {
        KOVA_LOG_AS(caller, kError, "Prefix_len %u not in [0,%d].", bits, static_cast<int>(size * 8));
        return kInvalid;
    }
    unsigned char source[16];
    std::memcpy(source, addr, size);  // the caller may pass one buffer as both
    std::memset(out, 0, size);
    int ret = kova::sec::memcpy_s(out, size, source, bits / 8);
    if (ret != kova::sec::kOk) {
        KOVA_LOG_AS(caller, kError, "Execute ifconfig command(0x%llx) when copy address failed, the return value is %d.",
                    static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(out)), ret);
        return ret;
    }
    if (bits % 8 != 0) out[bits / 8] = static_cast<unsigned char>(source[bits / 8] & (0xFF00u >> bits % 8));
    return 0;
}

}  // namespace

extern "C" {

int kova_socket_ifconflict(const char *addr1, const char *mask1, const char *addr2, const char *mask2)
{
    if (addr1 == nullptr || mask1 == nullptr || addr2 == nullptr || mask2 == nullptr) return kInvalid;
    in_addr_t a1 = inet_addr(addr1), m1 = inet_addr(mask1), a2 = inet_addr(addr2), m2 = inet_addr(mask2);
    if (a1 == INADDR_NONE || m1 == INADDR_NONE || a2 == INADDR_NONE || m2 == INADDR_NONE || a1 == a2) return 1;
    return ((a1 ^ a2) & std::min(m1, m2)) == 0 ? 1 : 0;
}

int kova_socket_ifconflictip6(const char *addr1, unsigned int len1, const char *addr2, unsigned int len2)
{
    unsigned char a[16], b[16];
    if (kova_socket_inet_pton(AF_INET6, addr1, a) != 1 || kova_socket_inet_pton(AF_INET6, addr2, b) != 1) return 1;
    // Lengths past 128 compare the whole address rather than memory beyond it.
    return same_prefix(a, b, std::min({len1, len2, 128u})) ? 1 : 0;
}

int kova_inet_prefix_addr_v4(const unsigned char *addr, unsigned int prefix_len, unsigned char *out)
{
    return prefix_of(addr, prefix_len, out, 4, __func__);
}

int kova_inet_prefix_addr_v6(const unsigned char *addr, unsigned int prefix_len, unsigned char *out)
{
    return prefix_of(addr, prefix_len, out, 16, __func__);
}

int kova_inet_prefix_addr(int family, const char *text, unsigned int prefix_len, char *out, socklen_t len)
{
    if (text == nullptr || out == nullptr) return kInvalid;
    unsigned char addr[16], prefix[16];
    if (kova_socket_inet_pton(family, text, addr) != 1) return -1;
    int ret = family == AF_INET ? kova_inet_prefix_addr_v4(addr, prefix_len, prefix)
                                : kova_inet_prefix_addr_v6(addr, prefix_len, prefix);
    if (ret != 0) return -1;
    return kova_inet_ntop(family, prefix, out, len);
}

}  // extern "C"
