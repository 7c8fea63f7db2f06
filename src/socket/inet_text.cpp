// The address parsers and printers. The parsers make one pass over the text with a table of
// character classes; what they accept is set out in kova_socket.h.
#include <arpa/inet.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_socket.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("socket/kova_socket")

using kova::log::kError;

namespace {

constexpr std::size_t kOutputSize = 16;

// Character classes: 0-15 a hex digit's value, then the separators, the end and the rest.
enum : unsigned char { kColon = 16, kDot, kEnd, kOther };

constexpr std::array<unsigned char, 256> kClass = [] {
    std::array<unsigned char, 256> t{};
    for (auto &v : t) v = kOther;
    for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<unsigned char>(c);
    for (int c = 0; c < 6; ++c) t['a' + c] = t['A' + c] = static_cast<unsigned char>(10 + c);
    t[':'] = kColon;
    t['.'] = kDot;
    t[0] = kEnd;
    return t;
}();

// Dotted decimal from `s` to the terminating NUL into `out` (written only on success): four
// parts of one to three digits, no leading zero, at most 255, each followed by '.' or, the last,
// by the end. A fourth digit, a sign or a blank fails as the wrong separator.
bool parse_v4(const char *s, unsigned char *out)
{
    unsigned char bytes[4];
    for (int part = 0; part < 4; ++part) {
        unsigned value = static_cast<unsigned char>(*s++) - static_cast<unsigned>('0');
        if (value > 9) return false;
        unsigned digit = static_cast<unsigned char>(*s) - static_cast<unsigned>('0');
        if (digit <= 9) {
            if (value == 0) return false;  // leading zero
            value = value * 10 + digit;
            digit = static_cast<unsigned char>(*++s) - static_cast<unsigned>('0');
            if (digit <= 9) {
                value = value * 10 + digit;
                if (value > 255) return false;
                ++s;
            }
        }
        bytes[part] = static_cast<unsigned char>(value);
        if (*s++ != (part < 3 ? '.' : '\0')) return false;
    }
    std::memcpy(out, bytes, sizeof bytes);
    return true;
}

unsigned class_of(const char *s) { return kClass[static_cast<unsigned char>(*s)]; }

// A group is read whole (up to four digits, unrolled), then its separator decides: ':' goes on,
// '.' makes the group the start of an IPv4 tail, the end stops. An empty group is the "::".
bool parse_v6(const char *s, unsigned char *out)
{
    std::uint16_t groups[8];
    int n = 0, gap = -1;
    if (*s == ':' && *++s != ':') return false;
    for (;;) {
        const char *group = s;
        unsigned value = class_of(s);
        if (value == kColon) {
            if (gap >= 0) return false;
            gap = n;
            ++s;
            continue;
        }
        if (value == kEnd) break;
        if (value > 15) return false;
        unsigned next = class_of(++s);
        for (int digits = 1; next < 16; next = class_of(++s)) {
            if (++digits > 4) return false;
            value = value << 4 | next;
        }
        if (next == kDot) {
            unsigned char tail[4];
            if (n > 6 || !parse_v4(group, tail)) return false;
            groups[n++] = static_cast<std::uint16_t>(tail[0] << 8 | tail[1]);
            groups[n++] = static_cast<std::uint16_t>(tail[2] << 8 | tail[3]);
            break;
        }
        if (n == 8 || (next != kColon && next != kEnd)) return false;
        groups[n++] = static_cast<std::uint16_t>(value);
        if (next == kEnd) break;
        ++s;  // a ':' that ends the text after a group adds nothing
    }
    if (gap >= 0 ? n == 8 : n != 8) return false;
    int split = gap >= 0 ? gap : n, shift = 8 - n;
    std::memset(out, 0, 16);
    for (int i = 0; i < n; ++i) {
        int at = i < split ? i : i + shift;
        out[2 * at] = static_cast<unsigned char>(groups[i] >> 8);
        out[2 * at + 1] = static_cast<unsigned char>(groups[i]);
    }
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

int pton4(const char *text, unsigned char *out)
{
    unsigned char bytes[4];
    return deliver(parse_v4(text, bytes), bytes, sizeof bytes, out);
}

int pton6(const char *text, unsigned char *out)
{
    unsigned char bytes[16];
    return deliver(parse_v6(text, bytes), bytes, sizeof bytes, out);
}

}  // namespace

extern "C" {

int socket_inet_pton4(const char *text, unsigned char *out)
{
    return text == nullptr || out == nullptr ? 0 : pton4(text, out);
}

int socket_inet_pton6(const char *text, unsigned char *out)
{
    return text == nullptr || out == nullptr ? 0 : pton6(text, out);
}

int kova_socket_inet_pton(int family, const char *text, void *out)
{
    if (text == nullptr || out == nullptr) return -1;
    if (family == AF_INET) return pton4(text, static_cast<unsigned char *>(out));
    if (family == AF_INET6) return pton6(text, static_cast<unsigned char *>(out));
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
