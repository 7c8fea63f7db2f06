// Checksums side by side over the same buffers (64 B to 1 MiB):
//   CRC-32C: the selected kernel against ISA-L's crc32_iscsi and against the table.
//   CRC-32C with copy: the copy kernel against memcpy followed by the selected kernel.
//   CRC-16/T10-DIF: kova_crc16 against ISA-L's crc16_t10dif.
// ISA-L exports crc16_t10dif, as we do; it is loaded with dlopen(RTLD_DEEPBIND) and its
// functions taken from its own handle, and the set-up checks that the two rows run code from
// two different objects, so each row runs its own kernel. bytes_per_cycle counts TSC cycles.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "kova/kova_crc32.h"

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace {

using IsalCrc32Iscsi = unsigned (*)(unsigned char *, int, unsigned);
using IsalCrc16 = std::uint16_t (*)(std::uint16_t, const unsigned char *, std::uint64_t);

struct Isal {
    IsalCrc32Iscsi crc32_iscsi = nullptr;
    IsalCrc16 crc16_t10dif = nullptr;
};

std::vector<unsigned char> &data()
{
    static std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> v(1 << 20);
        std::mt19937 gen(1);
        for (auto &b : v) b = static_cast<unsigned char>(gen());
        return v;
    }();
    return bytes;
}

const char *object_of(const void *function)
{
    Dl_info info{};
    return dladdr(function, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : "?";
}

const Isal &isal()
{
    static const Isal loaded = [] {
        Isal l;
        void *handle = dlopen("libisal.so.2", RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
        if (handle == nullptr) return l;
        l.crc32_iscsi = reinterpret_cast<IsalCrc32Iscsi>(dlsym(handle, "crc32_iscsi"));
        l.crc16_t10dif = reinterpret_cast<IsalCrc16>(dlsym(handle, "crc16_t10dif"));
        kova_crc32_init();
        // Same answers (so the same work), and the two CRC-16 rows in two different objects.
        auto &d = data();
        const bool same_crc32 = l.crc32_iscsi(d.data(), 4096, 0xFFFFFFFFu) == kova_crc32cContinue(0xFFFFFFFFu, d.data(), 4096);
        const bool same_crc16 = l.crc16_t10dif(0, d.data(), 4096) == kova_crc16(0, d.data(), 4096);
        const void *ours = reinterpret_cast<const void *>(&crc16_t10dif);
        const void *theirs = reinterpret_cast<const void *>(l.crc16_t10dif);
        if (!same_crc32 || !same_crc16 || ours == theirs || std::strcmp(object_of(ours), object_of(theirs)) == 0) {
            std::fprintf(stderr, "ISA-L rows would not compare like with like (crc32 %d crc16 %d, %s vs %s)\n", same_crc32,
                         same_crc16, object_of(ours), object_of(theirs));
            std::abort();
        }
        std::fprintf(stderr, "crc16_t10dif: ours in %s, ISA-L's in %s; our kernels: %s, %s\n", object_of(ours), object_of(theirs),
                     kova_crc32c_kernel_name(), kova_crc16_kernel_name());
        return l;
    }();
    return loaded;
}

std::uint64_t cycles()
{
#if defined(__x86_64__)
    return __rdtsc();
#else
    return 0;
#endif
}

// Runs `checksum` over the first state.range(0) bytes and records throughput and bytes/cycle.
template <class F>
void run(benchmark::State &state, F checksum)
{
    const auto n = static_cast<std::uint32_t>(state.range(0));
    kova_crc32_init();
    std::uint64_t start = cycles();
    for (auto _ : state) benchmark::DoNotOptimize(checksum(data().data(), n));
    std::uint64_t spent = cycles() - start;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * n);
    if (spent != 0)
        state.counters["bytes_per_cycle"] = static_cast<double>(state.iterations()) * n / static_cast<double>(spent);
}

void crc32c_kova(benchmark::State &state)
{
    run(state, [](const unsigned char *p, std::uint32_t n) { return kova_crc32cContinue(0xFFFFFFFFu, p, n); });
}

void crc32c_isal(benchmark::State &state)
{
    if (isal().crc32_iscsi == nullptr) return state.SkipWithError("libisal.so.2 not found");
    run(state, [](const unsigned char *p, std::uint32_t n) {
        return isal().crc32_iscsi(const_cast<unsigned char *>(p), static_cast<int>(n), 0xFFFFFFFFu);
    });
}

void crc32c_table(benchmark::State &state)
{
    run(state, [](const unsigned char *p, std::uint32_t n) { return kova_crc32cContinueSoft(0xFFFFFFFFu, p, n); });
}

std::vector<unsigned char> copy_target(1 << 20);

// The copy rows walk through the buffers a piece at a time, as a caller copying a stream does.
// Copying the same piece over and over would make each call's loads wait on the previous call's
// stores whenever the two buffers sit at the same offset within a page (the processor takes
// them for the same address), a chain no real copy has.
std::size_t next_piece(std::uint32_t n)
{
    static std::size_t offset = 0;
    offset = offset + 2 * n <= copy_target.size() ? offset + n : 0;
    return offset;
}

void crc32c_copy_kova(benchmark::State &state)
{
    run(state, [](const unsigned char *p, std::uint32_t n) {
        const std::size_t at = next_piece(n);
        return kova_crc32cContinue_with_cpy(0xFFFFFFFFu, copy_target.data() + at, n, p + at);
    });
}

void crc32c_copy_memcpy_then_crc(benchmark::State &state)
{
    run(state, [](const unsigned char *p, std::uint32_t n) {
        const std::size_t at = next_piece(n);
        std::memcpy(copy_target.data() + at, p + at, n);
        benchmark::ClobberMemory();
        return kova_crc32cContinue(0xFFFFFFFFu, copy_target.data() + at, n);
    });
}

void crc16_kova(benchmark::State &state)
{
    run(state, [](const unsigned char *p, std::uint32_t n) { return kova_crc16(0, p, n); });
}

void crc16_isal(benchmark::State &state)
{
    if (isal().crc16_t10dif == nullptr) return state.SkipWithError("libisal.so.2 not found");
    run(state, [](const unsigned char *p, std::uint32_t n) { return isal().crc16_t10dif(0, p, n); });
}

void sizes(benchmark::internal::Benchmark *b)
{
    for (int n : {64, 512, 4096, 65536, 1 << 20}) b->Arg(n);
}

BENCHMARK(crc32c_kova)->Apply(sizes);
BENCHMARK(crc32c_isal)->Apply(sizes);
BENCHMARK(crc32c_table)->Apply(sizes);
BENCHMARK(crc32c_copy_kova)->Apply(sizes);
BENCHMARK(crc32c_copy_memcpy_then_crc)->Apply(sizes);
BENCHMARK(crc16_kova)->Apply(sizes);
BENCHMARK(crc16_isal)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
