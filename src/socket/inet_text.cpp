// The address parsers and printers. The parsers make one pass over the text with a table for
// the character classes; what they accept is set out in kova_socket.h.
#include <arpa/inet.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_socket.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("socket/kova_socket")

using kova::log::kError;

namespace {

constexpr std::size_t kOutputSize = 16;

constexpr std::array<signed char, 256> kHexValue = [] {
    std::array<signed char, 256> t{};
    for (auto &v : t) v = -1;
    for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<signed char>(c);
    for (int c = 0; c < 6; ++c) t['a' + c] = t['A' + c] = static_cast<signed char>(10 + c);
    return t;
}();

// Dotted decimal from `s` to the terminating NUL into `out` (written only on success).
bool parse_v4(const char *s, unsigned char *out)
{
    unsigned char bytes[4];
    unsigned parts = 0, value = 0;
    bool in_part = false;
    for (;; ++s) {
        unsigned digit = static_cast<unsigned char>(*s) - static_cast<unsigned>('0');
        if (digit <= 9) {
            if (!in_part) {
                if (parts == 4) return false;
                ++parts;
                in_part = true;
                value = digit;
            } else {
                if (value == 0) return false;  // leading zero
                value = value * 10 + digit;
                if (value > 255) return false;
            }
        } else if (*s == '.') {
            if (!in_part || parts == 4) return false;
            bytes[parts - 1] = static_cast<unsigned char>(value);
            in_part = false;
        } else if (*s == '\0') {
            break;
        } else {
            return false;
        }
    }
    if (parts != 4) return false;
    bytes[3] = static_cast<unsigned char>(value);
    std::memcpy(out, bytes, sizeof bytes);
    return true;
}

bool parse_v6(const char *s, unsigned char *out)
{
    unsigned char work[16] = {};
    int filled = 0, gap = -1;
    if (*s == ':' && *++s != ':') return false;
    const char *group = s;
    unsigned value = 0, digits = 0;
    for (;;) {
        char c = *s++;
        int hex = kHexValue[static_cast<unsigned char>(c)];
        if (hex >= 0) {
            if (digits == 4) return false;
            value = value << 4 | static_cast<unsigned>(hex);
            ++digits;
        } else if (c == ':') {
            group = s;
            if (digits == 0) {
                if (gap >= 0) return false;
                gap = filled;
                continue;
            }
            if (filled > 14) return false;
            work[filled++] = static_cast<unsigned char>(value >> 8);
            work[filled++] = static_cast<unsigned char>(value);
            value = digits = 0;
        } else if (c == '.') {
            if (filled > 12 || !parse_v4(group, work + filled)) return false;
            filled += 4;
            digits = 0;
            break;
        } else if (c == '\0') {
            break;
        } else {
            return false;
        }
    }
    if (digits != 0) {
        if (filled > 14) return false;
        work[filled++] = static_cast<unsigned char>(value >> 8);
        work[filled++] = static_cast<unsigned char>(value);
    }
    if (gap >= 0) {
        if (filled == 16) return false;
        int tail = filled - gap;
        std::memmove(work + 16 - tail, work + gap, static_cast<std::size_t>(tail));
        std::memset(work + gap, 0, static_cast<std::size_t>(16 - tail - gap));
    } else if (filled != 16) {
        return false;
    }
    std::memcpy(out, work, sizeof work);
    return true;
}

int deliver(bool parsed, const unsigned char *bytes, std::size_t count, unsigned char *out)
{
    if (!parsed) return 0;
    int ret = kova::sec::memcpy_s(out, kOutputSize, bytes, count);
    if (ret != kova::sec::kOk) {
        KOVA_LOG(kError, "memcpy_s secure function failed, ret<%d>, destMax<%lu>, count<%lu>.", ret,
                 static_cast<unsigned long>(kOutputSize), static_cast<unsigned long>(count));
        return 0;
    }
    return 1;
}

}  // namespace

extern "C" {

int socket_inet_pton4(const char *text, unsigned char *out)
{
    unsigned char bytes[4];
    return text == nullptr || out == nullptr ? 0 : deliver(parse_v4(text, bytes), bytes, sizeof bytes, out);
}

int socket_inet_pton6(const char *text, unsigned char *out)
{
    unsigned char bytes[16];
    return text == nullptr || out == nullptr ? 0 : deliver(parse_v6(text, bytes), bytes, sizeof bytes, out);
}

int kova_socket_inet_pton(int family, const char *text, void *out)
{
    if (text == nullptr || out == nullptr) return -1;
    if (family == AF_INET) return socket_inet_pton4(text, static_cast<unsigned char *>(out));
    if (family == AF_INET6) return socket_inet_pton6(text, static_cast<unsigned char *>(out));
    return 0;
}

int kova_inet_ntop(int family, const void *addr, char *buf, socklen_t len)
{
    if (addr == nullptr || buf == nullptr) {
        KOVA_LOG(kError, "Param error: null pointer.");
        return -1;
    }
    if (family != AF_INET && family != AF_INET6) {
        KOVA_LOG(kError, "AF %d is unknown.", family);
        return -1;
    }
    if (inet_ntop(family, addr, buf, len) == nullptr) {
        KOVA_LOG(kError, family == AF_INET ? "ipv4 ntop fail, errno(%d)." : "ipv6 ntop fail, errno(%d).", errno);
        return -1;
    }
    return 0;
}

char *kova_socket_inet_ntoa(uint32_t addr, char *buf)
{
    // One writer at a time is the caller's affair; the last byte stays NUL whatever they do.
    static char shared[16];
    char *text = buf != nullptr ? buf : shared;
    unsigned char bytes[4];
    std::memcpy(bytes, &addr, sizeof bytes);
    char *p = text;
    for (int i = 0; i < 4; ++i) {
        unsigned v = bytes[i];
        if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
        if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
        *p++ = static_cast<char>('0' + v % 10);
        *p++ = i < 3 ? '.' : '\0';
    }
    if (buf == nullptr) shared[15] = '\0';
    return text;
}

}  // extern "C"
