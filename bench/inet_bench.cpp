// The library's address parsers against inet_pton, and its IPv4 printer against inet_ntop, side
// by side over the same corpus of valid addresses: each iteration converts the whole corpus.
#include <arpa/inet.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kova/kova_socket.h"

namespace {

constexpr int kCorpusSize = 1024;

std::vector<std::string> make_corpus(int family)
{
    static const char *const v6_forms[] = {"%x:%x:%x:%x:%x:%x:%x:%x", "fe80::%x:%x:%x:%x", "2001:db8::%x",
                                           "::%x:%x", "::ffff:%u.%u.%u.%u", "%x:%x::%x:%x:%x:%x"};
    std::mt19937 rng(1);
    std::vector<std::string> texts;
    char text[64];
    for (int i = 0; i < kCorpusSize; ++i) {
        unsigned g[8];
        for (unsigned &x : g) x = rng() % (family == AF_INET || i % 6 == 4 ? 0x100 : i % 2 ? 0x10000 : 0x100);
        const char *form = family == AF_INET ? "%u.%u.%u.%u" : v6_forms[i % 6];
        std::snprintf(text, sizeof text, form, g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7]);
        texts.emplace_back(text);
    }
    return texts;
}

template <int Family, int (*Parse)(int, const char *, void *)>
void parse(benchmark::State &state)
{
    static const std::vector<std::string> texts = make_corpus(Family);
    unsigned char out[16];
    for (auto _ : state)
        for (const std::string &t : texts) {
            benchmark::DoNotOptimize(Parse(Family, t.c_str(), out));
            benchmark::DoNotOptimize(out);
        }
    state.SetItemsProcessed(state.iterations() * kCorpusSize);
}

int libc_pton(int family, const char *text, void *out) { return inet_pton(family, text, out); }

BENCHMARK(parse<AF_INET, libc_pton>)->Name("inet_pton_v4");
BENCHMARK(parse<AF_INET, kova_socket_inet_pton>)->Name("kova_socket_inet_pton_v4");
BENCHMARK(parse<AF_INET6, libc_pton>)->Name("inet_pton_v6");
BENCHMARK(parse<AF_INET6, kova_socket_inet_pton>)->Name("kova_socket_inet_pton_v6");

template <bool Ours>
void print_v4(benchmark::State &state)
{
    std::vector<uint32_t> addresses(kCorpusSize);
    std::mt19937 rng(2);
    for (uint32_t &a : addresses) a = rng();
    char text[INET_ADDRSTRLEN];
    for (auto _ : state)
        for (uint32_t a : addresses) {
            if constexpr (Ours) benchmark::DoNotOptimize(kova_socket_inet_ntoa(a, text));
            else benchmark::DoNotOptimize(inet_ntop(AF_INET, &a, text, sizeof text));
            benchmark::ClobberMemory();
        }
    state.SetItemsProcessed(state.iterations() * kCorpusSize);
}
BENCHMARK(print_v4<false>)->Name("inet_ntop_v4");
BENCHMARK(print_v4<true>)->Name("kova_socket_inet_ntoa");

}  // namespace

BENCHMARK_MAIN();
