// The symbol resolver against dladdr, same addresses side by side:
//   symbol_find_by_own over 4096 addresses spread across libc's code  vs  dladdr on them
// (dladdr answers only from the exported dynamic symbols; the resolver from the full table the
// object carries). "heap_bytes" is the change of the heap's bytes in use across the run: the
// resolver's lookups allocate nothing.
// And a full update pass (every loaded object dropped and indexed again), in real time.
#include <dlfcn.h>
#include <malloc.h>

#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "kova/kova_symbol.h"

namespace {

const std::vector<std::uint64_t> &addresses()
{
    static const std::vector<std::uint64_t> spread = [] {
        kova_symbol_init_sync();
        void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
        kova_symbol_info_s info;
        kova_symbol_range_s range{};
        symbol_find_by_own(reinterpret_cast<std::uint64_t>(dlsym(libc, "abort")), &info, &range);
        std::vector<std::uint64_t> out;
        std::uint64_t step = (range.vaddr_end - range.vaddr_start) / 4096 | 1;
        for (std::uint64_t a = range.vaddr_start; a < range.vaddr_end && out.size() < 4096; a += step) out.push_back(a);
        return out;
    }();
    return spread;
}

template <typename Lookup>
void run_lookups(benchmark::State &state, Lookup lookup)
{
    const std::vector<std::uint64_t> &all = addresses();
    std::size_t before = mallinfo2().uordblks;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(lookup(all[i]));
        i = (i + 1) % all.size();
    }
    state.counters["heap_bytes"] = static_cast<double>(mallinfo2().uordblks - before);
}

void BM_KovaSymbolFind(benchmark::State &state)
{
    run_lookups(state, [](std::uint64_t address) {
        kova_symbol_info_s info;
        return symbol_find_by_own(address, &info, nullptr) + info.name[0];
    });
}

void BM_Dladdr(benchmark::State &state)
{
    run_lookups(state, [](std::uint64_t address) {
        Dl_info info;
        return dladdr(reinterpret_cast<void *>(address), &info);
    });
}

void BM_FullUpdatePass(benchmark::State &state)
{
    addresses();
    for (auto _ : state) {
        kova_symbol_fini();
        kova_symbol_update_sync();
    }
}

}  // namespace

BENCHMARK(BM_KovaSymbolFind);
BENCHMARK(BM_Dladdr);
BENCHMARK(BM_FullUpdatePass)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
