#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

bool is_v6(const char *text) { return std::strchr(text, ':') != nullptr; }

bool parse_length(const char *text, unsigned &length)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || v > 128) return false;
    length = static_cast<unsigned>(v);
    return true;
}

// A dotted mask as given, or the mask of a length.
std::string v4_mask(const char *text)
{
    unsigned length;
    if (!parse_length(text, length) || length > 32) return text;
    std::uint32_t mask = length == 0 ? 0 : kova_htonl(~0u << (32 - length));
    char buf[16];
    return kova_socket_inet_ntoa(mask, buf);
}

int parse(const char *text)
{
    unsigned char bytes[16];
    char canonical[INET6_ADDRSTRLEN];
    int family = is_v6(text) ? AF_INET6 : AF_INET;
    if (kova_socket_inet_pton(family, text, bytes) != 1 ||
        kova_inet_ntop(family, bytes, canonical, sizeof canonical) != 0) {
        std::fprintf(stderr, "kovactl ip: not an %s address: %s\n", family == AF_INET ? "IPv4" : "IPv6", text);
        return 1;
    }
    std::printf("%s ", family == AF_INET ? "IPv4" : "IPv6");
    for (int i = 0; i < (family == AF_INET ? 4 : 16); ++i) std::printf("%02x", bytes[i]);
    std::printf(" %s\n", canonical);
    return 0;
}

int overlap(char **argv)
{
    int result;
    if (is_v6(argv[0]) || is_v6(argv[2])) {
        unsigned l1, l2;
        if (!parse_length(argv[1], l1) || !parse_length(argv[3], l2)) return usage_error();
        result = kova_socket_ifconflictip6(argv[0], l1, argv[2], l2);
    } else {
        result = kova_socket_ifconflict(argv[0], v4_mask(argv[1]).c_str(), argv[2], v4_mask(argv[3]).c_str());
    }
    std::printf("%s\n", result == 1 ? "overlap" : "no overlap");
    return 0;
}

int prefix(const char *text, const char *length_text)
{
    unsigned length;
    if (!parse_length(length_text, length)) return usage_error();
    char out[INET6_ADDRSTRLEN];
    if (kova_inet_prefix_addr(is_v6(text) ? AF_INET6 : AF_INET, text, length, out, sizeof out) != 0) {
        std::fprintf(stderr, "kovactl ip: no prefix of %u bits for %s\n", length, text);
        return 1;
    }
    std::printf("%s/%u\n", out, length);
    return 0;
}

}  // namespace

int run_ip(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[0], "parse") == 0) return parse(argv[1]);
    if (argc == 5 && std::strcmp(argv[0], "overlap") == 0) return overlap(argv + 1);
    if (argc == 3 && std::strcmp(argv[0], "prefix") == 0) return prefix(argv[1], argv[2]);
    return usage_error();
}

KOVACTL_COMMAND("ip", "parse addresses, test two networks for overlap, reduce an address to its prefix", run_ip,
                "parse ADDRESS | overlap ADDRESS MASK ADDRESS MASK | prefix ADDRESS LENGTH",
                "  parse    prints the family, the address bytes in hexadecimal and the canonical text\n"
                "  overlap  prints \"overlap\" or \"no overlap\" for the two networks\n"
                "  prefix   prints the address with all but its first LENGTH bits cleared\n\n"
                "IPv4 masks are dotted or a length; IPv6 masks are lengths (0 to 128). An address containing ':' "
                "is taken as IPv6.",
                "0 on success, 1 for an address that does not parse or has no such prefix, 2 for a usage error.");

}  // namespace kovactl
