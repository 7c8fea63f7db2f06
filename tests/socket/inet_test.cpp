// The address parsers and printers, overlap and prefix arithmetic.
#include <arpa/inet.h>

#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "kova/kova_socket.h"
#include "support/log_capture.h"

namespace {

using kova::test::LogCapture;

// A parse of `text`: the result and the output (all 16 bytes, the untouched sentinel on refusal).
template <typename Parse>
std::pair<int, std::string> parsed(Parse parse, int family, const std::string &text)
{
    char out[16];
    std::memset(out, 0xA5, sizeof out);
    int r = parse(family, text.c_str(), out);
    return {r, std::string(out, sizeof out)};
}
auto ours = [](int family, const std::string &text) { return parsed(kova_socket_inet_pton, family, text); };
auto libc = [](int family, const std::string &text) { return parsed(inet_pton, family, text); };

TEST(InetParse, AcceptsAndRefusesAsDocumented)
{
    std::string huge(1 << 20, '1');
    for (auto [family, valid, texts] : {
             std::tuple{AF_INET, 1, std::vector<std::string>{"192.168.1.1", "0.0.0.0", "255.255.255.255"}},
             {AF_INET, 0, {"192.168.01.1", "256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.4x", "1.2.3.4.", ".1.2.3",
                           " 1.2.3.4", "", "1.2.3.2550", huge}},
             {AF_INET6, 1, {"::", "::1", "fe80::1", "1:2:3:4:5:6:7:8", "::ffff:1.2.3.4", "1:2:3:4:5:6:1.2.3.4", "Ab:ef::",
                            "1:2:3:4:5:6:7::"}},
             {AF_INET6, 0, {"1:2:3:4:5:6:7:8:9", "1::2::3", ":1", "12345::", "1:2:3:4:5:6:7::8", ":::", "fe80::1%eth0",
                            "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3.4:5", "::01.2.3.4", ":", "", "1:", huge}},
             {99, 0, {"1.2.3.4"}}})
        for (const std::string &text : texts) EXPECT_EQ(ours(family, text).first, valid) << text.substr(0, 40);
    EXPECT_EQ(ours(AF_INET, "192.168.1.1").second.substr(0, 5), "\xc0\xa8\x01\x01\xa5");
    // One ':' after the last group adds nothing (inet_pton refuses this form).
    EXPECT_EQ(ours(AF_INET6, "1:2:3:4:5:6:7:8:"), libc(AF_INET6, "1:2:3:4:5:6:7:8"));
    EXPECT_EQ(kova_socket_inet_pton(AF_INET, nullptr, huge.data()) + kova_socket_inet_pton(AF_INET6, "::", nullptr), -2);
}

// Texts near the address forms: parts in and out of range, leading zeros, groups of 0 to 5
// digits, "::" anywhere, IPv4 tails, zone ids, stray characters, junk.
std::string generated(std::mt19937 &rng)
{
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    static const char *const junk[] = {":", "::", ":::", ".", "%eth0", " ", "g", "-", "01", "256", "12345"};
    std::string text;
    bool v4 = pick(3) == 0;
    int parts = v4 ? 3 + pick(3) : pick(10), gap = pick(parts + 2);
    for (int i = 0; i < parts; ++i) {
        text += i == gap ? (v4 ? "." : "::") : i > 0 ? (v4 ? "." : ":") : "";
        char group[8];
        int digits = 1 + pick(pick(8) == 0 ? 5 : 4);
        if (v4) std::snprintf(group, sizeof group, pick(10) == 0 ? "0%d" : "%d", pick(8) == 0 ? pick(999) : pick(256));
        else std::snprintf(group, sizeof group, pick(2) ? "%.*x" : "%.*X", digits, static_cast<unsigned>(rng()) >> (32 - 4 * digits));
        text += group;
    }
    if (!v4 && gap == parts) text += "::";
    if (!v4 && pick(4) == 0) text += (pick(2) ? ":" : "") + std::to_string(pick(256)) + ".1." + std::to_string(pick(300)) + ".0";
    for (int junks = pick(4) == 0 ? 1 + pick(3) : 0; junks > 0; --junks) text.insert(static_cast<std::size_t>(pick(static_cast<int>(text.size()) + 1)), junk[pick(11)]);
    return text;
}

TEST(InetParse, AgreesWithInetPtonOverAGeneratedCorpus)
{
    std::mt19937 rng(20240611);
    int valid[2] = {};
    for (int i = 0; i < 300000; ++i) {
        std::string text = generated(rng), oracle_text = text;
        ASSERT_EQ(ours(AF_INET, text), libc(AF_INET, text)) << text;
        if (text.size() > 1 && text.back() == ':' && std::isxdigit(text[text.size() - 2]) && text.find('.') == std::string::npos)
            oracle_text.pop_back();  // the one documented difference
        ASSERT_EQ(ours(AF_INET6, text), libc(AF_INET6, oracle_text)) << text;
        for (int family : {0, 1}) valid[family] += ours(family ? AF_INET6 : AF_INET, text).first;
    }
    EXPECT_TRUE(valid[0] > 1000 && valid[1] > 1000) << "the corpus must reach the accepting paths";
}

TEST(InetFormat, NtopAndNtoaPrintWhatInetNtopPrints)
{
    LogCapture log;
    unsigned char v6[16];
    char text[INET6_ADDRSTRLEN], expected[INET6_ADDRSTRLEN];
    ASSERT_EQ(socket_inet_pton6("2001:db8::ff:1", v6) + kova_inet_ntop(AF_INET6, v6, text, sizeof text), 1);
    EXPECT_STREQ(text, "2001:db8::ff:1");
    EXPECT_EQ(kova_inet_ntop(AF_INET, v6, text, 4) + kova_inet_ntop(AF_INET6, nullptr, text, 64) +
                  kova_inet_ntop(7, v6, text, 64), -3);
    for (const char *m : {"ipv4 ntop fail, errno(28).", "Param error: null pointer.", "AF 7 is unknown."})
        EXPECT_EQ(log.count(m), 1u) << m;
    std::mt19937 rng(7);
    for (uint32_t i = 0, addr = 0; i < 5000; ++i, addr = i < 3 ? ~0u >> (8 * i) : rng()) {
        ASSERT_STREQ(kova_socket_inet_ntoa(addr, text), inet_ntop(AF_INET, &addr, expected, sizeof expected));
        ASSERT_STREQ(kova_socket_inet_ntoa(addr, nullptr), expected);
    }
}

TEST(InetArithmetic, OverlapAndPrefix)
{
    const char *m24 = "255.255.255.0", *m20 = "255.255.240.0";
    struct V4 { const char *a, *ma, *b, *mb; int overlap; } v4[] = {
        {"10.0.0.1", m24, "10.0.0.2", "255.255.0.0", 1}, {"10.0.1.1", m24, "10.0.2.1", m24, 0}, {"10.0.1.1", m24, "10.0.1.1", m20, 1},
        {"10.0.1.1", m20, "10.0.14.1", m24, 1}, {"10.0.1.1", m20, "10.0.16.1", m24, 0}, {"10.0.1.x", m24, "10.9.1.1", m24, 1},
        {"10.0.1.1", nullptr, "10.0.2.1", m24, -22}};
    for (const V4 &c : v4) EXPECT_EQ(kova_socket_ifconflict(c.a, c.ma, c.b, c.mb), c.overlap) << c.a << " " << c.b;
    struct V6 { const char *a; unsigned la; const char *b; unsigned lb; int overlap; } v6[] = {
        {"2001:db8::1", 64, "2001:db8::2", 64, 1}, {"2001:db8:0:1::1", 64, "2001:db8:0:2::1", 64, 0},
        {"2001:db8:0:1::1", 60, "2001:db8:0:2::1", 64, 1}, {"2001:db8:0:1::1", 64, "2001:db8:0:2::1", 63, 0},
        {"::1", 128, "::2", 500, 0}, {"::1", 500, "::1", 500, 1}, {"::1", 0, "ff::", 128, 1}, {"zz::", 64, "::", 64, 1}};
    for (const V6 &c : v6) EXPECT_EQ(kova_socket_ifconflictip6(c.a, c.la, c.b, c.lb), c.overlap) << c.a << " " << c.lb;
    struct Prefix { int family; const char *text; unsigned len; int result; const char *out; } prefixes[] = {
        {AF_INET, "192.168.37.9", 20, 0, "192.168.32.0"}, {AF_INET, "192.168.37.9", 0, 0, "0.0.0.0"},
        {AF_INET, "192.168.37.9", 32, 0, "192.168.37.9"}, {AF_INET, "192.168.37.9", 33, -1, ""},
        {AF_INET6, "2001:db8:abcd:1234::1", 52, 0, "2001:db8:abcd:1000::"}, {AF_INET6, "::1", 129, -1, ""},
        {AF_INET6, "ffff::ffff", 1, 0, "8000::"}, {AF_INET, "1.2.3", 8, -1, ""}, {AF_UNIX, "1.2.3.4", 8, -1, ""}};
    LogCapture log;
    for (const Prefix &c : prefixes) {
        char out[INET6_ADDRSTRLEN] = "";
        EXPECT_EQ(kova_inet_prefix_addr(c.family, c.text, c.len, out, sizeof out), c.result) << c.text << "/" << c.len;
        EXPECT_STREQ(out, c.out) << c.text << "/" << c.len;
    }
    EXPECT_EQ(log.count("Prefix_len 33 not in [0,32].") + log.count("Prefix_len 129 not in [0,128]."), 2u);
    unsigned char bytes[4] = {10, 20, 255, 7};
    EXPECT_EQ(kova_inet_prefix_addr_v4(bytes, 19, bytes) + std::memcmp(bytes, "\x0a\x14\xe0\x00", 4), 0) << "in place";
    EXPECT_EQ(kova_inet_prefix_addr_v6(nullptr, 1, bytes) + kova_inet_prefix_addr(AF_INET, nullptr, 1, nullptr, 8), -44);
    EXPECT_EQ(log.messages().back().function, "kova_inet_prefix_addr_v6");
}

}  // namespace
